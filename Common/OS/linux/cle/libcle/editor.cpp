// The line editor's read loop: one byte at a time from standard input, each
// key acted on under the shell's output lock, the typing state reported to
// the shell. The key actions themselves live in line_edit.cpp.
//
// An incomplete escape sequence (ESC followed by anything but "[" or "O",
// or cut short by end of input or a pause) does nothing. Repeating the
// previous sequence's action instead would turn a Meta-key combination into
// a second delete or cursor move, which no user expects.
//
// The editor's state changes only under the output lock: another thread
// that holds it may redraw the line (cle_hide_line, cle_refresh_line) or
// say what its output left on the row (cle_set_row_text).
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "cle_internal.h"
#include "key_decode.h"
#include "key_table.h"
#include "line_edit.h"

namespace {

EditLine ed{};
bool reading = false;      // inside cle_get_command_line: ed is that call's line
bool report_char = false;  // the shell was told a line is being typed
unsigned seen_changes{};   // window-size changes the line knows of
// What the caller says is on the row before the input (its mark, or ""):
// the caller's own text.
const char* row_text = "";

// A terminal sends a whole escape sequence in one go. The rest of a sequence
// is read while the output lock is held, so a lone ESC must not keep the
// shell's other output waiting for longer than this.
constexpr int kEscapeWaitMs = 500;
constexpr int kNoTimeout = -1;  // poll waits as long as it takes
using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

enum class Outcome { kGoOn, kLineEnded, kAborted };

// Reads one byte from standard input, again after a signal, waiting for one
// if standard input does not block. Returns false at end of input or on an
// error.
bool read_char(unsigned char& ch) {
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, &ch, 1);
        if (n == 1) return true;
        if (n == 0 || (errno != EINTR && errno != EAGAIN)) return false;
        pollfd in{STDIN_FILENO, POLLIN, {}};
        poll(&in, 1, kNoTimeout);  // a failure shows in the next read
    }
}

// Reads the next byte of an escape sequence if it arrives before deadline.
// Returns false when the sequence is cut short.
bool read_sequence_byte(unsigned char& ch, Clock::time_point deadline) {
    for (;;) {
        const Millis left = std::chrono::ceil<Millis>(deadline - Clock::now());
        pollfd in{STDIN_FILENO, POLLIN, {}};
        const int ready = poll(&in, 1, static_cast<int>(std::max(left, Millis{}).count()));
        if (ready == -1 && errno == EINTR) continue;  // a signal: wait on for the rest
        return ready > 0 && read_char(ch);
    }
}

// Returns the terminal width, measured first when `measure` and not known
// yet (typing on at the end of the line needs no width: until it is known
// nothing wraps, and the first other key catches up). A window-size change
// since the last look has the line drawn again at the next action, even
// at the width it had: the terminal may have cut its rows meanwhile.
int term_width(bool measure) {
    const unsigned changes = cle_window_changes();
    if (changes != seen_changes) ed.window_changed = true;
    seen_changes = changes;
    const int width = cle_term_width();
    return width != 0 || !measure ? width : cle_measure_term_width();
}

// Whether a line feed ends the line: not while a serial terminal's CR LF
// would end two lines; with echo off a line feed may be the only line end
// there is.
bool lf_ends_line() {
    return !(cle_no_cr_flag() && cle_echo_flag());
}

// Reads the rest of an escape sequence, under the lock, until it is complete
// or cut short. Returns the key it makes.
Key read_rest_of_sequence(KeyDecoder& keys) {
    const Clock::time_point deadline = Clock::now() + Millis(kEscapeWaitMs);
    Key key;
    while (keys.in_sequence()) {
        unsigned char byte{};
        if (!read_sequence_byte(byte, deadline)) {
            keys.cut();
            break;
        }
        key = keys.feed(byte, lf_ends_line());
    }
    return key;
}

