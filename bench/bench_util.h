// Helpers shared by the benchmark drivers: clock and statistics, CPU
// pinning, the result rows that scripts/bench gathers into one table, a
// minimal select-based application server, programs on pseudo-terminals and
// memory figures from /proc.
//
// Every figure is a ratio to a baseline measured in the same run: the
// machine is shared and noisy, so drivers interleave repetitions of the
// measured program and its baseline, report the median of the per-round
// ratios with its 95% confidence interval (the spread), and run more rounds
// while that interval is wider than the goal's margin.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sim_env.h"
#include "test_util.h"

namespace zb {

using Clock = std::chrono::steady_clock;
using zt::UniqueFd;

// Monotonic clock in nanoseconds; the same clock in every process.
inline int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Returns the q-quantile (0..1, nearest rank) of samples; 0 for none.
inline double quantile(std::vector<double> samples, double q) {
    if (samples.empty()) return 0;
    auto rank = static_cast<size_t>(q * static_cast<double>(samples.size() - 1) + 0.5);
    std::nth_element(samples.begin(), samples.begin() + static_cast<long>(rank), samples.end());
    return samples[rank];
}

// Returns the median of samples.
inline double median(std::vector<double> samples) {
    return quantile(std::move(samples), 0.5);
}

// The median of per-round ratios and its distribution-free 95% confidence
// interval: the order statistics that bracket the median in 95% of repeated
// runs (for few rounds, the whole range).
struct Spread {
    double median = 0;
    double low = 0;
    double high = 0;
    size_t rounds = 0;
    double width() const { return high - low; }
};

inline Spread spread_of(std::vector<double> ratios) {
    Spread s;
    s.rounds = ratios.size();
    if (ratios.empty()) return s;
    std::sort(ratios.begin(), ratios.end());
    const double n = static_cast<double>(ratios.size());
    const double half = 0.98 * std::sqrt(n);  // 1.96 standard deviations of a binomial count / 2
    const long low = std::max(0L, static_cast<long>(std::floor(n / 2 - half)) - 1);
    const long high =
        std::min(static_cast<long>(n) - 1, static_cast<long>(std::ceil(n / 2 + half)));
    s.median = quantile(ratios, 0.5);
    s.low = ratios[static_cast<size_t>(low)];
    s.high = ratios[static_cast<size_t>(high)];
    return s;
}

// An exact figure: one value, no spread.
inline Spread exact(double ratio) {
    return Spread{ratio, ratio, ratio, 1};
}

// Runs round(r) (which appends one ratio to each watched series, or returns
// false on a failure) at least min_rounds times, then more while the
// median's interval of any watched series is wider than margin, up to
// max_rounds. Returns false on a failed round.
template <typename Round>
bool gather(std::initializer_list<const std::vector<double>*> watched, int min_rounds,
            int max_rounds, double margin, Round round) {
    const auto tight = [&] {
        return std::all_of(watched.begin(), watched.end(), [&](const auto* series) {
            return spread_of(*series).width() <= margin;
        });
    };
    for (int r = 0; r < max_rounds; ++r) {
        if (r >= min_rounds && tight()) break;
        if (!round(r)) return false;
    }
    return true;
}

// Restricts the calling thread, and everything it starts later, to one CPU:
// `which` when it is allowed, else the last allowed one. Returns the CPU.
inline int pin_to_one_cpu(int which = -1) {
    cpu_set_t set;
    CPU_ZERO(&set);
    sched_getaffinity(0, sizeof set, &set);
    int cpu = -1;
    for (int i = 0; i < CPU_SETSIZE; ++i) {
        if (CPU_ISSET(i, &set)) cpu = i;
    }
    if (which >= 0 && which < CPU_SETSIZE && CPU_ISSET(which, &set)) cpu = which;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
    return cpu;
}

// The machine's state, as recorded with every table: CPUs online, those
// this process may use, and the load averages.
inline std::string machine_state() {
    cpu_set_t set;
    CPU_ZERO(&set);
    sched_getaffinity(0, sizeof set, &set);
    double load[3] = {0, 0, 0};
    FILE* f = fopen("/proc/loadavg", "r");
    if (f != nullptr) {
        if (fscanf(f, "%lf %lf %lf", &load[0], &load[1], &load[2]) != 3) load[0] = -1;
        fclose(f);
    }
    char text[128];
    snprintf(text, sizeof text, "%ld CPUs online, %d allowed, load %.2f %.2f %.2f",
             sysconf(_SC_NPROCESSORS_ONLN), CPU_COUNT(&set), load[0], load[1], load[2]);
    return text;
}

// How a benchmark ran: "CPU n" when pinned to one, else "no".
inline std::string pinning(int cpu) {
    return cpu >= 0 ? "CPU " + std::to_string(cpu) : "no";
}

// Prints one row of the summary table, tab-separated behind "RESULT":
// figure, value, baseline, ratio, its spread (the median's 95% interval)
// with the rounds behind it, pinning, goal and whether the goal is met.
inline void report(const std::string& figure, const std::string& value, const std::string& baseline,
                   const Spread& ratio, const std::string& pinned, const std::string& goal,
                   bool met) {
    printf("RESULT\t%s\t%s\t%s\t%.2fx\t%.2f-%.2f\t%zu\t%s\t%s\t%s\n", figure.c_str(), value.c_str(),
           baseline.c_str(), ratio.median, ratio.low, ratio.high, ratio.rounds, pinned.c_str(),
           goal.c_str(), met ? "yes" : "NO");
    fflush(stdout);
}

// printf into a std::string.
[[gnu::format(printf, 1, 2)]] inline std::string format(const char* fmt, ...) {
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    return text;
}

// Path of a benchmark program beside the running one.
inline std::string sibling_path(std::string_view program) {
    char self[512];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string("./x");
    return dir.substr(0, dir.rfind('/') + 1) + std::string(program);
}

// ---- Pseudo-terminals --------------------------------------------------------

// A program on a fresh pseudo-terminal with echo and output processing off,
// so the driver reads exactly the bytes the program writes.
struct PtyChild {
    pid_t pid = -1;
    UniqueFd master;
    std::string tty;  // e.g. /dev/pts/3

