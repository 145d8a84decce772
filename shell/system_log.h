// The system log: entries "API:<tag>:<count>:<text>" for the appliance's
// operator, the tag named after the session's terminal and the count that of
// the command lines read so far. Warnings of bad input are always written;
// the mirror of the session (what was typed, shown and how it ended) only in
// the session types that mirror.
#pragma once

#include <stdarg.h>

// Opens the log and builds the session's tag from its terminal, once: later
// calls do nothing. Start-up calls it when the settings are made, before any
// side thread (each of which may write) starts; nothing opens it lazily, so
// no two threads can set it up at once. An entry written before it carries
// an empty tag.
void system_log_open(void);
// Writes one entry, whatever the session type. Returns 0.
[[gnu::format(printf, 1, 2)]] int mysyslog(const char* fmt, ...);
// Writes one entry of the session's mirror; returns at once in a session
// that does not mirror.
[[gnu::format(printf, 1, 2)]] void syslog_mirror(const char* fmt, ...);
// Mirrors a printed message: "OUT:" and what format makes of ap, cut to 511
// characters; returns at once in a session that does not mirror.
[[gnu::format(printf, 1, 0)]] void syslog_mirror_message(const char* format, va_list ap);
// Counts one command line for the entries' count (gnCount).
void system_log_count_command(void);
