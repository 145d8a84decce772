// Keystroke echo latency of the line editor: the time from a byte written to
// the pseudo-terminal's master until its echo is read back, against a
// minimal raw select/read/write echo loop on another pty measured in the
// same run. Both children and this process share one pinned CPU; rounds
// alternate between them and the figures are medians.
//
//   bench_cle_echo [rounds] [keys-per-round]
#include <pthread.h>

#include "bench_util.h"
#include "cle.h"

namespace {

using namespace zb;

pthread_mutex_t output_mutex = PTHREAD_MUTEX_INITIALIZER;

// The shell's lock callback: one mutex around each action's output.
void lock_unlock(int lock, char*) {
    lock ? pthread_mutex_lock(&output_mutex) : pthread_mutex_unlock(&output_mutex);
}

// Child: the editor reading lines until its terminal hangs up.
[[noreturn]] void run_editor() {
    cle_register_sync_callbacks(lock_unlock);
    if (cle_init() != 0) _exit(1);
    std::vector<char> line(4096);
    while (cle_get_command_line("", line.data(), static_cast<int>(line.size())) == 0) {
    }
    _exit(0);
}

// Child: the baseline, echoing every byte straight back.
[[noreturn]] void run_raw_echo() {
    termios mode{};
    tcgetattr(STDIN_FILENO, &mode);
    mode.c_lflag &= ~(ICANON | ISIG | ECHO | ECHONL);
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &mode);
    for (;;) {
        fd_set in;
        FD_ZERO(&in);
        FD_SET(STDIN_FILENO, &in);
        if (select(STDIN_FILENO + 1, &in, nullptr, nullptr, nullptr) < 0) continue;
        char c;
        if (read(STDIN_FILENO, &c, 1) != 1) _exit(0);
        if (write(STDOUT_FILENO, &c, 1) != 1) _exit(0);
    }
}

struct Child {
    pid_t pid;
    int master;
};

// Starts body on a new 80-column pty.
Child spawn(void (*body)()) {
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 80;
    Child child{-1, -1};
    child.pid = forkpty(&child.master, nullptr, nullptr, &size);
    if (child.pid == 0) body();
    return child;
}

// Times `keys` keystrokes on child's pty; returns the median in microseconds.
double median_echo_us(const Child& child, int keys, bool end_lines) {
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(keys));
    for (int i = 0; i < keys; ++i) {
        const char key = static_cast<char>('a' + i % 26);
        const auto start = Clock::now();
        if (write(child.master, &key, 1) != 1 || !read_until_byte(child.master, key)) {
            fprintf(stderr, "no echo\n");
            exit(1);
        }
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        // Keep the editor's line short: end it now and then, untimed.
        if (end_lines && i % 64 == 63) {
            if (write(child.master, "\r", 1) != 1 || !read_until_text(child.master, "\r\n"))
                exit(1);
        }
    }
    return median(std::move(samples));
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 21;
    const int keys = argc > 2 ? std::max(1, atoi(argv[2])) : 300;
    const int cpu = pin_to_one_cpu();
    const Child editor = spawn(run_editor);
    const Child raw = spawn(run_raw_echo);
    // Both are ready once they echo: warm them up untimed.
    median_echo_us(editor, 64, true);
    median_echo_us(raw, 64, false);

    std::vector<double> editor_us, raw_us, ratios;
    for (int r = 0; r < rounds; ++r) {
        // Alternate which goes first, so that neither always runs warm.
        double e, b;
        if (r % 2 == 0) {
            e = median_echo_us(editor, keys, true);
            b = median_echo_us(raw, keys, false);
        } else {
            b = median_echo_us(raw, keys, false);
            e = median_echo_us(editor, keys, true);
        }
        editor_us.push_back(e);
        raw_us.push_back(b);
        ratios.push_back(e / b);
    }
    printf("keystroke echo latency on a pty, CPU %d, %d rounds x %d keys, medians\n", cpu, rounds,
           keys);
    printf("  raw echo loop (baseline)  %8.1f us\n", median(raw_us));
    printf("  line editor               %8.1f us\n", median(editor_us));
    printf("  ratio editor / baseline   %8.2f\n", median(ratios));
    for (const Child& c : {editor, raw}) {
        close(c.master);  // hang-up ends both children
        kill(c.pid, SIGHUP);
        waitpid(c.pid, nullptr, 0);
    }
    return 0;
}
