// Start-up time: from exec until a session reads its first command, with
// no password set and the application already up. From outside, "reads its
// first command" shows as the echo of a key typed before the program
// started: the terminal's own echo is off, so only the program's first read
// of a command can echo it. The baseline is a minimal program that puts its
// terminal in character mode, connects to the same server, sends one line,
// reads the answer and echoes the key. Runs alternate; everything shares one
// pinned CPU; the figure is the median of the per-pair ratios.
//
//   bench_startup [pairs]
#include <spawn.h>
#include <sys/mman.h>

#include "bench_util.h"
#include "sim_env.h"

namespace {

using namespace zb;

constexpr char kKey = '#';  // appears in none of the shell's start-up text

struct Start {
    double total_us = -1;         // exec to the key's echo
    double connect_us = -1;       // exec to the server's accept
    double last_request_us = -1;  // exec to the last request line before the echo
};

// Starts argv on a terminal with the key already typed and times it.
Start time_start(const std::vector<std::string>& argv, MiniServer& server,
                 std::atomic<int64_t>* exec_ns) {
    Start s;
    const int64_t accepted_before = server.log().last_accept_ns.load();
    exec_ns->store(0);
    PtyChild child = spawn_on_pty(argv, exec_ns);
    if (!write_all(child.master.get(), std::string_view(&kKey, 1)) ||
        !read_until_byte(child.master.get(), kKey)) {
        fprintf(stderr, "%s: no echo of the first key\n", argv[0].c_str());
        return s;
    }
    const int64_t echoed = now_ns();
    const int64_t exec_at = exec_ns->load();
    s.total_us = static_cast<double>(echoed - exec_at) / 1000.0;
    const int64_t accepted = server.log().last_accept_ns.load();
    if (accepted != accepted_before)
        s.connect_us = static_cast<double>(accepted - exec_at) / 1000.0;
    s.last_request_us = static_cast<double>(server.log().last_line_ns.load() - exec_at) / 1000.0;
    child.stop();
    return s;
}

// Times one run of the password tool as the shell runs it: started
// directly, its output read through a pipe. Returns microseconds.
double time_password_tool(const std::string& tool) {
    const int64_t start = now_ns();
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::string words[] = {tool, "config", "sw", "0"};
    char* args[] = {words[0].data(), words[1].data(), words[2].data(), words[3].data(), nullptr};
    pid_t child;
    const int started = posix_spawn(&child, args[0], &actions, nullptr, args, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    char buffer[128];
    while (started == 0 && read(out[0], buffer, sizeof buffer) > 0) {
    }
    close(out[0]);
    if (started != 0) return -1;
    waitpid(child, nullptr, 0);
    return static_cast<double>(now_ns() - start) / 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
    const int pairs = argc > 1 ? std::max(1, atoi(argv[1])) : 21;
    const int cpu = pin_to_one_cpu();
    signal(SIGPIPE, SIG_IGN);

    zt::SimEnv env;
    env.start_syslogd();  // the telnet session's log reader finds and signals it
    MiniServer server;
    void* shared = mmap(nullptr, sizeof(std::atomic<int64_t>), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    auto* exec_ns = new (shared) std::atomic<int64_t>(0);

    const std::vector<std::string> shell = {zt::bin_path("zcon"), "-t", "telnet"};
    const std::vector<std::string> minimal = {sibling_path("bench_baseline"), "startup",
                                              "/tmp/b-start"};
    time_start(shell, server, exec_ns);  // warm-up: page cache, first-run costs
    time_start(minimal, server, exec_ns);

    std::vector<double> shell_us, base_us, connect_us, request_us, tool_us, ratios;
    for (int r = 0; r < pairs; ++r) {
        Start z, b;
        // Alternate which goes first, so that neither always runs warm.
        if (r % 2 == 0) {
            z = time_start(shell, server, exec_ns);
            b = time_start(minimal, server, exec_ns);
        } else {
            b = time_start(minimal, server, exec_ns);
            z = time_start(shell, server, exec_ns);
        }
        if (z.total_us < 0 || b.total_us < 0) return 1;
        shell_us.push_back(z.total_us);
        base_us.push_back(b.total_us);
        connect_us.push_back(z.connect_us);
        request_us.push_back(z.last_request_us);
        ratios.push_back(z.total_us / b.total_us);
        tool_us.push_back(time_password_tool(zt::bin_path("qtool")));
    }
    const double ratio = median(ratios);
    printf("start-up to the first command read, CPU %d, %d pairs, medians\n", cpu, pairs);
    printf("  zcon %.0f us: connected at %.0f us, last start-up request at %.0f us\n",
           median(shell_us), median(connect_us), median(request_us));
    printf("  the password tool alone, run as the shell runs it: %.0f us\n", median(tool_us));
    printf("  baseline %.0f us; ratio %.2f (pairs %.2f..%.2f)\n", median(base_us), ratio,
           quantile(ratios, 0), quantile(ratios, 1));
    report("start-up to first command read", format("%.2f ms", median(shell_us) / 1000),
           format("%.2f ms", median(base_us) / 1000), ratio, "<= 1.50x", ratio <= 1.5);
    return 0;
}