// Acts on one key. Returns whether the call goes on, the line ended, or the
// user gave up with Ctrl-D.
Outcome act_on_key(const Key& key) {
    if (key.action == KeyAction::kLineEnd) return Outcome::kLineEnded;
    if (key.action == KeyAction::kAbort) return Outcome::kAborted;
    if (key.action == KeyAction::kNone) return Outcome::kGoOn;
    edit_key(ed, key, term_width(key.action != KeyAction::kInsert));
    return Outcome::kGoOn;
}

// Writes the line end below the line. Serial sessions that keep CR
// untranslated expect LF CR.
void finish_line() {
    edit_finish(ed, term_width(false), cle_no_cr_flag() && cle_echo_flag() ? "\n\r" : "\r\n");
}

// Forgets the line of the call that ends: the next starts on a new row.
void leave_line() {
    reading = false;
    row_text = "";
}

// Notes whether a line is being typed and tells the typing-state callback.
void cle_inline_notifier(bool typing) {
    report_char = typing;
    cle_call_inline(typing);
}

}  // namespace

// Reads one edited line into buffer. Returns 0 when the line was ended, -1
// at end of input, on a read error or on Ctrl-D.
int cle_get_command_line(const char* prompt, char* buffer, int max_len) {
    cle_call_lock(true);
    edit_begin(ed, row_text, prompt != nullptr ? prompt : "", buffer, max_len);
    reading = true;
    // The prompt shows even with echo off: the user must see where to type.
    direct_fputs(ed.cmdprompt);
    // Laid out now if the width is known, before a window-size change could
    // have the editor count the prompt at a width it was not written at.
    settle_rows(ed, term_width(false));
    direct_fflush();
    cle_call_lock(false);
    KeyDecoder keys;
    for (;;) {
        unsigned char byte{};
        if (!read_char(byte)) {
            cle_call_lock(true);
            leave_line();
            cle_call_lock(false);
            return -1;
        }
        cle_call_lock(true);
        Key key = keys.feed(byte, lf_ends_line());
        if (keys.in_sequence()) key = read_rest_of_sequence(keys);
        const Outcome outcome = act_on_key(key);
        if (outcome == Outcome::kAborted) {
            // The session ends here: leave the terminal on a fresh row.
            if (ed.prompt_len + ed.cmdlen > 0) finish_line();
            echo_fflush();
            cle_restore_term();
            leave_line();
            cle_call_lock(false);
            return -1;
        }
        if (outcome == Outcome::kLineEnded) {
            finish_line();
            echo_fflush();
            cle_inline_notifier(false);
            leave_line();
            cle_call_lock(false);
            return 0;
        }
        echo_fflush();
        // The first key of a line is reported while the lock is still held:
        // released first, another thread could print right behind the
        // character just echoed, inside the line being typed.
        if (!report_char && ed.cmdlen > 0) cle_inline_notifier(true);
        cle_call_lock(false);
    }
}

// Records what is on the row before the input; see cle.h.
void cle_set_row_text(const char* text) {
    if (text == nullptr || (reading && report_char)) return;
    row_text = text;
    // Nothing typed yet: the input now starts after this text, and the
    // prompt went up the screen with the caller's output.
    if (reading) edit_begin(ed, row_text, "", ed.cmdbuff, ed.max_len);
}

// Takes the line off the screen for the caller's output; see cle.h.
int cle_hide_line() {
    if (!reading || !cle_echo_flag() || ed.prompt_len + ed.cmdlen == 0) return 0;
    edit_hide(ed, term_width(true));
    echo_fflush();
    return 1;
}

// Draws the line again after the caller's output; see cle.h.
int cle_refresh_line() {
    if (!reading || ed.prompt_len + ed.cmdlen == 0) return 0;
    if (!cle_echo_flag()) {
        // Nothing of the line was shown: write it as it stands.
        if (ed.cmdprompt[0] == '\0' && ed.cmdbuff[0] == '\0') return 0;
        direct_fputs(ed.cmdprompt);
        direct_fputs(ed.cmdbuff);
        direct_fflush();
        return 1;
    }
    edit_redraw(ed, term_width(true));
    echo_fflush();
    return 1;
}
