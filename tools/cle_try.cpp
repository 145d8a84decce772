// Runs the line editor alone on this terminal so a person can try it by hand.
// Each line read is shown back with its length; Ctrl-D or "quit" ends.
//
//   cle_try [--prompt=TEXT] [--noecho] [--no-cr] [--max-len=N] [--ticker]
//
// --ticker prints a line from a second thread every two seconds, through the
// same output lock the shell uses: the line being typed is taken off the
// screen, the tick printed, and the line drawn again below it, so a tick
// never lands inside a line.
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "cle.h"

namespace {

pthread_mutex_t output_mutex = PTHREAD_MUTEX_INITIALIZER;
int typing = 0;  // written by the editor under output_mutex
std::atomic<bool> running{true};

// Notes whether a line is being typed. The editor calls this with the
// output lock held: taking it here again would hang.
void typing_state(int state) {
    typing = state;
}

// Prints a tick line every two seconds, as the shell's side threads print.
void ticker() {
    for (int n = 1; running; ++n) {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        pthread_mutex_lock(&output_mutex);
        const std::string tick =
            "[tick " + std::to_string(n) + (typing ? ", typing" : "") + "]\r\n";
        const bool hidden = cle_hide_line() != 0;
        (void)!write(STDOUT_FILENO, tick.data(), tick.size());
        if (hidden) {
            cle_refresh_line();
        } else {
            cle_set_row_text("");  // the input now starts on a fresh row
        }
        pthread_mutex_unlock(&output_mutex);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string prompt = "cle> ";
    int max_len = 511;
    bool with_ticker = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--prompt=", 0) == 0)
            prompt = arg.substr(9);
        else if (arg.rfind("--max-len=", 0) == 0)
            max_len = std::max(1, atoi(arg.c_str() + 10));
        else if (arg == "--noecho")
            cle_echo_enable(0);
        else if (arg == "--no-cr")
            cle_no_cr_translation(1);
        else if (arg == "--ticker")
            with_ticker = true;
        else {
            fprintf(stderr,
                    "usage: %s [--prompt=TEXT] [--noecho] [--no-cr] [--max-len=N] [--ticker]\n",
                    argv[0]);
            return 2;
        }
    }
    cle_use_output_mutex(&output_mutex);
    cle_register_inline_callback(typing_state);
    if (cle_init() != 0) return 1;
    printf(
        "Editing keys: Ctrl-A/E home/end, Ctrl-B/F left/right, Ctrl-C clear, "
        "Ctrl-D quit.\r\n");
    fflush(stdout);
    if (with_ticker) std::thread(ticker).detach();

    std::vector<char> buffer(static_cast<size_t>(max_len));
    while (cle_get_command_line(prompt.c_str(), buffer.data(), max_len) == 0) {
        const std::string line = buffer.data();
        pthread_mutex_lock(&output_mutex);
        printf("read %zu characters: \"%s\"\r\n", line.size(), line.c_str());
        fflush(stdout);
        pthread_mutex_unlock(&output_mutex);
        if (line == "quit") break;
    }
    running = false;
    cle_cleanup();
    printf("\nterminal restored\n");
    return 0;
}
