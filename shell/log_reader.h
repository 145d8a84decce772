// The live system log of telnet sessions: a side thread receives syslogd's
// records on the session's listener socket, filters and shapes them by the
// log view, and prints them as asynchronous output.
#pragma once

// Starts the log reader thread, once, before the command loop (so the
// filters are still empty, as built); prints "failed to create log reader
// thread" when it cannot be started (not fatal).
void log_reader_start(void);
// The body of the log reader thread.
void* logReaderThread(void* arg);