    PtyChild() = default;
    PtyChild(PtyChild&& other) noexcept { *this = std::move(other); }
    PtyChild& operator=(PtyChild&& other) noexcept {
        stop();
        pid = std::exchange(other.pid, -1);
        master = std::move(other.master);
        tty = std::move(other.tty);
        return *this;
    }
    ~PtyChild() { stop(); }
    // Hangs up the terminal, which ends the program the normal way (so a
    // profiler around it can write its data); SIGKILL if it lingers.
    // Reaps it.
    void stop() {
        master.reset();
        if (pid > 0 && !zt::wait_until([&] { return waitpid(pid, nullptr, WNOHANG) == pid; },
                                       zt::Millis(2000))) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
};

// Starts argv on a new 80x24 terminal. When exec_ns is given, the child
// stores the clock there just before it calls exec.
inline PtyChild spawn_on_pty(const std::vector<std::string>& argv,
                             std::atomic<int64_t>* exec_ns = nullptr) {
    PtyChild child;
    termios mode{};
    cfmakeraw(&mode);
    // A fresh terminal, minus its echo: typed CR arrives as LF in line mode,
    // and written LF leaves as CR LF.
    mode.c_iflag |= ICRNL;
    mode.c_oflag |= OPOST | ONLCR;
    mode.c_lflag |= ICANON | ISIG;
    mode.c_cflag |= CS8 | CREAD;
    mode.c_cc[VMIN] = 1;
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 80;
    int master = -1;
    char name[64] = "";
    std::vector<char*> args;
    for (const auto& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    child.pid = forkpty(&master, name, &mode, &size);
    if (child.pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        if (exec_ns != nullptr) exec_ns->store(now_ns());
        execv(args[0], args.data());
        _exit(127);
    }
    child.master.reset(master);
    child.tty = name;
    return child;
}

// Writes all of bytes to fd.
inline bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Reads from fd (with select, as the baselines do) until a byte equal to
// `want` arrives; false at end of input or after 5 s.
inline bool read_until_byte(int fd, char want) {
    const int64_t deadline = now_ns() + 5000000000LL;
    char buf[4096];
    for (;;) {
        fd_set in;
        FD_ZERO(&in);
        FD_SET(fd, &in);
        const int64_t left = deadline - now_ns();
        if (left <= 0) return false;
        timeval tv{static_cast<time_t>(left / 1000000000),
                   static_cast<suseconds_t>(left % 1000000000 / 1000)};
        int ready = select(fd + 1, &in, nullptr, nullptr, &tv);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        if (memchr(buf, want, static_cast<size_t>(n)) != nullptr) return true;
    }
}

// Reads from fd until the text seen so far contains `want`; false after 5 s.
inline bool read_until_text(int fd, std::string_view want) {
    const int64_t deadline = now_ns() + 5000000000LL;
    std::string seen;
    char buf[4096];
    while (seen.find(want) == std::string::npos) {
        const int64_t left = deadline - now_ns();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left / 1000000) + 1) <= 0) return false;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        seen.append(buf, static_cast<size_t>(n));
    }
    return true;
}

