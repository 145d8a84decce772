// Relay throughput: 80-byte lines sent as datagrams to a session's socket,
// 20 lines per datagram and 1 per datagram, until they have all been read
// from the session's pseudo-terminal. The same lines go, in alternating
// rounds, through a real zcon session and through a minimal relay (receive
// a datagram, write each line to the terminal); the figure is the median of
// the per-round ratios of lines per second. Beside it, the lines each relay
// passes per second of its own CPU time (all its threads), as a ratio the
// same way: the part of the figure that other programs on the machine move
// least.
//
//   bench_relay [min-rounds] [lines-per-round] [cpu|-1] [lines-per-datagram]
// The driver, the sender and both relays share one CPU (the last one, or
// the one given), as on the single-core appliance; -1 lets the scheduler
// spread them over all CPUs. A count of lines per datagram measures that
// one only (for a profile). Rounds go on (up to eight times the minimum)
// while the median's 95% interval is wider than the goal's margin.
#include <thread>

#include "bench_util.h"
#include "sim_env.h"

namespace {

using namespace zb;

constexpr size_t kLineBytes = 80;  // counting the line feed
constexpr double kGoal = 0.90;
constexpr double kMargin = 1.0 - kGoal;

struct Relay {
    const char* name;
    PtyChild child;
    std::string socket;
};

// One run of a relay: lines per second, and CPU nanoseconds per line.
struct Run {
    double rate = 0;
    double cpu_per_line = 0;
};

// Sends lines_total lines, per_datagram to a datagram, to the relay's
// socket and reads its terminal until all of them have come out. The rate
// is 0 when they did not all arrive.
Run relay_run(const Relay& relay, int per_datagram, int lines_total) {
    Run run;
    UniqueFd out(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", relay.socket.c_str());
    if (connect(out.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return run;
    std::string line(kLineBytes - 1, '.');
    line.replace(0, 6, "relay ");
    line += '\n';
    std::string datagram;
    for (int i = 0; i < per_datagram; ++i)
        datagram += line;
    const int datagrams = lines_total / per_datagram;
    const long expected = static_cast<long>(datagrams) * per_datagram;

    const int64_t cpu_before = cpu_ns_of(relay.child.pid);
    const int64_t start = now_ns();
    std::thread sender([&] {
        for (int i = 0; i < datagrams; ++i) {
            while (send(out.get(), datagram.data(), datagram.size(), 0) < 0 && errno == EINTR) {
            }
        }
    });
    long seen = 0;
    static char buf[65536];
    while (seen < expected) {
        pollfd p{relay.child.master.get(), POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) break;
        ssize_t n = read(relay.child.master.get(), buf, sizeof buf);
        if (n <= 0) break;
        seen += std::count(buf, buf + n, '\n');
    }
    const int64_t elapsed = now_ns() - start;
    sender.join();
    if (seen < expected) {
        fprintf(stderr, "%s: %ld of %ld lines arrived\n", relay.name, seen, expected);
        return run;
    }
    run.rate = static_cast<double>(expected) * 1e9 / static_cast<double>(elapsed);
    run.cpu_per_line = static_cast<double>(cpu_ns_of(relay.child.pid) - cpu_before) /
                       static_cast<double>(expected);
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 21;
    const int lines = argc > 2 ? std::max(1000, atoi(argv[2])) : 20000;
    const int cpu_wanted = argc > 3 ? atoi(argv[3]) : CPU_SETSIZE;
    const int cpu = cpu_wanted >= 0 ? pin_to_one_cpu(cpu_wanted) : -1;
    const int only_per = argc > 4 ? atoi(argv[4]) : 0;
    signal(SIGPIPE, SIG_IGN);

    zt::SimEnv env;
    MiniServer server;
    Relay shell{"zcon", spawn_on_pty({zt::bin_path("zcon"), "-t", "telnet"}), {}};
    shell.socket = session_socket(shell.child.tty);
    // Registered and at the prompt: an empty line brings back the mark.
    if (!wait_for([&] { return server.log().registrations.load() >= 1; }) ||
        !write_all(shell.child.master.get(), "\r") ||
        !read_until_text(shell.child.master.get(), "-> ")) {
        fprintf(stderr, "zcon did not come up\n");
        return 1;
    }
    Relay minimal{"baseline", {}, {}};
    minimal.child = spawn_on_pty({sibling_path("bench_baseline"), "relay", "/tmp/baseline-relay"});
    minimal.socket = "/tmp/baseline-relay";
    if (!read_until_text(minimal.child.master.get(), "ready")) {
        fprintf(stderr, "baseline did not come up\n");
        return 1;
    }

    printf("relay throughput, at least %d rounds of %d lines of %zu bytes, %s\n", rounds, lines,
           kLineBytes, cpu >= 0 ? format("all on CPU %d", cpu).c_str() : "unpinned");
    printf("  machine at start: %s\n", machine_state().c_str());
    for (int per : {20, 1}) {
        if (only_per > 0 && per != only_per) continue;
        relay_run(shell, per, lines / 4);  // warm-up, untimed
        relay_run(minimal, per, lines / 4);
        std::vector<double> shell_rates, base_rates, ratios, shell_cpu, base_cpu, cpu_ratios;
        const bool ran = gather({&ratios}, rounds, 8 * rounds, kMargin, [&](int r) {
            // Alternate which goes first, so that neither always runs warm.
            Run z, b;
            if (r % 2 == 0) {
                z = relay_run(shell, per, lines);
                b = relay_run(minimal, per, lines);
            } else {
                b = relay_run(minimal, per, lines);
                z = relay_run(shell, per, lines);
            }
            if (z.rate <= 0 || b.rate <= 0) return false;
            shell_rates.push_back(z.rate);
            base_rates.push_back(b.rate);
            ratios.push_back(z.rate / b.rate);
            shell_cpu.push_back(z.cpu_per_line);
            base_cpu.push_back(b.cpu_per_line);
            // Upside down, so that as for the rate more is better.
            cpu_ratios.push_back(b.cpu_per_line / z.cpu_per_line);
            return true;
        });
        if (!ran) return 1;
        const Spread ratio = spread_of(ratios);
        const Spread cpu_ratio = spread_of(cpu_ratios);
        const char* plural = per == 1 ? "" : "s";
        printf(
            "  %2d lines/datagram, %zu rounds: zcon %.3f M lines/s, baseline %.3f M lines/s, "
            "ratio %.2f (interval %.2f..%.2f, rounds %.2f..%.2f)\n",
            per, ratio.rounds, median(shell_rates) / 1e6, median(base_rates) / 1e6, ratio.median,
            ratio.low, ratio.high, quantile(ratios, 0), quantile(ratios, 1));
        printf(
            "      CPU per line: zcon %.2f us, baseline %.2f us, baseline/zcon %.2f (interval "
            "%.2f..%.2f)\n",
            median(shell_cpu) / 1000, median(base_cpu) / 1000, cpu_ratio.median, cpu_ratio.low,
            cpu_ratio.high);
        report(format("relay throughput, %d line%s/datagram", per, plural),
               format("%.3f M lines/s", median(shell_rates) / 1e6),
               format("%.3f M lines/s", median(base_rates) / 1e6), ratio, pinning(cpu),
               format(">= %.2fx", kGoal), ratio.median >= kGoal);
        report(format("relay lines per CPU second, %d line%s/datagram", per, plural),
               format("%.3f M", 1e3 / median(shell_cpu)), format("%.3f M", 1e3 / median(base_cpu)),
               cpu_ratio, pinning(cpu), "report", true);
    }
    printf("  machine at end: %s\n", machine_state().c_str());
    return 0;
}
