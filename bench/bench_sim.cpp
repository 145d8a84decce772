// The simulator's cost per session: 200 sessions, each a TCP connection and
// a bound session socket as a shell has, register with appd and then run
// 20 commands that print one line each ("C: echo ..."). Reported per
// session: the memory appd has gained once they are done (Private, from
// smaps_rollup; sessions stay connected) and the CPU
// time it spends (schedstat). The baseline is a minimal select-based server
// doing the same protocol work; rounds alternate between the two.
//
//   bench_sim [rounds] [sessions] [commands-per-session]
#include <netinet/in.h>

#include <memory>

#include "bench_util.h"
#include "sim_env.h"

namespace {

using namespace zb;

struct Client {
    UniqueFd tcp;
    UniqueFd events;
    std::string path;
};

struct Cost {
    double memory_kib = -1;  // Private gained per session
    double cpu_us = -1;      // CPU per session: registration and all its commands
};

// Waits up to 5 s for fd to become readable.
bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 5000) == 1;
}

// Reads fd until a line feed arrives; false at end of input or after 5 s.
bool read_line(int fd) {
    char c;
    for (;;) {
        if (!readable(fd)) return false;
        ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (c == '\n') return true;
    }
}

// Connects `sessions` clients to the server on port and registers each.
std::vector<Client> open_sessions(int port, int sessions) {
    std::vector<Client> clients(static_cast<size_t>(sessions));
    for (int i = 0; i < sessions; ++i) {
        Client& c = clients[static_cast<size_t>(i)];
        c.path = format("/tmp/apiasynclisteners/sim%d", i);
        unlink(c.path.c_str());
        c.events.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un local{};
        local.sun_family = AF_UNIX;
        snprintf(local.sun_path, sizeof local.sun_path, "%s", c.path.c_str());
        bind(c.events.get(), reinterpret_cast<sockaddr*>(&local), sizeof local);
        c.tcp.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(c.tcp.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            !write_all(c.tcp.get(), "R: telnet " + c.path + "\n") || !read_line(c.tcp.get())) {
            fprintf(stderr, "session %d could not register\n", i);
            return {};
        }
    }
    return clients;
}

// Runs `commands` rounds of one printing command on every session. Returns
// false when an answer or an output line did not come.
bool run_commands(std::vector<Client>& clients, int commands) {
    char buf[256];
    for (int k = 0; k < commands; ++k) {
        for (Client& c : clients) {
            if (!write_all(c.tcp.get(), format("C: echo line %d\n", k))) return false;
        }
        for (Client& c : clients) {
            if (!read_line(c.tcp.get()) || !readable(c.events.get()) ||
                recv(c.events.get(), buf, sizeof buf, 0) <= 0) {
                return false;
            }
        }
    }
    return true;
}

// Measures one server process: the memory and CPU it spent on the sessions,
// from before they connect until they have run their commands.
Cost measure(pid_t server, int port, int sessions, int commands) {
    Cost cost;
    const Memory before = memory_of(server);
    const int64_t cpu_before = cpu_ns_of(server);
    std::vector<Client> clients = open_sessions(port, sessions);
    if (clients.empty()) return cost;
    if (!run_commands(clients, commands)) return cost;
    const int64_t cpu_after = cpu_ns_of(server);
    const Memory after = memory_of(server);
    cost.memory_kib = (after.private_kib - before.private_kib) / sessions;
    cost.cpu_us = static_cast<double>(cpu_after - cpu_before) / 1000.0 / sessions;
    return cost;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    const int sessions = argc > 2 ? std::clamp(atoi(argv[2]), 1, 400) : 200;
    const int commands = argc > 3 ? std::max(1, atoi(argv[3])) : 20;
    const int cpu = pin_to_one_cpu();
    signal(SIGPIPE, SIG_IGN);
    zt::SimEnv env;
    printf("machine at start: %s\n", machine_state().c_str());

    std::vector<double> appd_mem, base_mem, appd_cpu, base_cpu, mem_ratio, cpu_ratio;
    for (int r = 0; r < rounds; ++r) {
        Cost a, b;
        for (int leg = 0; leg < 2; ++leg) {
            // Alternate which goes first, so that neither always runs warm.
            if ((leg == 0) == (r % 2 == 0)) {
                env.start_appd();
                a = measure(env.appd()->pid(), 4121, sessions, commands);
                env.stop_appd();
            } else {
                auto minimal = std::make_unique<MiniServer>(4122, true);
                b = measure(minimal->pid(), 4122, sessions, commands);
            }
        }
        if (a.cpu_us < 0 || b.cpu_us < 0) return 1;
        appd_mem.push_back(a.memory_kib);
        base_mem.push_back(b.memory_kib);
        appd_cpu.push_back(a.cpu_us);
        base_cpu.push_back(b.cpu_us);
        mem_ratio.push_back(a.memory_kib / b.memory_kib);
        cpu_ratio.push_back(a.cpu_us / b.cpu_us);
    }
    printf("simulator with %d sessions, %d commands each, CPU %d, %d rounds, medians\n", sessions,
           commands, cpu, rounds);
    printf("  appd: %.1f KiB and %.0f us CPU per session; baseline: %.1f KiB and %.0f us\n",
           median(appd_mem), median(appd_cpu), median(base_mem), median(base_cpu));
    report(format("simulator CPU per session (%d sessions)", sessions),
           format("%.0f us", median(appd_cpu)), format("%.0f us", median(base_cpu)),
           spread_of(cpu_ratio), pinning(cpu), "report", true);
    report(format("simulator memory per session (%d sessions)", sessions),
           format("%.1f KiB", median(appd_mem)), format("%.1f KiB", median(base_mem)),
           spread_of(mem_ratio), pinning(cpu), "report", true);
    return 0;
}
