// How the console formats and mirrors a message line; shared by the line
// printer of the main thread and the side threads' messages. Not for other
// modules.
#pragma once

#include <stdarg.h>
#include <stddef.h>

// A message's format with the session's line break in place of its own line
// feed: at most 63 characters and the break, with room to spare.
inline constexpr size_t kMessageFormatSize = 69;

// Builds the format of a message from fmt into out (kMessageFormatSize
// bytes). Returns false for a null format or one over 63 characters.
bool message_format(const char* fmt, char* out);
// Mirrors a printed message to the system log ("OUT:" and the text) when
// the session mirrors its output.
void message_mirror(const char* format, va_list ap);
