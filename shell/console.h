// The console: the one writer to the terminal besides the line editor, whose
// output lock it shares. It keeps asynchronous output (event lines, live log
// records, side threads' messages) out of a half-typed command line: while a
// line is typed such output is held, and it goes out when the line ends.
// Its state (the buffered output stdout_shio, the lock async_stdout_mut, the
// typing state, the echo) is its own; the other modules call the operations
// below.
#pragma once

#include <stddef.h>

// ---- Start and end ---------------------------------------------------------

// Binds the editor's lock and typing-state callbacks and creates
// stdout_shio, bound to standard output. Returns 0, or -1 when stdout_shio
// cannot be created.
int console_init(void);
// CR LF line ends on the console, and CR read untranslated: a serial line.
void console_use_serial_line_ends(void);
// Sets the echo of typed characters (cmdecho), before the editor starts or
// between lines.
void console_set_echo(int echo);
// Hands the terminal to the line editor (cle_init); returns its result.
int console_editor_init(void);
// Gives the terminal back if the editor has it. Safe to call more than once.
void console_editor_cleanup(void);
// Writes whatever is held, typed line or not: the session is ending.
void console_flush_at_end(void);

// ---- Messages of the main thread -------------------------------------------

// Prints one line (format of at most 63 characters, newline_string appended)
// on standard output and mirrors it to the system log when mirroring.
// Returns the characters printed, or -1 for a null or over-long format.
[[gnu::format(printf, 1, 2)]] int shell_println(const char* fmt, ...);
// Writes text as it is (no format, no line break added).
void console_write_text(const char* text, size_t length);
// Writes text and a line feed, as puts does, after anything held.
void console_write_plain_line(const char* text);

// ---- The system log --------------------------------------------------------

// Writes one system-log entry "API:<tag>:<count>:<text>". Returns 0.
[[gnu::format(printf, 1, 2)]] int mysyslog(const char* fmt, ...);
// Counts one command line for the entries' count (gnCount).
void console_count_command(void);

// ---- The command loop's turn -----------------------------------------------

// Writes the held output, then the "-> " mark of an empty line (after a line
// break when echo is off); the next line is typed after the mark.
void console_show_mark(void);
// Writes question; the answer is typed after it on the same row.
void console_ask(const char* question);
// Holds a line until the end of the turn (or a side thread's next line).
void console_queue_line(const char* line);
// Lets held output out unless a line is being typed: the end of the loop's
// turn, or a side thread done with what it had at hand.
void console_release_held(void);

// ---- Side threads ----------------------------------------------------------

// Prints one event line or live-log record: at once when nobody types, held
// otherwise.
void console_print_event_line(const char* line);
// A side thread with the next line at hand already calls console_queue_line
// instead: the line goes out with the next one, one flush for both.
// Prints a side thread's message as shell_println would (same text, same
// mirror), but held while a line is typed, like an event line.
[[gnu::format(printf, 1, 2)]] int console_print_side_message(const char* fmt, ...);
