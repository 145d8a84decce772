// The live system log of telnet sessions: a side thread receives syslogd's
// records on the session's listener socket, filters and shapes them by the
// log view, and prints them as asynchronous output.
#pragma once

// Empties every filter and starts the log reader thread; prints "failed to
// create log reader thread" when it cannot be started (not fatal).
void log_reader_start(void);
// The body of the log reader thread.
void* logReaderThread(void* arg);
