// Memory of a telnet session over many hold cycles with both side threads
// writing: a line is half typed, the application sends a burst of event
// lines and log records arrive at the same time, as syslogd sends them (more
// than the 64 KiB the shell holds, so held output also goes out over the
// typed line), then the line is ended. Reported: the session's peak resident memory
// (VmHWM) after 2N cycles against its peak before the first, and against
// its peak after N, which is 1.00x once the peak has levelled off. Printed
// too: the peak and resident memory after every cycle.
//
//   bench_hold_cycles [N, default 20] [KiB per source and cycle, default 512]
#include "bench_util.h"
#include "sim_env.h"

namespace {

using namespace std::chrono_literals;

constexpr int kEventWidth = 100;     // each event line 101 bytes with its line feed
constexpr size_t kRecordText = 900;  // log records of 932 bytes

// What a cycle's output held: its bytes, and the log records and event
// lines among them (a line cut between two reads is not counted).
struct Seen {
    size_t bytes = 0, records = 0, events = 0;
    void add(const std::string& out) {
        bytes += out.size();
        for (size_t at = 0; (at = out.find(" bench: ", at)) != std::string::npos; ++at)
            ++records;
        for (size_t at = 0; (at = out.find("flood ", at)) != std::string::npos; ++at)
            ++events;
    }
};

// One cycle: "echo <marker>" typed, the bursts sent while it is half typed,
// the line ended, and everything read up to the marker's output.
bool hold_cycle(zt::SimEnv& env, zt::PtyProcess& z, int log, const std::string& id, int kib,
                int cycle, Seen* seen) {
    const std::string marker = "cycle" + std::to_string(cycle);
    z.write("echo " + marker);
    if (!z.expect(marker)) return false;
    z.take();
    const int lines = kib * 1024 / (kEventWidth + 1);
    env.control("flood " + id + " " + std::to_string(lines) + " " + std::to_string(kEventWidth) +
                " 10");
    // Records go straight to the session's log socket, as syslogd sends
    // them, so none is dropped: a full socket is waited for while the
    // terminal is read.
    const std::string record = "2026-12-08 04:50:00 info bench: " + std::string(kRecordText, 'r');
    for (int sent = 0; sent < kib * 1024;) {
        if (send(log, record.data(), record.size(), MSG_DONTWAIT) > 0) {
            sent += static_cast<int>(record.size());
            continue;
        }
        pollfd ready[] = {{log, POLLOUT, 0}, {z.master(), POLLIN, 0}};
        poll(ready, 2, 100);
        z.pump();
        seen->add(z.take());
    }
    z.write("\r");
    const std::string end = "\n" + marker + "\n";
    std::string carry;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
        z.read_until([&](const std::string& out) { return out.find(end) != std::string::npos; },
                     100ms);
        const std::string out = z.take();
        seen->add(out);
        const std::string chunk = carry + out;
        if (chunk.find(end) != std::string::npos) return true;
        carry = chunk.substr(chunk.size() > 64 ? chunk.size() - 64 : 0);
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const int half = argc > 1 ? std::max(1, atoi(argv[1])) : 20;
    const int kib = argc > 2 ? std::max(1, atoi(argv[2])) : 512;
    signal(SIGPIPE, SIG_IGN);

    zt::SimEnv env;
    std::string id;
    auto z = zb::telnet_session(env, &id);
    if (!z) return 1;
    // The log reader's socket, connected to, so that a full one can be waited for.
    zt::UniqueFd log(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "/tmp/sysloglisteners/zcon%s",
             z->tty_tag().c_str());
    if (!zt::wait_until([&] {
            return connect(log.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        })) {
        fprintf(stderr, "no log reader socket\n");
        return 1;
    }
    printf("  machine at start: %s\n", zb::machine_state().c_str());
    const long idle_peak = zb::status_kib(z->pid(), "VmHWM");
    printf("  before: peak %ld KiB, resident %ld KiB\n", idle_peak,
           zb::status_kib(z->pid(), "VmRSS"));
    long peak_at_half = 0;
    for (int cycle = 1; cycle <= 2 * half; ++cycle) {
        Seen seen;
        if (!hold_cycle(env, *z, log.get(), id, kib, cycle, &seen)) {
            fprintf(stderr, "cycle %d did not end\n", cycle);
            return 1;
        }
        const long peak = zb::status_kib(z->pid(), "VmHWM");
        if (cycle == half) peak_at_half = peak;
        printf("  cycle %d: peak %ld KiB, resident %ld KiB; %zu KiB out, %zu records, %zu events\n",
               cycle, peak, zb::status_kib(z->pid(), "VmRSS"), seen.bytes / 1024, seen.records,
               seen.events);
        fflush(stdout);
    }
    const long peak = zb::status_kib(z->pid(), "VmHWM");
    zb::report(zb::format("peak memory, %d hold cycles of events and log", 2 * half),
               zb::format("%.2f MiB", peak / 1024.0), zb::format("%.2f MiB", idle_peak / 1024.0),
               zb::exact(static_cast<double>(peak) / static_cast<double>(idle_peak)), "no",
               "< 8 MiB", peak < 8 * 1024);
    zb::report(zb::format("peak memory after %d hold cycles against %d", 2 * half, half),
               zb::format("%.2f MiB", peak / 1024.0), zb::format("%.2f MiB", peak_at_half / 1024.0),
               zb::exact(static_cast<double>(peak) / static_cast<double>(peak_at_half)), "no",
               "<= 1.05x", peak * 100 <= peak_at_half * 105);
    return 0;
}
