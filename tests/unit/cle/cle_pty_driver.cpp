// Runs the line editor on its terminal for the pty tests. Descriptor 3 is a
// socket to the test: the driver reports events on it, one per line ("ready",
// "lock 1", "lock 0", "typing 1", "line <text>", "end -1 restored=yes", ...),
// and a side thread takes commands from it, as the shell's output threads
// would: "fence" and "print <text>" write under the output lock, "refresh"
// calls cle_refresh_line under it.
//
// Options: --prompt=TEXT --max-len=N --noecho --no-cr --quiet (no lock or
// typing events) --roundtrip (init and clean up once, report the terminal
// and signal state, exit).
#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "cle.h"
#include "seams.h"

namespace {

constexpr int kChannel = 3;
pthread_mutex_t output_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t report_mutex = PTHREAD_MUTEX_INITIALIZER;
bool quiet = false;

// Sends one event line to the test.
void report(const std::string& event) {
    const std::string line = event + "\n";
    pthread_mutex_lock(&report_mutex);
    (void)!write(kChannel, line.data(), line.size());
    pthread_mutex_unlock(&report_mutex);
}

// The shell's lock callback: the output mutex, reported.
void lock_unlock(int lock, char* /*tag*/) {
    if (lock) {
        pthread_mutex_lock(&output_mutex);
        if (!quiet) report("lock 1");
    } else {
        if (!quiet) report("lock 0");
        pthread_mutex_unlock(&output_mutex);
    }
}

// The shell's typing-state callback, reported.
void typing(int state) {
    if (!quiet) report("typing " + std::to_string(state));
}

// Serves the test's commands until the socket closes.
void side_thread() {
    std::string pending;
    char buf[256];
    ssize_t n;
    while ((n = read(kChannel, buf, sizeof buf)) > 0) {
        pending.append(buf, static_cast<size_t>(n));
        for (size_t end; (end = pending.find('\n')) != std::string::npos;
             pending.erase(0, end + 1)) {
            const std::string cmd = pending.substr(0, end);
            pthread_mutex_lock(&output_mutex);
            if (cmd == "fence") {
                (void)!write(STDOUT_FILENO, "\x1b]fence\a", 8);
            } else if (cmd.rfind("print ", 0) == 0) {
                (void)!write(STDOUT_FILENO, cmd.data() + 6, cmd.size() - 6);
            } else if (cmd == "refresh") {
                cle_refresh_line();
            }
            pthread_mutex_unlock(&output_mutex);
            report("done " + cmd);
        }
    }
}

bool same_attrs(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// Whether the terminal settings now equal before.
const char* restored(const termios& before) {
    termios now{};
    tcgetattr(STDIN_FILENO, &now);
    return same_attrs(now, before) ? "yes" : "no";
}

void own_winch_handler(int) {}

// Init then clean up twice, reporting the mode in between and what is left.
int roundtrip(const termios& before) {
    signal(SIGWINCH, own_winch_handler);
    for (const char* line : {"one", "two", "three"})
        cle_history_test_add(line);
    if (cle_init() != 0) return 1;
    termios mode{};
    tcgetattr(STDIN_FILENO, &mode);
    const bool raw = (mode.c_lflag & (ICANON | ISIG | ECHO | ECHONL)) == 0 &&
                     mode.c_cc[VMIN] == 1 && mode.c_cc[VTIME] == 0 && mode.c_cc[VINTR] == 0;
    char flags[128];
    snprintf(flags, sizeof flags, "roundtrip raw=%s icrnl=%d onlcr=%d history=%d/%d",
             raw ? "yes" : "no", (mode.c_iflag & ICRNL) != 0, (mode.c_oflag & ONLCR) != 0,
             cle_history_size(), cle_history_get_start());
    cle_cleanup();
    cle_cleanup();
    struct sigaction now {};
    sigaction(SIGWINCH, nullptr, &now);
    report(std::string(flags) + " restored=" + restored(before) +
           " winch=" + (now.sa_handler == own_winch_handler ? "theirs" : "ours"));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string prompt = "> ";
    int max_len = 511;
    bool roundtrip_only = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--prompt=", 0) == 0)
            prompt = arg.substr(9);
        else if (arg.rfind("--max-len=", 0) == 0)
            max_len = atoi(arg.c_str() + 10);
        else if (arg == "--noecho")
            cle_echo_enable(0);
        else if (arg == "--no-cr")
            cle_no_cr_translation(1);
        else if (arg == "--quiet")
            quiet = true;
        else if (arg == "--roundtrip")
            roundtrip_only = true;
    }
    termios before{};
    tcgetattr(STDIN_FILENO, &before);
    if (roundtrip_only) return roundtrip(before);

    // A hung-up terminal must show as a failed read, as in the shell.
    signal(SIGHUP, SIG_IGN);
    cle_register_sync_callbacks(lock_unlock);
    cle_register_inline_callback(typing);
    if (cle_init() != 0) return 1;
    std::thread(side_thread).detach();
    // Exactly max_len bytes, so that the address sanitizer sees any overrun.
    char* buffer = static_cast<char*>(malloc(static_cast<size_t>(max_len)));
    report("ready");
    for (;;) {
        if (cle_get_command_line(prompt.c_str(), buffer, max_len) != 0) break;
        report(std::string("line ") + buffer);
    }
    report(std::string("end -1 restored=") + restored(before));
    free(buffer);
    cle_cleanup();
    return 0;
}
