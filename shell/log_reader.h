// The live system log of telnet sessions: a side thread receives syslogd's
// records on the session's listener socket, filters and shapes them by the
// log view settings, and prints them as asynchronous output.
#pragma once

#include <pthread.h>
#include <stddef.h>

inline constexpr int kFilterSlots = 10;
inline constexpr int kFilterSize = 256;  // a filter text and its terminator

// ---- Log view settings (shared by the log reader and the log commands) ----

extern char log_show_filters[kFilterSlots][kFilterSize];
extern char log_cull_filters[kFilterSlots][kFilterSize];
extern int log_show_date;
extern int log_show_time;
extern int log_show_level;
// Held by the log reader while it filters a record and by the log view
// commands while they edit a setting, so no half-written filter is ever seen.
extern pthread_mutex_t log_view_mut;

// Empties every filter and starts the log reader thread; prints "failed to
// create log reader thread" when it cannot be started (not fatal).
void log_reader_start(void);
// The body of the log reader thread.
void* logReaderThread(void* arg);

// Filters and shapes one syslogd record by the log view settings. Returns
// false when the record is dropped; otherwise out (of out_size bytes) holds
// the text to print, without its line feed.
bool log_format_record(const char* record, char* out, size_t out_size);
