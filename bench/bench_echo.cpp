// Keystroke echo latency through a registered zcon session: the time from a
// byte written to the terminal's master until its echo is read back, p50
// and p99, alone and while the application sends 10,000 lines/s to the
// session's socket. The baseline is a raw select/read/write echo loop on
// another terminal whose second thread receives (and holds) the same flood.
// Driver, sender, zcon and baseline share one pinned CPU, as on the
// single-core appliance; rounds alternate and the figures are medians of
// the per-round ratios, with more rounds (up to four times the minimum)
// while their interval is wider than the goal's margin.
//
//   bench_echo [min-rounds] [keys-per-round]
#include <sys/prctl.h>

#include <thread>

#include "bench_util.h"
#include "sim_env.h"

namespace {

using namespace zb;

constexpr int kFloodPerSecond = 10000;
constexpr int kKeysPerLine = 60;  // the shell's line is cleared before it wraps
constexpr double kGoal = 1.20;
constexpr double kMargin = kGoal - 1.0;

struct Target {
    const char* name;
    PtyChild child;
    UniqueFd events;   // connected to the target's event socket
    bool clears_line;  // zcon: Ctrl-C now and then keeps the line short
};

// Connects a datagram socket to path; returns it (invalid on failure).
UniqueFd connect_datagram(const std::string& path) {
    UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fd.reset();
    return fd;
}

// Sends one 80-byte line per datagram, kFloodPerSecond a second, to the
// socket in *target (none while it is -1), until *stop is set. The lines
// hold only dots and digits, so they never look like an echoed letter.
void flood(std::atomic<int>* target, std::atomic<bool>* stop) {
    prctl(PR_SET_TIMERSLACK, 1UL);
    std::string line(79, '.');
    line += '\n';
    const int64_t period = 1000000000 / kFloodPerSecond;
    int64_t next = now_ns();
    unsigned n = 0;
    while (!stop->load()) {
        next += period;
        timespec at{static_cast<time_t>(next / 1000000000), static_cast<long>(next % 1000000000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
        const int fd = target->load();
        if (fd < 0) continue;
        snprintf(line.data(), 8, "%07u", ++n % 10000000);
        line[7] = '.';
        send(fd, line.data(), line.size(), MSG_DONTWAIT);
    }
}

// Types `keys` letters at t and returns each echo's latency in microseconds
// (empty when an echo did not come).
std::vector<double> type_keys(Target& t, int keys) {
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(keys));
    const int master = t.child.master.get();
    for (int i = 0; i < keys; ++i) {
        const char key = static_cast<char>('a' + i % 26);
        const int64_t start = now_ns();
        if (!write_all(master, std::string_view(&key, 1)) || !read_until_byte(master, key)) {
            fprintf(stderr, "%s: no echo\n", t.name);
            return {};
        }
        samples.push_back(static_cast<double>(now_ns() - start) / 1000.0);
        if (t.clears_line && i % kKeysPerLine == kKeysPerLine - 1) {
            // Ctrl-C clears the line (ending in ESC [ J) without ending it.
            if (!write_all(master, "\x03") || !read_until_byte(master, 'J')) return {};
        }
    }
    return samples;
}

// Per-round percentiles of one program, or per-round ratios.
struct Figures {
    std::vector<double> p50, p99;
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 21;
    const int keys = argc > 2 ? std::max(100, atoi(argv[2])) : 400;
    const int cpu = pin_to_one_cpu();
    signal(SIGPIPE, SIG_IGN);

    zt::SimEnv env;
    MiniServer server;
    Target shell{"zcon", spawn_on_pty({zt::bin_path("zcon"), "-t", "telnet"}), {}, true};
    if (!wait_for([&] { return server.log().registrations.load() >= 1; }) ||
        !write_all(shell.child.master.get(), "\r") ||
        !read_until_text(shell.child.master.get(), "-> ")) {
        fprintf(stderr, "zcon did not come up\n");
        return 1;
    }
    shell.events = connect_datagram(session_socket(shell.child.tty));
    Target raw{"baseline",
               spawn_on_pty({sibling_path("bench_baseline"), "echo", "/tmp/b-echo"}),
               {},
               false};
    if (type_keys(raw, 26).empty()) return 1;  // echoing, so its socket is bound
    raw.events = connect_datagram("/tmp/b-echo");
    if (!shell.events || !raw.events) {
        fprintf(stderr, "event sockets missing\n");
        return 1;
    }

    std::atomic<int> flood_target{-1};
    std::atomic<bool> stop{false};
    std::thread sender(flood, &flood_target, &stop);
    printf("keystroke echo latency, CPU %d, at least %d rounds x %d keys\n", cpu, rounds, keys);
    printf("  machine at start: %s\n", machine_state().c_str());
    for (bool flooding : {false, true}) {
        Figures z, b, ratio;
        type_keys(shell, kKeysPerLine);  // warm-up, untimed
        type_keys(raw, kKeysPerLine);
        const bool ran = gather({&ratio.p50, &ratio.p99}, rounds, 4 * rounds, kMargin, [&](int r) {
            std::vector<double> zs, bs;
            // Alternate which goes first, so that neither always runs warm.
            for (int leg = 0; leg < 2; ++leg) {
                Target& t = (leg == 0) == (r % 2 == 0) ? shell : raw;
                flood_target.store(flooding ? t.events.get() : -1);
                (&t == &shell ? zs : bs) = type_keys(t, keys);
                flood_target.store(-1);
            }
            if (zs.empty() || bs.empty()) return false;
            z.p50.push_back(quantile(zs, 0.5));
            z.p99.push_back(quantile(zs, 0.99));
            b.p50.push_back(quantile(bs, 0.5));
            b.p99.push_back(quantile(bs, 0.99));
            ratio.p50.push_back(z.p50.back() / b.p50.back());
            ratio.p99.push_back(z.p99.back() / b.p99.back());
            return true;
        });
        if (!ran) return 1;
        const char* when = flooding ? "10,000 lines/s flood" : "alone";
        for (bool tail : {false, true}) {
            const auto& zv = tail ? z.p99 : z.p50;
            const auto& bv = tail ? b.p99 : b.p50;
            const Spread rv = spread_of(tail ? ratio.p99 : ratio.p50);
            printf(
                "  %-20s %s: zcon %.1f us, baseline %.1f us, ratio %.2f (interval %.2f..%.2f, "
                "%zu rounds %.2f..%.2f)\n",
                when, tail ? "p99" : "p50", median(zv), median(bv), rv.median, rv.low, rv.high,
                rv.rounds, quantile(tail ? ratio.p99 : ratio.p50, 0),
                quantile(tail ? ratio.p99 : ratio.p50, 1));
            report(format("keystroke echo %s, %s", tail ? "p99" : "p50", when),
                   format("%.1f us", median(zv)), format("%.1f us", median(bv)), rv, pinning(cpu),
                   format("<= %.2fx", kGoal), rv.median <= kGoal);
        }
    }
    stop.store(true);
    sender.join();
    // Ending the (cleared) line lets the held flood out: check it all came.
    const int master = shell.child.master.get();
    std::string tail;
    long released = 0;
    char buf[65536];
    write_all(master, "\x03\r");
    const int64_t deadline = now_ns() + 10000000000LL;
    while (tail.find("-> ") == std::string::npos && now_ns() < deadline) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) break;
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;
        released += std::count(buf, buf + n, '\n');
        tail.append(buf, static_cast<size_t>(n));
        if (tail.size() > 16) tail.erase(0, tail.size() - 16);
    }
    printf("  flood lines zcon held while the user typed, released at the line end: %ld\n",
           released);
    printf("  machine at end: %s\n", machine_state().c_str());
    return 0;
}
