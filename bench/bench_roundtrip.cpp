// Forwarded command round trip: from Enter typed at a registered zcon
// session until the application's answer has opened the input gate and the
// next keystroke (typed together with Enter) is echoed. The baseline is the
// least such a trip can cost: a bare loopback request and answer with the
// same server, then a raw select/read/write echo of one key on a terminal.
// Everything shares one pinned CPU; zcon and baseline samples alternate.
//
//   bench_roundtrip [bursts] [lines-per-burst]
// The shell ends sessions that send lines too fast for too long (ten lines
// within a second each earn a strike, ten strikes end the session; a pause
// of more than 2.5 s forgives all), so the lines come in bursts of at most
// 80 with a pause between them.
#include <netinet/in.h>

#include <thread>

#include "bench_util.h"
#include "sim_env.h"

namespace {

using namespace zb;

constexpr int kMaxBurst = 80;
constexpr auto kForgivingPause = std::chrono::milliseconds(2600);

// Connects to the server at 127.0.0.1:4121; returns the socket.
UniqueFd connect_server() {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(4121);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fd.reset();
    return fd;
}

// One forwarded line through zcon, whose line already holds "k": Enter and
// the next "k" go in one write; the trip ends when that "k" is echoed.
// Returns microseconds, or -1.
double shell_trip(int master) {
    const int64_t start = now_ns();
    if (!write_all(master, "\rk") || !read_until_byte(master, 'k')) return -1;
    return static_cast<double>(now_ns() - start) / 1000.0;
}

// The baseline trip: request, answer, then one key echoed by the raw loop.
// Returns microseconds, or -1.
double baseline_trip(int server, int echo_master) {
    const int64_t start = now_ns();
    if (!write_all(server, "C: k\n") || !read_until_byte(server, '\n')) return -1;
    if (!write_all(echo_master, "k") || !read_until_byte(echo_master, 'k')) return -1;
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
    PtyChild raw = spawn_on_pty({sibling_path("bench_baseline"), "echo", "/tmp/b-echo"});
    UniqueFd requester = connect_server();
    if (!requester || !write_all(raw.master.get(), "k") ||
        !read_until_byte(raw.master.get(), 'k') || !write_all(master, "k") ||
        !read_until_byte(master, 'k')) {
        fprintf(stderr, "baseline did not come up\n");
        return 1;
    }
    // Pause first: the lines above count towards the shell's flood guard.
    std::this_thread::sleep_for(kForgivingPause);

    const int lines_before = server.log().lines.load();
    const int split_before = server.log().split_lines.load();
    std::vector<double> shell_us, base_us, ratios;
    for (int b = 0; b < bursts; ++b) {
        if (b > 0) std::this_thread::sleep_for(kForgivingPause);
        for (int i = 0; i < per_burst; ++i) {
            // Alternate which goes first, so that neither always runs warm.
            double z, base;
            if (i % 2 == 0) {
                z = shell_trip(master);
                base = baseline_trip(requester.get(), raw.master.get());
            } else {
                base = baseline_trip(requester.get(), raw.master.get());
                z = shell_trip(master);
            }
            if (z < 0 || base < 0) {
                fprintf(stderr, "a trip did not complete (burst %d, line %d)\n", b, i);
                return 1;
            }
            shell_us.push_back(z);
            base_us.push_back(base);
            ratios.push_back(z / base);
        }
    }
    const int requests = server.log().lines.load() - lines_before;
    const int split = server.log().split_lines.load() - split_before;
    const double ratio = median(shell_us) / median(base_us);
    printf("forwarded command round trip, CPU %d, %zu trips each\n", cpu, shell_us.size());
    printf(
        "  zcon %.1f us (p90 %.1f), baseline %.1f us (p90 %.1f), ratio of medians %.2f, "
        "median of paired ratios %.2f\n",
        median(shell_us), quantile(shell_us, 0.9), median(base_us), quantile(base_us, 0.9), ratio,
        median(ratios));
    printf("  requests the server received: %d, of which %d arrived in more than one piece\n",
           requests, split);
    report("forwarded command round trip", format("%.1f us", median(shell_us)),
           format("%.1f us", median(base_us)), ratio, "<= 1.30x", ratio <= 1.3);
    report("requests leaving in one write", format("%d of %d", requests - split, requests),
           format("%d of %d", requests, requests),
           requests > 0 ? static_cast<double>(requests - split) / requests : 0, "= 1.00x",
           split == 0 && requests > 0);
    return 0;
}
