// Runs the line editor alone on this terminal so a person can try it by hand.
// Each line read is shown back with its length; Ctrl-D or "quit" ends.
//
//   cle_try [--prompt=TEXT] [--noecho] [--no-cr] [--max-len=N] [--ticker]
//
// --ticker prints a line from a second thread every two seconds, through the
// same output lock the shell uses, to show that it waits while a line is
// being typed and never lands inside one.
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
int typing = 0;  // read under output_mutex
std::string held;
std::atomic<bool> running{true};

// Takes or releases the output lock.
void lock_unlock(int lock, char* /*tag*/) {
    if (lock) {
        pthread_mutex_lock(&output_mutex);
    } else {
        pthread_mutex_unlock(&output_mutex);
    }
}

// Notes whether a line is being typed.
void typing_state(int state) {
    if (state) pthread_mutex_lock(&output_mutex);
    typing = state;
    if (state) pthread_mutex_unlock(&output_mutex);
}

// Writes held lines unless a line is being typed; call under the lock.
void flush_held() {
    if (typing || held.empty()) return;
    (void)!write(STDOUT_FILENO, held.data(), held.size());
    held.clear();
}

// Queues a tick line every two seconds, as the shell's side threads do.
void ticker() {
    for (int n = 1; running; ++n) {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        pthread_mutex_lock(&output_mutex);
        held += "[tick " + std::to_string(n) + "]\r\n";
        flush_held();
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
    cle_register_sync_callbacks(lock_unlock);
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
        flush_held();
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
