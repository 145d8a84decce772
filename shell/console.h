// Console output: the line printer for user-visible messages, the
// system-log mirror, the buffered output of the side threads, and the output
// lock shared with the line editor, which keeps asynchronous output out of a
// half-typed command line.
#pragma once

#include <pthread.h>

#include <atomic>

#include "shell_io.h"

// Buffered console output, bound to standard output. Every write into it and
// every flush of it is made under async_stdout_mut.
extern ShellIOT* stdout_shio;
// Serialises console output between the threads; the line editor takes it
// around each stretch of its own output (cle_lock_unlock_op).
extern pthread_mutex_t async_stdout_mut;
// 1 while the user is typing a line: held output then stays in stdout_shio.
extern std::atomic<int> cle_inline;

// Registers the editor's two callbacks and creates stdout_shio, bound to
// standard output. Returns 0, or -1 when stdout_shio cannot be created.
int console_init(void);
// CR LF line ends on the console, and CR read untranslated: a serial line.
void console_use_serial_line_ends(void);
// Hands the terminal to the line editor (cle_init); returns its result.
int console_editor_init(void);
// Gives the terminal back if the editor has it. Safe to call more than once.
void console_editor_cleanup(void);

// Prints one line (format of at most 63 characters, newline_string appended)
// on standard output and mirrors it to the system log when mirroring.
// Returns the characters printed, or -1 for a null or over-long format.
[[gnu::format(printf, 1, 2)]] int shell_println(const char* fmt, ...);
// Writes one system-log entry "API:<tag>:<count>:<text>". Returns 0.
[[gnu::format(printf, 1, 2)]] int mysyslog(const char* fmt, ...);

// The line editor's output lock and typing-state callbacks.
void cle_lock_unlock_op(int lock, char* tag);
void cle_inline_state_tracker(int state);

// Appends one line to stdout_shio and flushes it unless the user is typing:
// what a side thread does with each line it receives.
void print_async_line(const char* line);
// Appends one line to stdout_shio for a side thread that has more lines at
// hand; the next print_async_line or flush_async_output lets it out.
void queue_async_line(const char* line);
// Flushes stdout_shio unless the user is typing, under the output lock.
void flush_async_output(void);
// Flushes stdout_shio whatever the typing state, under the output lock.
void flush_held_output_at_end(void);
