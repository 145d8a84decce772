// Start-up time: from exec until a session reads its first command, with
// no password set and the application already up. From outside, "reads its
// first command" shows as the echo of a key typed before the program
// started: the terminal's own echo is off, so only the program's first read
// of a command can echo it. As in a telnet session, a client is connected
// to local port 23, so the login report finds an address to report. Two
// baselines, run the same way: the least start-up (character mode, connect
// to the same server, send one line, read the answer, echo the key), and
// the same with the outside work every telnet session's start has, in the
// shell's order (the password tool's run, the log listener made known to
// syslogd, the application's name looked up, the client's address found in
// the kernel's TCP table, the two login-report requests, each answered).
// Runs rotate; everything shares one pinned CPU; the figures are medians of
// the per-round ratios, with more rounds (up to four times the minimum)
// while the first figure's 95% interval is wider than its goal's margin.
//
//   bench_startup [min-rounds]
#include <netinet/in.h>
#include <spawn.h>
#include <sys/mman.h>

#include "bench_util.h"
#include "sim_env.h"

namespace {

using namespace zb;

constexpr char kKey = '#';  // appears in none of the shell's start-up text
constexpr double kGoal = 1.50;
constexpr double kMargin = kGoal - 1.0;

// Times of one start, in microseconds after exec (-1: did not happen).
struct Start {
    double total_us = -1;         // the key's echo
    double output_us = -1;        // the first byte on the terminal
    double connect_us = -1;       // the server's accept
    double register_us = -1;      // the registration line at the server
    double last_request_us = -1;  // the last request line before the echo
};

// Reads the terminal until the key is echoed, noting when the first byte
// came. Returns false after 5 s or at end of input.
bool await_echo(int fd, int64_t* first_byte_ns) {
    const int64_t deadline = now_ns() + 5000000000LL;
    char buf[4096];
    for (;;) {
        const int64_t left = deadline - now_ns();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left / 1000000) + 1) <= 0) return false;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        if (*first_byte_ns == 0) *first_byte_ns = now_ns();
        if (memchr(buf, kKey, static_cast<size_t>(n)) != nullptr) return true;
    }
}

