// The line editor's read loop: one byte at a time from standard input, each
// key acted on under the shell's output lock, the typing state reported to
// the shell. The key actions themselves live in line_edit.cpp.
//
// An incomplete escape sequence (ESC followed by anything but "[" or "O",
// or cut short by end of input or a pause) does nothing. Repeating the
// previous sequence's action instead would turn a Meta-key combination into
// a second delete or cursor move, which no user expects.
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "cle_internal.h"
#include "line_edit.h"

namespace {

EditLine ed{};
bool line_entered = false;  // cle_refresh_line needs a prompt and a buffer
int report_char = 0;        // 1 once the shell was told a line is being typed

// A terminal sends a whole escape sequence in one go. The rest of a sequence
// is read while the output lock is held, so a lone ESC must not keep the
// shell's other output waiting for longer than this.
constexpr int kEscapeWaitMs = 500;

enum class Outcome { kGoOn, kLineEnded, kAborted };

// Reads one byte from standard input, again after a signal. Returns 0 with
// the byte, or -1 at end of input or on an error.
int read_char(unsigned char& ch) {
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, &ch, 1);
        if (n == 1) return 0;
        if (n == 0) return -1;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        pollfd in{STDIN_FILENO, POLLIN, 0};
        if (poll(&in, 1, -1) < 0 && errno != EINTR) return -1;
    }
}

// Returns the monotonic clock in milliseconds.
long long now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Reads the next byte of an escape sequence if it arrives before deadline.
// Returns false when the sequence is cut short.
bool read_sequence_byte(unsigned char& ch, long long deadline) {
    for (;;) {
        const long long left = deadline - now_ms();
        if (left <= 0) return false;
        pollfd in{STDIN_FILENO, POLLIN, 0};
        const int ready = poll(&in, 1, static_cast<int>(left));
        if (ready > 0) return read_char(ch) == 0;
        if (ready < 0 && errno != EINTR) return false;
    }
}

// Returns the terminal width, measuring it on first need and moving the
// bookkeeping of text typed until then onto the real rows.
int check_term() {
    int width = cle_term_width();
    if (width == 0) {
        width = cle_measure_term_width();
        settle_rows(ed, width);
    }
    return width;
}

// Acts on the key byte that ends a complete ESC [ or ESC O sequence.
void act_on_sequence_key(unsigned char key) {
    switch (key) {
        case '1':
        case 'H':
            check_term();
            edit_home(ed);
            break;
        case '3':
            edit_delete(ed, check_term());
            break;
        case '4':
        case 'F':
        case 'K':  // End on some terminals
            edit_end(ed, check_term());
            break;
        case 'C':
            edit_right(ed, check_term());
            break;
        case 'D':
            edit_left(ed, check_term());
            break;
        default:  // up, down, Insert, Page Up/Down: no history, no paging
            break;
    }
}

// Reads the rest of an escape sequence and acts on it.
void read_escape_sequence() {
    const long long deadline = now_ms() + kEscapeWaitMs;
    unsigned char intro = 0;
    unsigned char key = 0;
    if (!read_sequence_byte(intro, deadline)) return;
    if (intro != '[' && intro != 'O') return;
    if (!read_sequence_byte(key, deadline)) return;
    if (key >= '1' && key <= '9') {
        // Only the "~" of ESC [ n ~ is dropped: a longer parameter leaves
        // its last byte to be read as an ordinary key.
        unsigned char tail = 0;
        if (!read_sequence_byte(tail, deadline)) return;
    }
    act_on_sequence_key(key);
}

// Acts on one input byte. Returns whether the call goes on, the line ended,
// or the user gave up with Ctrl-D.
Outcome act_on_byte(unsigned char byte) {
    switch (byte) {
        case 0x01:  // Ctrl-A
            check_term();
            edit_home(ed);
            break;
        case 0x02:  // Ctrl-B
            edit_left(ed, check_term());
            break;
        case 0x03:  // Ctrl-C
            check_term();
            edit_clear(ed);
            break;
        case 0x04:  // Ctrl-D
            return Outcome::kAborted;
        case 0x05:  // Ctrl-E
            edit_end(ed, check_term());
            break;
        case 0x06:  // Ctrl-F
            edit_right(ed, check_term());
            break;
        case 0x08:
        case 0x7f:
            edit_backspace(ed, check_term());
            break;
        case 0x0a:
            // A serial terminal sending CR LF must not end two lines; with
            // echo off a line feed may be the only line end there is.
            if (cle_no_cr_flag() && cle_echo_flag()) break;
            return Outcome::kLineEnded;
        case 0x0d:
            return Outcome::kLineEnded;
        case 0x1b:
            read_escape_sequence();
            break;
        default:
            if (byte >= 0x20 && byte <= 0x7e)
                edit_insert(ed, cle_term_width(), static_cast<char>(byte));
            break;
    }
    return Outcome::kGoOn;
}

// Sets report_char and tells the typing-state callback, if any, state.
void cle_inline_notifier(int new_report_char, int report_state) {
    report_char = new_report_char;
    cle_call_inline(report_state);
}

}  // namespace

// Reads one edited line into buffer. Returns 0 when the line was ended, -1
// at end of input, on a read error or on Ctrl-D.
int cle_get_command_line(const char* prompt, char* buffer, int max_len) {
    if (buffer == nullptr || max_len < 1) return -1;
    edit_begin(ed, prompt != nullptr ? prompt : "", buffer, max_len);
    line_entered = true;
    if (ed.prompt_len != 0) {
        // Shown even with echo off: the user must see where to type.
        cle_call_lock(1);
        direct_fputs(ed.cmdprompt);
        direct_fflush();
        cle_call_lock(0);
    }
    for (;;) {
        unsigned char byte = 0;
        if (read_char(byte) < 0) return -1;
        cle_call_lock(1);
        const Outcome outcome = act_on_byte(byte);
        if (outcome == Outcome::kAborted) {
            cle_restore_term();
            cle_call_lock(0);
            return -1;
        }
        if (outcome == Outcome::kLineEnded) {
            // Serial sessions that keep CR untranslated expect LF CR.
            echo_fputs(cle_no_cr_flag() ? "\n\r" : "\r\n");
            echo_fflush();
            cle_inline_notifier(0, 0);
            cle_call_lock(0);
            return 0;
        }
        echo_fflush();
        // The first key of a line is reported while the lock is still held:
        // released first, another thread could print right behind the
        // character just echoed, inside the line being typed.
        if (report_char == 0 && ed.cmdlen > 0) cle_inline_notifier(1, 1);
        cle_call_lock(0);
    }
}

// Writes the prompt and the line again at the cursor, whatever the echo
// switch. Returns 1 if anything was written, else 0.
int cle_refresh_line() {
    if (!line_entered) return 0;
    const bool any = ed.prompt_len != 0 || ed.cmdbuff[0] != '\0';
    if (ed.prompt_len != 0) direct_fputs(ed.cmdprompt);
    if (ed.cmdbuff[0] != '\0') direct_fputs(ed.cmdbuff);
    if (!any) return 0;
    direct_fflush();
    return 1;
}
