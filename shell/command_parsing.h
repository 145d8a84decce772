// Splitting a command line into words for the local command dispatcher, and
// two small helpers the local commands use.
#pragma once

#include <stddef.h>

inline constexpr int kMaxWords = 40;

// Splits line in place into at most kMaxWords words; argv must hold
// kMaxWords entries. Returns 0, or -1 on a malformed quoted word.
int tokenizeString(char* line, int* argc, char** argv);
// Joins argv[0..argc-1] with single spaces into buffer. Kept in the
// interface; the shell joins with make_normalized_string_n.
void make_normalized_string(char* buffer, int argc, char** argv);
// As make_normalized_string, but writes at most size bytes, terminator
// included. Returns the length of the whole joined text: a result of size or
// more means the text was cut.
size_t make_normalized_string_n(char* buffer, size_t size, int argc, char** argv);
// Reads argv[1] as "on" (-1) or "off" (0), ignoring case; toggles otherwise.
int get_bool_parm(int argc, char** argv, int current_state);
