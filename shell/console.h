// The console: the one writer to the terminal besides the line editor, whose
// output lock it shares. It keeps asynchronous output (event lines, live log
// records, side threads' messages) out of a half-typed command line: while a
// line is typed such output is held, and it goes out when the line ends.
// Its state (the buffered output stdout_shio, the lock async_stdout_mut, the
// typing state, the echo) is its own; the other modules call the operations
// below. The system log is not the console's: see system_log.h.
#pragma once

#include <stddef.h>

#include <type_traits>

#include "message_format.h"

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

// Prints one line on standard output, newline_string appended (a line feed
// at the format's end gives way to it), and mirrors it to the system log in
// sessions that mirror. Returns the characters printed. The format is
// checked when the code is built (message_format.h).
template <typename... Args>
int shell_println(MessageFormat<std::type_identity_t<Args>...> format, Args... args);
// The printer behind shell_println, for a format checked already. Returns
// -1, printing nothing, for a null format or one over 63 characters.
int console_println(const char* fmt, ...);
// Writes text as it is (no format, no line break added).
void console_write_text(const char* text, size_t length);
// Writes text and a line feed, as puts does, after anything held.
void console_write_plain_line(const char* text);

// ---- The command loop's turn -----------------------------------------------

// Writes the held output, then the "-> " mark of an empty line (after a line
// break when echo is off); the next line is typed after the mark.
void console_show_mark(void);
// Writes question; the answer is typed after it on the same row.
void console_ask(const char* question);
// Holds a line of the loop's own for the end of the turn.
void console_hold_line(const char* line);
// The end of the loop's turn: lets held output out unless a line is typed.
void console_end_turn(void);

// ---- Side threads ----------------------------------------------------------

// Prints one event line or live-log record: at once when nobody types, held
// otherwise. more_follows: the reader has the next line at hand, so this one
// waits for it and one write of the two serves. line NULL: nothing to show
// this time (a record filtered out, a datagram's last line empty); what
// waits goes out unless a line is typed.
void console_print_event_line(const char* line, bool more_follows);
// Prints a side thread's message as shell_println would (same text, same
// mirror), but held while a line is typed, like an event line.
template <typename... Args>
int console_print_side_message(MessageFormat<std::type_identity_t<Args>...> format, Args... args);
// The printer behind console_print_side_message, as console_println.
int console_print_side_line(const char* fmt, ...);

template <typename... Args>
int shell_println(MessageFormat<std::type_identity_t<Args>...> format, Args... args) {
    return console_println(format.text(), args...);
}

template <typename... Args>
int console_print_side_message(MessageFormat<std::type_identity_t<Args>...> format, Args... args) {
    return console_print_side_line(format.text(), args...);
}
