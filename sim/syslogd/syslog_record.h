// Turning a message in the C library's syslog() wire format into the record
// layout that the shell's log reader takes apart by position.
#pragma once

#include <time.h>

#include <string>
#include <string_view>

// Priority used when a message carries none: facility user, severity notice.
inline constexpr int kSyslogDefaultPriority = 13;

// The level word of a priority's severity (its low three bits): "emerg",
// "alert", "crit", "err", "warning", "notice", "info" or "debug".
const char* syslog_level_word(int priority);

// Splits a received message "<PRI>Mmm dd hh:mm:ss ident[pid]: text" into the
// priority and the part from the ident on. The timestamp may be missing, and
// so may the priority (then kSyslogDefaultPriority). Trailing line ends,
// NULs and spaces are left out of *text.
void syslog_parse(std::string_view message, int* priority, std::string_view* text);

// Builds the record: "YYYY-MM-DD " (positions 0-10), "hh:mm:ss " (11-19),
// then the level word, a space and text, whose control bytes become spaces
// so that one record stays one line.
std::string syslog_format_record(int priority, std::string_view text, const struct tm& when);
