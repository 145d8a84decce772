// Forwarded command round trip: from Enter typed at a registered zcon
// session until the application's answer has opened the input gate and the
// next keystroke (typed together with Enter) is echoed. The baseline is the
// least such a trip can cost, measured the same way on its own terminal: a
// program that reads the keys, echoes the line break, sends the line as one
// request over TCP to the same server, waits for the answer and echoes the
// next key (pty read, one request and answer, pty write). Everything shares
// one pinned CPU; zcon and baseline trips alternate, and the figure is the
// median of the paired ratios.
//
//   bench_roundtrip [min-bursts] [lines-per-burst]
// The shell ends sessions that send lines too fast for too long (ten lines
// within a second each earn a strike, ten strikes end the session; a pause
// of more than 2.5 s forgives all), so the lines come in bursts of at most
// 80 with a pause between them; more bursts follow (up to four times the
// minimum) while the median's 95% interval is wider than the goal's margin.
#include <thread>

#include "bench_util.h"
#include "sim_env.h"

namespace {

using namespace zb;

constexpr int kMaxBurst = 80;
constexpr auto kForgivingPause = std::chrono::milliseconds(2600);
constexpr double kGoal = 1.30;
constexpr double kMargin = kGoal - 1.0;

// One forwarded line through a program whose line already holds "k": Enter
// and the next "k" go in one write; the trip ends when that "k" is echoed.
// Returns microseconds, or -1.
double trip(int master) {
    const int64_t start = now_ns();
    if (!write_all(master, "\rk") || !read_until_byte(master, 'k')) return -1;
    return static_cast<double>(now_ns() - start) / 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
    const int bursts = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    const int per_burst = argc > 2 ? std::clamp(atoi(argv[2]), 2, kMaxBurst) : kMaxBurst;
    const int cpu = pin_to_one_cpu();
    signal(SIGPIPE, SIG_IGN);

    zt::SimEnv env;
    MiniServer server;
    PtyChild shell = spawn_on_pty({zt::bin_path("zcon"), "-t", "telnet"});
    const int master = shell.master.get();
    if (!wait_for([&] { return server.log().registrations.load() >= 1; }) ||
        !write_all(master, "\r") || !read_until_text(master, "-> ")) {
        fprintf(stderr, "zcon did not come up\n");
        return 1;
    }
    PtyChild minimal = spawn_on_pty({sibling_path("bench_baseline"), "forward"});
    const int minimal_master = minimal.master.get();
    if (!wait_for([&] { return server.log().connections.load() >= 2; }) ||
        !write_all(minimal_master, "k") || !read_until_byte(minimal_master, 'k') ||
        !write_all(master, "k") || !read_until_byte(master, 'k')) {
        fprintf(stderr, "baseline did not come up\n");
        return 1;
    }

    printf("forwarded command round trip, CPU %d, at least %d bursts of %d trips each\n", cpu,
           bursts, per_burst);
    printf("  machine at start: %s\n", machine_state().c_str());
    const int lines_before = server.log().lines.load();
    const int split_before = server.log().split_lines.load();
    std::vector<double> shell_us, base_us, ratios;
    const bool ran = gather({&ratios}, bursts, 4 * bursts, kMargin, [&](int) {
        // Pause first: earlier lines count towards the shell's flood guard.
        std::this_thread::sleep_for(kForgivingPause);
        for (int i = 0; i < per_burst; ++i) {
            // Alternate which goes first, so that neither always runs warm.
            double z, base;
            if (i % 2 == 0) {
                z = trip(master);
                base = trip(minimal_master);
            } else {
                base = trip(minimal_master);
                z = trip(master);
            }
            if (z < 0 || base < 0) {
                fprintf(stderr, "a trip did not complete (line %d)\n", i);
                return false;
            }
            shell_us.push_back(z);
            base_us.push_back(base);
            ratios.push_back(z / base);
        }
        return true;
    });
    if (!ran) return 1;
    // Both programs' requests reach the server; only the shell's can come in
    // pieces, since the baseline writes each in one call.
    const int trips = static_cast<int>(shell_us.size());
    const int requests = server.log().lines.load() - lines_before - trips;
    const int split = server.log().split_lines.load() - split_before;
    const Spread ratio = spread_of(ratios);
    printf(
        "  zcon %.1f us (p90 %.1f), baseline %.1f us (p90 %.1f), %d pairs, median of paired "
        "ratios %.2f (interval %.2f..%.2f), ratio of medians %.2f\n",
        median(shell_us), quantile(shell_us, 0.9), median(base_us), quantile(base_us, 0.9), trips,
        ratio.median, ratio.low, ratio.high, median(shell_us) / median(base_us));
    printf(
        "  requests the server received from zcon: %d, of which %d arrived in more than one "
        "piece\n",
        requests, split);
    printf("  machine at end: %s\n", machine_state().c_str());
    report("forwarded command round trip", format("%.1f us", median(shell_us)),
           format("%.1f us", median(base_us)), ratio, pinning(cpu), format("<= %.2fx", kGoal),
           ratio.median <= kGoal);
    report("requests leaving in one write", format("%d of %d", requests - split, requests),
           format("%d of %d", trips, trips),
           exact(requests > 0 ? static_cast<double>(requests - split) / requests : 0), pinning(cpu),
           "= 1.00x", split == 0 && requests == trips);
    return 0;
}
