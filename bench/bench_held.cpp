// Peak memory of a telnet session while the application sends a burst of
// output (8 MB by default) during a half-typed line: the line "ab" is typed,
// the burst sent, and once most of it is on the terminal (or after 30 s, for
// a shell that holds everything back) the line is ended with "c" and Enter.
// Reported: the session's peak resident memory (VmHWM) after the last line
// arrived, against its peak before the burst; printed too: what it holds
// afterwards (VmRSS).
//
//   bench_held [megabytes]
#include "bench_util.h"
#include "sim_env.h"

using namespace std::chrono_literals;

int main(int argc, char** argv) {
    const int megabytes = argc > 1 ? std::max(1, atoi(argv[1])) : 8;
    const int width = 100;  // each line 101 bytes with its line feed
    const int count = megabytes * 1000 * 1000 / (width + 1);
    signal(SIGPIPE, SIG_IGN);

    zt::SimEnv env;
    std::string id;
    auto z = zb::telnet_session(env, &id);
    if (!z) return 1;
    z->write("ab");
    if (!z->expect("ab")) return 1;
    z->take();
    const long idle_peak = zb::status_kib(z->pid(), "VmHWM");

    env.control("flood " + id + " " + std::to_string(count) + " " + std::to_string(width) + " 10");
    size_t received = 0;
    const auto read_more = [&](zt::Millis timeout) {
        z->read_until([](const std::string& out) { return out.size() > 1000000; }, timeout);
        received += z->take().size();
    };
    const size_t most = static_cast<size_t>(count) * (width + 1) * 9 / 10;
    const auto held_until = std::chrono::steady_clock::now() + 30s;
    while (received < most && std::chrono::steady_clock::now() < held_until)
        read_more(100ms);
    const bool out_while_typing = received >= most;
    z->write("c\r");
    const std::string last = "flood " + id + " " + std::to_string(count) + ".";
    bool arrived = false;
    std::string carry;  // the end of the output read so far
    const auto deadline = std::chrono::steady_clock::now() + 300s;
    while (!arrived && std::chrono::steady_clock::now() < deadline) {
        z->read_until([](const std::string& out) { return out.size() > 1000000; }, 100ms);
        const std::string chunk = carry + z->take();
        arrived = chunk.find(last) != std::string::npos;
        carry = chunk.substr(chunk.size() > 200 ? chunk.size() - 200 : 0);
    }
    if (!arrived) {
        fprintf(stderr, "the burst did not arrive\n");
        return 1;
    }
    const long peak = zb::status_kib(z->pid(), "VmHWM");
    printf("%d MB of events during a half-typed line: %s before the line ended\n", megabytes,
           out_while_typing ? "shown" : "held back");
    printf("  zcon peak resident memory %ld KiB, before the burst %ld KiB, now %ld KiB\n", peak,
           idle_peak, zb::status_kib(z->pid(), "VmRSS"));
    zb::report(zb::format("peak memory, %d MB of events while typing", megabytes),
               zb::format("%.1f MiB", peak / 1024.0), zb::format("%.1f MiB", idle_peak / 1024.0),
               zb::exact(static_cast<double>(peak) / static_cast<double>(idle_peak)), "no",
               "< 8 MiB", peak < 8 * 1024);
    return 0;
}
