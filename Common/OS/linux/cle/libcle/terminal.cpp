// Terminal layer of the editor: character mode on standard input and its
// undoing, the width of the terminal kept current across window-size
// changes, and the two callbacks through which the shell couples its own
// output to the editor's.
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "cle_internal.h"

namespace {

// Written from the SIGWINCH handler, read by the editor between actions.
std::atomic<int> term_width{};
std::atomic<unsigned> window_changes{};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free int");

bool no_cr_flag = false;
termios termios_reset{};
bool termios_saved = false;
struct sigaction prev_sigwinch {};
bool sigwinch_installed = false;
cle_LockCallbackT lock_unlock_cb = nullptr;
cle_InlineCallbackT inline_cb = nullptr;

constexpr int kFallbackWidth = 80;

// Re-measures the width when the window changes size. Only async-signal-safe
// calls happen here, and errno is kept for the code it interrupted.
void sigwinch_handler(int sig) {
    if (sig != SIGWINCH) return;
    const int saved_errno = errno;
    cle_measure_term_width();
    ++window_changes;
    errno = saved_errno;
}

// Returns a copy of saved switched to character mode without driver echo.
termios character_mode(const termios& saved) {
    termios mode = saved;
    mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ISIG | ECHO | ECHONL);
    if (no_cr_flag) {
        // Serial sessions end lines with a bare CR: it must arrive as itself,
        // and a line feed the editor writes must not gain a CR.
        mode.c_iflag &= ~static_cast<tcflag_t>(ICRNL | IGNCR);
        mode.c_oflag &= ~static_cast<tcflag_t>(ONLCR);
    }
    mode.c_cc[VINTR] = _POSIX_VDISABLE;
    mode.c_cc[VMIN] = 1;  // a read returns with the first byte, no timer
    mode.c_cc[VTIME] = {};
    return mode;
}

}  // namespace

// A terminal that will not give its settings is reported on stderr.
int cle_init() {
    termios saved{};
    if (tcgetattr(STDIN_FILENO, &saved) < 0) {
        perror("save_term_settings() failed\n");
        return -1;
    }
    termios_reset = saved;
    termios_saved = true;
    term_width = 0;
    cle_history_reset_counters();

    struct sigaction action {};
    action.sa_handler = sigwinch_handler;
    action.sa_flags = SA_RESTART;
    struct sigaction replaced {};
    sigaction(SIGWINCH, &action, &replaced);
    // A second cle_init must not record our own handler as the one to restore.
    if (!sigwinch_installed) {
        prev_sigwinch = replaced;
        sigwinch_installed = true;
    }

    const termios mode = character_mode(saved);
    tcsetattr(STDIN_FILENO, TCSANOW, &mode);
    return 0;
}

int cle_cleanup() {
    cle_restore_term();
    if (sigwinch_installed) {
        sigaction(SIGWINCH, &prev_sigwinch, nullptr);
        sigwinch_installed = false;
    }
    cle_history_release();
    return 0;
}

// Restores the saved terminal settings. Returns 0, or -1 on failure or when
// nothing was saved.
int cle_restore_term() {
    if (!termios_saved) return -1;
    return tcsetattr(STDIN_FILENO, TCSANOW, &termios_reset);
}

int cle_reset_term() {
    return cle_restore_term();
}

// Stores the line-end mode: non-zero keeps CR untranslated.
void cle_no_cr_translation(int disable) {
    no_cr_flag = disable != 0;
}

// Returns the line-end mode.
int cle_no_cr_flag() {
    return no_cr_flag;
}

// Stores the output lock callback (NULL removes it).
void cle_register_sync_callbacks(cle_LockCallbackT cb) {
    lock_unlock_cb = cb;
}

// Stores the typing-state callback (NULL removes it).
void cle_register_inline_callback(cle_InlineCallbackT cb) {
    inline_cb = cb;
}

// Calls the lock callback, if any, with 1 to take and 0 to release, and
// no tag.
void cle_call_lock(bool take) {
    if (lock_unlock_cb != nullptr) lock_unlock_cb(take ? 1 : 0, nullptr);
}

// Calls the typing-state callback, if any, with 1 or 0.
void cle_call_inline(bool typing) {
    if (inline_cb != nullptr) inline_cb(typing ? 1 : 0);
}

// Returns the known width, 0 while not yet measured.
int cle_term_width() {
    return term_width.load(std::memory_order_relaxed);
}

// Measures the width of standard output's terminal; stores and returns it.
int cle_measure_term_width() {
    winsize size{};
    int width = kFallbackWidth;
    // Some serial lines report 0 or 1 columns: that is no width to wrap at.
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1) width = size.ws_col;
    term_width.store(width, std::memory_order_relaxed);
    return width;
}

// Returns how often the window changed size.
unsigned cle_window_changes() {
    return window_changes.load(std::memory_order_relaxed);
}
