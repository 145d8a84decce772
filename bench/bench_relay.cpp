// Relay throughput: 80-byte lines sent as datagrams to a session's socket,
// 20 lines per datagram and 1 per datagram, until they have all been read
// from the session's pseudo-terminal. The same lines go, in alternating
// rounds, through a real zcon session and through a minimal relay (receive
// a datagram, write each line to the terminal); the figure is the median of
// the per-round ratios of lines per second.
//
//   bench_relay [rounds] [lines-per-run] [cpu|-1]
// The driver, the sender and both relays share one CPU (the last one, or
// the one given), as on the single-core appliance; -1 lets the scheduler
// spread them over all CPUs.
#include <thread>

#include "bench_util.h"
#include "sim_env.h"

namespace {

using namespace zb;

constexpr size_t kLineBytes = 80;  // counting the line feed

struct Relay {
    const char* name;
    PtyChild child;
    std::string socket;
};

// Sends lines_total lines, per_datagram to a datagram, to the relay's
// socket and reads its terminal until all of them have come out. Returns lines/s, or 0
// when they did not all arrive.
double relay_rate(const Relay& relay, int per_datagram, int lines_total) {
    UniqueFd out(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", relay.socket.c_str());
    if (connect(out.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 0;
    std::string line(kLineBytes - 1, '.');
    line.replace(0, 6, "relay ");
    line += '\n';
    std::string datagram;
    for (int i = 0; i < per_datagram; ++i)
        datagram += line;
    const int datagrams = lines_total / per_datagram;
    const long expected = static_cast<long>(datagrams) * per_datagram;

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
        return 0;
    }
    return static_cast<double>(expected) * 1e9 / static_cast<double>(elapsed);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 11;
    const int lines = argc > 2 ? std::max(1000, atoi(argv[2])) : 100000;
    const int cpu_wanted = argc > 3 ? atoi(argv[3]) : CPU_SETSIZE;
    const int cpu = cpu_wanted >= 0 ? pin_to_one_cpu(cpu_wanted) : -1;
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

    printf("relay throughput, %d rounds of %d lines of %zu bytes, %s\n", rounds, lines, kLineBytes,
           cpu >= 0 ? format("all on CPU %d", cpu).c_str() : "unpinned");
    for (int per : {20, 1}) {
        relay_rate(shell, per, lines / 10);  // warm-up, untimed
        relay_rate(minimal, per, lines / 10);
        std::vector<double> shell_rates, base_rates, ratios;
        for (int r = 0; r < rounds; ++r) {
            // Alternate which goes first, so that neither always runs warm.
            double z, b;
            if (r % 2 == 0) {
                z = relay_rate(shell, per, lines);
                b = relay_rate(minimal, per, lines);
            } else {
                b = relay_rate(minimal, per, lines);
                z = relay_rate(shell, per, lines);
            }
            if (z <= 0 || b <= 0) return 1;
            shell_rates.push_back(z);
            base_rates.push_back(b);
            ratios.push_back(z / b);
        }
        const double ratio = median(ratios);
        printf(
            "  %2d lines/datagram: zcon %.3f M lines/s, baseline %.3f M lines/s, ratio %.2f "
            "(rounds %.2f..%.2f)\n",
            per, median(shell_rates) / 1e6, median(base_rates) / 1e6, ratio, quantile(ratios, 0),
            quantile(ratios, 1));
        report(format("relay throughput, %d line%s/datagram", per, per == 1 ? "" : "s"),
               format("%.3f M lines/s", median(shell_rates) / 1e6),
               format("%.3f M lines/s", median(base_rates) / 1e6), ratio, ">= 0.90x", ratio >= 0.9);
    }
    return 0;
}
