// The console: the output lock shared with the line editor, the buffered
// output of the side threads, and every write to the terminal made while
// the editor may be at work, so that asynchronous output never lands
// inside a half-typed command line.
#include "console.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string_view>

#include "cle.h"
#include "mutex_lock.h"
#include "session.h"
#include "shell_io.h"
#include "system_log.h"

namespace {

// Buffered console output, bound to standard output. Every write into it
// and every flush of it is made under async_stdout_mut.
ShellIOT* stdout_shio;
// Serialises console output between the threads; the line editor takes it
// around each stretch of its own output.
pthread_mutex_t async_stdout_mut = PTHREAD_MUTEX_INITIALIZER;
// 1 while the user is typing a line: held output then stays in stdout_shio.
// Written by the editor's callback under the lock; read under it too.
std::atomic<int> cle_inline;
// The echo of typed characters: without it the "-> " mark starts a new row.
int cmdecho_state = 1;
bool editor_ready;  // the line editor has the terminal

// Output held while a line is being typed goes out anyway above this size,
// so that a flood of events cannot grow the session without end: the typed
// line is taken off the screen, the output written, and the line drawn again
// below it.
constexpr int kHeldOutputLimit = 64 * 1024;
// A message's format with the session's line break in place of its own line
// feed: at most 63 characters and the break, with room to spare.
constexpr size_t kMessageFormatSize = 69;

// The line editor's typing-state callback. It runs with the lock held.
void cle_inline_state_tracker(int state) {
    cle_inline = state ? 1 : 0;
}

// Characters held in stdout_shio. Under async_stdout_mut.
int held_size() {
    int size = 0;
    shell_io_get_attributes(stdout_shio, nullptr, &size, nullptr);
    return size;
}

// Writes the held output while no line is being typed. Under
// async_stdout_mut.
void write_held_output() {
    if (held_size() == 0) return;
    shell_io_flush(stdout_shio);
    // Held text ends with a line end: any input starts on a fresh row now.
    cle_set_row_text("");
}

// Writes the held output over the line being typed. Under async_stdout_mut.
void write_over_typed_line() {
    const bool hidden = cle_hide_line() != 0;
    shell_io_flush(stdout_shio);
    if (hidden) cle_refresh_line();
}

// Appends one line under the output lock; while a line is typed and too much
// is held, the held output goes out over it.
void hold_line(const char* line) {
    shell_io_put_line(stdout_shio, line);
    if (cle_inline != 0 && held_size() > kHeldOutputLimit) write_over_typed_line();
}

// Writes text (and a line feed) to standard output now, under the lock;
// anything held stays held for the end of the turn.
void write_now(const char* text, size_t length, bool line_feed) {
    MutexLock lock(async_stdout_mut);
    fwrite(text, 1, length, stdout);
    if (line_feed) fputc('\n', stdout);
    fflush(stdout);
}

// Builds the format of a message from fmt into out (kMessageFormatSize
// bytes). Returns false for a null format or one over 63 characters.
bool message_format(const char* fmt, char* out) {
    if (fmt == nullptr) return false;
    const size_t n = strlen(fmt);
    if (n > kMaxMessageFormat) return false;
    std::string_view body(fmt, n);
    if (!body.empty() && body.back() == '\n') body.remove_suffix(1);
    snprintf(out, kMessageFormatSize, "%.*s%s", static_cast<int>(body.size()), body.data(),
             newline_string);
    return true;
}

// Prints a message of the format fmt made of ap with print, then mirrors
// what was printed to the system log. Returns print's result, or -1 for a
// format message_format refuses.
template <typename Print>
int print_and_mirror(const char* fmt, va_list ap, Print print) {
    char format[kMessageFormatSize];
    if (!message_format(fmt, format)) return -1;
    va_list copy;
    va_copy(copy, ap);
    const int rc = print(format, copy);
    va_end(copy);
    if (rc > 0) syslog_mirror_message(format, ap);
    return rc;
}

}  // namespace

int console_init(void) {
    cle_use_output_mutex(&async_stdout_mut);
    cle_register_inline_callback(cle_inline_state_tracker);
    stdout_shio = shell_io_create();
    if (stdout_shio == nullptr) return -1;
    shell_io_bind_fd(stdout_shio, STDOUT_FILENO);
    return 0;
}

void console_use_serial_line_ends(void) {
    shell_io_add_cr(stdout_shio);
    cle_no_cr_translation(1);
}

void console_set_echo(int echo) {
    MutexLock lock(async_stdout_mut);
    cmdecho_state = echo;
    cle_echo_enable(echo);
}

int console_editor_init(void) {
    const int rc = cle_init();
    editor_ready = rc == 0;
    return rc;
}

void console_editor_cleanup(void) {
    if (editor_ready) cle_cleanup();
    editor_ready = false;
}

void console_flush_at_end(void) {
    MutexLock lock(async_stdout_mut);
    shell_io_flush(stdout_shio);
}

void console_write_text(const char* text, size_t length) {
    write_now(text, length, false);
}

void console_write_plain_line(const char* text) {
    write_now(text, strlen(text), true);
}

void console_show_mark(void) {
    MutexLock lock(async_stdout_mut);
    shell_io_flush(stdout_shio);
    if (!cmdecho_state) fputs(newline_string, stdout);
    fputs(default_prompt, stdout);
    fflush(stdout);
    cle_set_row_text(default_prompt);  // the next line is typed after it
}

void console_ask(const char* question) {
    MutexLock lock(async_stdout_mut);
    fputs(question, stdout);
    fflush(stdout);
    cle_set_row_text(question);  // the answer is typed after it
}

void console_hold_line(const char* line) {
    MutexLock lock(async_stdout_mut);
    hold_line(line);
}

void console_end_turn(void) {
    MutexLock lock(async_stdout_mut);
    if (cle_inline == 0) write_held_output();
}

// One hold of the lock does both: a line that arrives while nobody types
// goes out at once, after anything held, in the writes a flush of the two
// would make.
void console_print_event_line(const char* line, bool more_follows) {
    MutexLock lock(async_stdout_mut);
    if (line == nullptr) {
        if (cle_inline == 0) write_held_output();
    } else if (more_follows || cle_inline != 0) {
        hold_line(line);
    } else {
        shell_io_flush_line(stdout_shio, line);
        // The output ends with a line end: any input starts on a fresh row.
        cle_set_row_text("");
    }
}

int console_println(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int rc = print_and_mirror(fmt, ap, [](const char* format, va_list args) {
        const int printed = vprintf(format, args);
        fflush(stdout);  // whole, now: other writers share the terminal
        return printed;
    });
    va_end(ap);
    return rc;
}

int console_print_side_line(const char* fmt, ...) {
    // Side threads print only in sessions whose console ends lines in LF
    // alone (the live log is a telnet session's), so the format's own CR LF
    // is what the terminal gets.
    va_list ap;
    va_start(ap, fmt);
    const int rc = print_and_mirror(fmt, ap, [](const char* format, va_list args) {
        MutexLock lock(async_stdout_mut);
        const int held = shell_io_vprintf(stdout_shio, format, args);
        if (cle_inline == 0) write_held_output();
        return held;
    });
    va_end(ap);
    return rc;
}