// The session socket a shell on terminal tty registers.
inline std::string session_socket(const std::string& tty) {
    return "/tmp/apiasynclisteners/zcon" + tty.substr(tty.rfind('/') + 1);
}

// ---- Memory figures ----------------------------------------------------------

struct Memory {
    double private_kib = 0;  // Private_Clean + Private_Dirty
    double pss_kib = 0;
    double rss_kib = 0;
};

// A field of /proc/<pid>/status in KiB, or -1.
inline long status_kib(pid_t pid, const char* field) {
    const std::string text = zt::read_file("/proc/" + std::to_string(pid) + "/status");
    const size_t at = text.find(std::string("\n") + field + ":");
    return at == std::string::npos ? -1 : atol(text.c_str() + at + strlen(field) + 2);
}

// A registered telnet session beside appd and syslogd, and its id in appd,
// or a null session (after a message) when it did not come up.
inline std::unique_ptr<zt::PtyProcess> telnet_session(zt::SimEnv& env, std::string* id) {
    env.start_appd();
    env.start_syslogd();
    auto z = env.registered_zcon({});
    const auto sessions = env.control("sessions");
    if (sessions.size() != 1 || !z->expect("Session type: telnet\r\n")) {
        fprintf(stderr, "zcon did not come up\n");
        return nullptr;
    }
    *id = sessions[0].substr(0, sessions[0].find(' '));
    return z;
}

// Reads /proc/<pid>/smaps_rollup.
inline Memory memory_of(pid_t pid) {
    Memory m;
    std::string text = zt::read_file("/proc/" + std::to_string(pid) + "/smaps_rollup");
    auto field = [&](const char* name) {
        size_t at = text.find(std::string("\n") + name + ":");
        return at == std::string::npos ? 0.0 : atof(text.c_str() + at + strlen(name) + 2);
    };
    m.private_kib = field("Private_Clean") + field("Private_Dirty");
    m.pss_kib = field("Pss");
    m.rss_kib = field("Rss");
    return m;
}

// CPU time the process has used so far, in nanoseconds, summed over all its
// threads (a process's own schedstat counts its first thread only).
inline int64_t cpu_ns_of(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    int64_t total = 0;
    if (DIR* tasks = opendir(dir.c_str())) {
        while (const dirent* task = readdir(tasks)) {
            if (task->d_name[0] == '.') continue;
            const std::string text = zt::read_file(dir + "/" + task->d_name + "/schedstat");
            total += atoll(text.c_str());
        }
        closedir(tasks);
    }
    return total;
}

// ---- A minimal application server ---------------------------------------------

// What the server saw, in memory shared with the driver.
struct ServerLog {
    std::atomic<int> connections{0};
    std::atomic<int> registrations{0};
    std::atomic<int> lines{0};
    std::atomic<int> split_lines{0};  // requests whose bytes came in more than one read
    std::atomic<int64_t> last_accept_ns{0};
    std::atomic<int64_t> last_registration_ns{0};
    std::atomic<int64_t> last_line_ns{0};
};