// Starts argv on a terminal with the key already typed and times it.
Start time_start(const std::vector<std::string>& argv, MiniServer& server,
                 std::atomic<int64_t>* exec_ns) {
    Start s;
    const int64_t accepted_before = server.log().last_accept_ns.load();
    const int64_t registered_before = server.log().last_registration_ns.load();
    exec_ns->store(0);
    PtyChild child = spawn_on_pty(argv, exec_ns);
    int64_t first_byte = 0;
    if (!write_all(child.master.get(), std::string_view(&kKey, 1)) ||
        !await_echo(child.master.get(), &first_byte)) {
        fprintf(stderr, "%s: no echo of the first key\n", argv[0].c_str());
        return s;
    }
    const int64_t echoed = now_ns();
    const int64_t exec_at = exec_ns->load();
    const auto since_exec = [&](int64_t at) { return static_cast<double>(at - exec_at) / 1000.0; };
    s.total_us = since_exec(echoed);
    s.output_us = since_exec(first_byte);
    const int64_t accepted = server.log().last_accept_ns.load();
    if (accepted != accepted_before) s.connect_us = since_exec(accepted);
    const int64_t registered = server.log().last_registration_ns.load();
    if (registered != registered_before) s.register_us = since_exec(registered);
    s.last_request_us = since_exec(server.log().last_line_ns.load());
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

// A connection to local port 23 (a listener on every IPv6 and IPv4 address,
// as telnetd's), as the client of a telnet session has.
class TelnetClient {
  public:
    TelnetClient() {
        listener_.reset(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in6 any{};
        any.sin6_family = AF_INET6;
        any.sin6_port = htons(23);
        any.sin6_addr = in6addr_any;
        client_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in loopback{};
        loopback.sin_family = AF_INET;
        loopback.sin_port = htons(23);
        loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listener_.get(), reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 ||
            listen(listener_.get(), 1) != 0 ||
            connect(client_.get(), reinterpret_cast<sockaddr*>(&loopback), sizeof loopback) != 0) {
            return;
        }
        server_side_.reset(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    }
    bool connected() const { return static_cast<bool>(server_side_); }

  private:
    UniqueFd listener_, client_, server_side_;
};

// Median of one field over starts that have it.
double median_of(const std::vector<Start>& starts, double Start::*field) {
    std::vector<double> values;
    for (const Start& s : starts)
        if (s.*field >= 0) values.push_back(s.*field);
    return median(values);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 21;
    const int cpu = pin_to_one_cpu();
    signal(SIGPIPE, SIG_IGN);

    zt::SimEnv env;
    env.start_syslogd();  // the telnet session's log reader finds and signals it
    MiniServer server;
    const TelnetClient client;
    if (!client.connected()) {
        fprintf(stderr, "no client connection on port 23\n");
        return 1;
    }
    void* shared = mmap(nullptr, sizeof(std::atomic<int64_t>), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    auto* exec_ns = new (shared) std::atomic<int64_t>(0);

    const std::string tool = zt::bin_path("qtool");
    const std::vector<std::string> programs[] = {
        {zt::bin_path("zcon"), "-t", "telnet"},
        {sibling_path("bench_baseline"), "startup", "/tmp/b-start"},
        {sibling_path("bench_baseline"), "startup", "/tmp/b-steps", tool}};
    for (const auto& program : programs)
        time_start(program, server, exec_ns);  // warm-up: page cache, first-run costs

    printf("start-up to the first command read, CPU %d, at least %d rounds, medians\n", cpu,
           rounds);
    printf("  machine at start: %s\n", machine_state().c_str());
    std::vector<Start> starts[3];
    std::vector<double> ratios, step_ratios, tool_us;
    const bool ran = gather({&ratios}, rounds, 4 * rounds, kMargin, [&](int r) {
        // Rotate the order, so that none always runs first or last.
        Start s[3];
        for (int i = 0; i < 3; ++i) {
            const int which = (r + i) % 3;
            s[which] = time_start(programs[which], server, exec_ns);
            if (s[which].total_us < 0) return false;
        }
        for (int i = 0; i < 3; ++i)
            starts[i].push_back(s[i]);
        ratios.push_back(s[0].total_us / s[1].total_us);
        step_ratios.push_back(s[0].total_us / s[2].total_us);
        tool_us.push_back(time_password_tool(tool));
        return true;
    });
    if (!ran) return 1;
    const Spread ratio = spread_of(ratios);
    const Spread step_ratio = spread_of(step_ratios);
    const auto phases = [&](const char* name, const std::vector<Start>& of) {
        printf(
            "  %-22s %5.0f us: first output %5.0f, connected %5.0f, registered %5.0f, "
            "last request %5.0f\n",
            name, median_of(of, &Start::total_us), median_of(of, &Start::output_us),
            median_of(of, &Start::connect_us), median_of(of, &Start::register_us),
            median_of(of, &Start::last_request_us));
    };
    phases("zcon", starts[0]);
    phases("least start-up", starts[1]);
    phases("with the outside work", starts[2]);
    printf("  the password tool alone, run as the shell runs it: %.0f us\n", median(tool_us));
    printf(
        "  zcon/least %.2f (interval %.2f..%.2f), zcon/with outside work %.2f (interval "
        "%.2f..%.2f), "
        "%zu rounds\n",
        ratio.median, ratio.low, ratio.high, step_ratio.median, step_ratio.low, step_ratio.high,
        ratio.rounds);
    printf("  machine at end: %s\n", machine_state().c_str());
    report("start-up to first command read",
           format("%.2f ms", median_of(starts[0], &Start::total_us) / 1000),
           format("%.2f ms", median_of(starts[1], &Start::total_us) / 1000), ratio, pinning(cpu),
           format("<= %.2fx", kGoal), ratio.median <= kGoal);
    report("start-up, baseline with the outside work",
           format("%.2f ms", median_of(starts[0], &Start::total_us) / 1000),
           format("%.2f ms", median_of(starts[2], &Start::total_us) / 1000), step_ratio,
           pinning(cpu), "report", true);
    return 0;
}
