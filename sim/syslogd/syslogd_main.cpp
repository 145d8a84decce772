// syslogd: the system logger stand-in. Reads syslog() messages from Unix
// datagram sockets, appends each as a record to an optional log file, and
// sends it to every listener socket found at start and after each SIGHUP.
#include <errno.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <string>
#include <vector>

#include "listeners.h"
#include "syslog_record.h"
#include "unique_fd.h"

namespace {

struct Input {
    std::string path;
    UniqueFd fd;
};

struct Options {
    std::vector<std::string> sockets;
    std::string listeners = "/tmp/sysloglisteners/";
    const char* log_file = nullptr;
    const char* pid_file = nullptr;
};

// Fills addr for path; returns 0, or -1 when the path does not fit.
int make_address(const std::string& path, sockaddr_un* addr) {
    *addr = sockaddr_un{};
    addr->sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr->sun_path) return -1;
    memcpy(addr->sun_path, path.data(), path.size());
    return 0;
}

// Binds path as an input. A socket another logger still serves is left
// alone (returns 0); a stale one is replaced. Returns 1 when bound, -1 on
// an error (reported).
int bind_input(const std::string& path, Input* in) {
    sockaddr_un addr;
    if (make_address(path, &addr) < 0) {
        fprintf(stderr, "syslogd: socket path too long: %s\n", path.c_str());
        return -1;
    }
    UniqueFd probe(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (connect(probe.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        fprintf(stderr, "syslogd: %s belongs to another system logger; not reading it\n",
                path.c_str());
        return 0;
    }
    unlink(path.c_str());
    UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid() || bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 ||
        chmod(path.c_str(), 0666) < 0) {
        fprintf(stderr, "syslogd: cannot bind %s: %s\n", path.c_str(), strerror(errno));
        return -1;
    }
    in->path = path;
    in->fd = std::move(fd);
    return 1;
}

// Reads one datagram from the input and passes its record on.
void take_message(const Input& in, SyslogListeners* listeners, FILE* log) {
    std::array<char, 65536> buf;
    ssize_t n = recv(in.fd.get(), buf.data(), buf.size(), 0);
    if (n < 0) return;
    int priority;
    std::string_view text;
    syslog_parse(std::string_view(buf.data(), static_cast<size_t>(n)), &priority, &text);
    time_t now = time(nullptr);
    struct tm when {};
    localtime_r(&now, &when);
    std::string record = syslog_format_record(priority, text, when);
    if (log != nullptr) {
        fprintf(log, "%s\n", record.c_str());
        fflush(log);
    }
    listeners_send(listeners, record);
}

// Writes our pid to path; returns 0 or -1.
int write_pid_file(const char* path) {
    FILE* f = fopen(path, "w");
    if (f == nullptr) return -1;
    fprintf(f, "%ld\n", static_cast<long>(getpid()));
    return fclose(f) == 0 ? 0 : -1;
}

// Prints the options.
void usage(FILE* out) {
    fputs(
        "usage: syslogd [options]\n"
        "  --socket PATH     read messages from this Unix datagram socket (repeatable;\n"
        "                    default /dev/log, skipped when another logger owns it)\n"
        "  --listeners DIR   listener directory scanned at start and on SIGHUP\n"
        "                    (default /tmp/sysloglisteners/)\n"
        "  --log-file PATH   also append every record there\n"
        "  --pid-file PATH   write the process id there once serving\n"
        "  --help            this text\n",
        out);
}

// Reads the command line into o. Returns -1 to go on, else an exit status.
int parse_options(int argc, char** argv, Options* o) {
    static const option kLong[] = {
        {"socket", required_argument, nullptr, 's'},
        {"listeners", required_argument, nullptr, 'l'},
        {"log-file", required_argument, nullptr, 'f'},
        {"pid-file", required_argument, nullptr, 'p'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int opt;
    while ((opt = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
        switch (opt) {
            case 's':
                o->sockets.emplace_back(optarg);
                break;
            case 'l':
                o->listeners = optarg;
                break;
            case 'f':
                o->log_file = optarg;
                break;
            case 'p':
                o->pid_file = optarg;
                break;
            case 'h':
                usage(stdout);
                return 0;
            default:
                usage(stderr);
                return 2;
        }
    }
    if (optind < argc) {
        usage(stderr);
        return 2;
    }
    if (o->sockets.empty()) o->sockets.emplace_back("/dev/log");
    return -1;
}

// Serves until SIGTERM or SIGINT. Signals are read from a signalfd before
// any message in each round, so a listener that bound and then signalled
// sees every message sent after its signal.
void serve(int sigfd, std::vector<Input>& inputs, SyslogListeners* listeners, FILE* log) {
    std::vector<pollfd> fds(inputs.size() + 1);
    fds[0] = {sigfd, POLLIN, 0};
    for (size_t i = 0; i < inputs.size(); ++i)
        fds[i + 1] = {inputs[i].fd.get(), POLLIN, 0};
    for (;;) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            perror("syslogd: poll");
            return;
        }
        signalfd_siginfo info;
        while (read(sigfd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            if (info.ssi_signo != SIGHUP) return;
            listeners_rescan(listeners);
        }
        for (size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents & POLLIN) take_message(inputs[i - 1], listeners, log);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    int status = parse_options(argc, argv, &o);
    if (status >= 0) return status;

    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGHUP);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    UniqueFd sigfd(signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC));
    signal(SIGPIPE, SIG_IGN);

    SyslogListeners listeners;
    if (!sigfd.valid() || listeners_init(&listeners, o.listeners) < 0) {
        perror("syslogd");
        return 1;
    }
    std::vector<Input> inputs;
    for (const std::string& path : o.sockets) {
        Input in;
        int rc = bind_input(path, &in);
        if (rc < 0) return 1;
        if (rc > 0) inputs.push_back(std::move(in));
    }
    FILE* log = nullptr;
    if (o.log_file != nullptr && (log = fopen(o.log_file, "a")) == nullptr) {
        fprintf(stderr, "syslogd: cannot open %s: %s\n", o.log_file, strerror(errno));
        return 1;
    }
    listeners_rescan(&listeners);
    if (o.pid_file != nullptr && write_pid_file(o.pid_file) < 0) {
        fprintf(stderr, "syslogd: cannot write %s: %s\n", o.pid_file, strerror(errno));
        return 1;
    }

    serve(sigfd.get(), inputs, &listeners, log);

    for (const Input& in : inputs)
        unlink(in.path.c_str());
    if (o.pid_file != nullptr) unlink(o.pid_file);
    if (log != nullptr) fclose(log);
    return 0;
}