// The least an application can be: a select loop on 127.0.0.1:port that
// answers "R: 0" to every request line at once ("U" gets no answer). With
// `echo_output`, a registered session's "C: echo TEXT" first gets TEXT as
// one datagram on its socket, as the application prints a command's output.
// Runs in a child process, so its cost can be read from /proc.
class MiniServer {
  public:
    explicit MiniServer(int port = 4121, bool echo_output = false) {
        void* shared = mmap(nullptr, sizeof(ServerLog), PROT_READ | PROT_WRITE,
                            MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        log_ = new (shared) ServerLog;
        UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        int on = 1;
        setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener.get(), 512) != 0) {
            perror("bench server");
            exit(1);
        }
        pid_ = fork();
        if (pid_ == 0) {
            serve(listener.get(), echo_output);
            _exit(0);
        }
    }
    ~MiniServer() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        munmap(log_, sizeof(ServerLog));
    }
    MiniServer(const MiniServer&) = delete;
    MiniServer& operator=(const MiniServer&) = delete;

    pid_t pid() const { return pid_; }
    ServerLog& log() { return *log_; }

  private:
    struct Client {
        int fd = -1;
        UniqueFd output;  // the registered session socket, when echo_output is on
        std::string in;
        bool partial = false;  // bytes of an unfinished line are waiting
    };

    // Answers one received line of client c.
    void handle_line(Client& c, std::string_view line, bool echo_output) {
        log_->lines.fetch_add(1);
        log_->last_line_ns.store(now_ns());
        if (line.size() < 2 || line[1] != ':' || strchr("RCEDN", line[0]) == nullptr) return;
        if (line[0] == 'R') {
            log_->registrations.fetch_add(1);
            log_->last_registration_ns.store(now_ns());
            if (echo_output) connect_output(c, line);
        }
        if (echo_output && c.output && line.substr(1, 7) == ": echo ") {
            std::string text(line.substr(8));
            text += '\n';
            while (send(c.output.get(), text.data(), text.size(), 0) < 0 && errno == EINTR) {
            }
        }
        static constexpr char answer[] = "R: 0\n";
        (void)!write(c.fd, answer, sizeof answer - 1);
    }

    // Connects a datagram socket to the path named by "R: <type> <path>".
    static void connect_output(Client& c, std::string_view line) {
        size_t space = line.rfind(' ');
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::string path(line.substr(space + 1));
        snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        c.output.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        connect(c.output.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }

    // Reads what client c sent and answers its complete lines. Returns false
    // when the client has gone.
    bool serve_client(Client& c, bool echo_output) {
        char buf[16384];
        ssize_t n = read(c.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) return true;
        if (n <= 0) return false;
        const bool was_partial = c.partial;
        c.in.append(buf, static_cast<size_t>(n));
        size_t start = 0, end;
        bool first = true;
        while ((end = c.in.find('\n', start)) != std::string::npos) {
            if (first && was_partial) log_->split_lines.fetch_add(1);
            first = false;
            std::string_view line(c.in.data() + start, end - start);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            if (!line.empty()) handle_line(c, line, echo_output);
            start = end + 1;
        }
        c.in.erase(0, start);
        c.partial = !c.in.empty();
        return true;
    }

    // The server's loop: accepts clients and answers their lines, forever.
    [[noreturn]] void serve(int listener, bool echo_output) {
        std::vector<Client> clients;
        clients.reserve(1024);
        for (;;) {
            fd_set in;
            FD_ZERO(&in);
            FD_SET(listener, &in);
            int top = listener;
            for (const Client& c : clients) {
                FD_SET(c.fd, &in);
                top = std::max(top, c.fd);
            }
            if (select(top + 1, &in, nullptr, nullptr, nullptr) < 0) continue;
            if (FD_ISSET(listener, &in)) {
                int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0 && fd < FD_SETSIZE) {
                    clients.push_back(Client{fd, UniqueFd(), {}, false});
                    log_->connections.fetch_add(1);
                    log_->last_accept_ns.store(now_ns());
                } else if (fd >= 0) {
                    close(fd);
                }
            }
            for (size_t i = 0; i < clients.size();) {
                if (FD_ISSET(clients[i].fd, &in) && !serve_client(clients[i], echo_output)) {
                    close(clients[i].fd);
                    clients.erase(clients.begin() + static_cast<long>(i));
                } else {
                    ++i;
                }
            }
        }
    }

    pid_t pid_ = -1;
    ServerLog* log_ = nullptr;
};

// Waits until cond holds, re-testing it every millisecond; false after timeout.
template <typename Cond>
bool wait_for(Cond cond, int timeout_ms = 5000) {
    return zt::wait_until([&] { return cond(); }, zt::Millis(timeout_ms));
}

}  // namespace zb
