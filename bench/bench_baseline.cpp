// The baselines of the whole-program benchmarks: the least a program must do
// to play the shell's part in each measurement, run on a pseudo-terminal the
// same way as zcon. Not a benchmark itself; the drivers start it.
//
//   bench_baseline relay SOCKET    receive datagrams, write each line to the terminal
//   bench_baseline echo SOCKET     echo keystrokes; hold what arrives on SOCKET
//   bench_baseline forward         echo keys, send each line as one request, await its answer
//   bench_baseline startup SOCKET [TOOL]
//                                  character mode, connect, register, echo one key; with
//                                  the password tool, also the outside work of a telnet
//                                  session's start
//   bench_baseline idle SOCKET LOGSOCKET
//                                  a registered session's threads and buffers, idle
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <semaphore.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace {

// Character mode without driver echo, as the line editor sets it.
void character_mode() {
    termios mode{};
    tcgetattr(0, &mode);
    mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ISIG | ECHO | ECHONL);
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    tcsetattr(0, TCSANOW, &mode);
}

// Binds a datagram socket at path. Returns it, or exits.
int bind_datagram(const char* path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
    unlink(path);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        perror("bind");
        exit(1);
    }
    return fd;
}

// Connects to the application at 127.0.0.1:4121. Returns the socket, or exits.
int connect_application() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(4121);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        perror("connect");
        exit(1);
    }
    return fd;
}

// Sends the registration line for socket path on fd.
void send_registration(int fd, const char* path) {
    std::string line = std::string("R: telnet ") + path + "\n";
    (void)!write(fd, line.data(), line.size());
}

// Echoes one byte from standard input to standard output, waiting with
// select as a plain event loop would. Returns false at end of input.
bool echo_one() {
    fd_set in;
    FD_ZERO(&in);
    FD_SET(0, &in);
    if (select(1, &in, nullptr, nullptr, nullptr) < 0) return errno == EINTR;
    char c;
    if (read(0, &c, 1) != 1) return false;
    return write(1, &c, 1) == 1;
}

// Relays every line of every datagram to the terminal, one write per line.
int relay(const char* path) {
    int fd = bind_datagram(path);
    (void)!write(1, "ready\n", 6);
    static std::array<char, 65536> buffer;
    for (;;) {
        ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 1;
        const char* p = buffer.data();
        const char* end = p + n;
        while (p < end) {
            const auto* eol =
                static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
            const char* stop = eol != nullptr ? eol + 1 : end;
            if (write(1, p, static_cast<size_t>(stop - p)) < 0) return 1;
            p = stop;
        }
    }
}

// Keeps what arrives on fd, as a session holds output while the user types;
// starts over past 4 MiB so a long run cannot exhaust memory.
void hold_events(int fd) {
    std::string held;
    std::array<char, 65536> buffer;
    for (;;) {
        ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        if (held.size() > (4u << 20)) held.clear();
        held.append(buffer.data(), static_cast<size_t>(n));
    }
}

// Echoes keystrokes while a second thread holds what arrives on path.
// Returns at end of input.
int echo(const char* path) {
    character_mode();
    int fd = bind_datagram(path);
    std::thread(hold_events, fd).detach();
    while (echo_one()) {
    }
    return 0;
}

// Reads from fd until a line feed has come. Returns false at end of input.
bool await_answer(int fd) {
    char answer[256];
    for (;;) {
        ssize_t n = read(fd, answer, sizeof answer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (memchr(answer, '\n', static_cast<size_t>(n)) != nullptr) return true;
    }
}

// The least a shell does for a forwarded command: it reads what is typed
// (in one read where it can), echoes it, and at the line end echoes the
// line break, sends the line to the application as one request and waits
// for the answer before it reads on. Returns at end of input.
int forward() {
    character_mode();
    int app = connect_application();
    std::string request = "C: ";
    char typed[256];
    for (;;) {
        ssize_t n = read(0, typed, sizeof typed);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        const char* run = typed;  // plain keys not yet echoed
        for (const char* c = typed; c < typed + n; ++c) {
            if (*c != '\r' && *c != '\n') {
                request += *c;
                continue;
            }
            if (c > run) (void)!write(1, run, static_cast<size_t>(c - run));
            run = c + 1;
            (void)!write(1, "\r\n", 2);
            request += '\n';
            if (write(app, request.data(), request.size()) < 0 || !await_answer(app)) return 1;
            request = "C: ";
        }
        if (typed + n > run) (void)!write(1, run, static_cast<size_t>(typed + n - run));
    }
}

// Runs the password tool as a shell must on every start: started directly,
// its first output line read through a pipe, then waited for.
void run_password_tool(const char* tool) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::string words[] = {tool, "config", "sw", "0"};
    char* args[] = {words[0].data(), words[1].data(), words[2].data(), words[3].data(), nullptr};
    pid_t child;
    const int started = posix_spawn(&child, tool, &actions, nullptr, args, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    char line[128];
    if (started == 0) {
        ssize_t n;
        while ((n = read(out[0], line, sizeof line)) > 0 &&
               memchr(line, '\n', static_cast<size_t>(n)) == nullptr) {
        }
        waitpid(child, nullptr, 0);
    }
    close(out[0]);
}

// Finds syslogd by name in the process table, binds a log listener socket
// and tells syslogd to look for it, as a telnet session's log viewer must.
void register_log_listener() {
    int pid = -1;
    if (DIR* proc = opendir("/proc")) {
        while (const dirent* entry = readdir(proc)) {
            if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
            char path[300], name[64] = "";
            snprintf(path, sizeof path, "/proc/%s/comm", entry->d_name);
            if (FILE* comm = fopen(path, "r")) {
                if (fgets(name, sizeof name, comm) == nullptr) name[0] = '\0';
                fclose(comm);
            }
            if (strcmp(name, "syslogd\n") == 0) {
                pid = atoi(entry->d_name);
                break;
            }
        }
        closedir(proc);
    }
    mkdir("/tmp/sysloglisteners", 0777);
    bind_datagram("/tmp/sysloglisteners/b-steps");
    if (pid > 0) kill(pid, SIGHUP);
}

// Connects to the application, its name looked up as a shell must.
int connect_by_name() {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo("localhost", nullptr, &hints, &found) != 0 || found == nullptr) exit(1);
    freeaddrinfo(found);
    return connect_application();
}

// Looks the telnet client's connection (local port 23, established) up in
// the kernel's TCP table, as the login report needs its address.
void find_telnet_client() {
    FILE* table = fopen("/proc/net/tcp6", "r");
    if (table == nullptr) return;
    char line[256];
    while (fgets(line, sizeof line, table) != nullptr) {
        unsigned local_port = 0, state = 0;
        if (sscanf(line, "%*s %*32s:%x %*s %x", &local_port, &state) == 2 && local_port == 23 &&
            state == 1) {
            break;
        }
    }
    fclose(table);
}

// The least start-up: character mode, connect, register, read the answer,
// then echo keys. Given the password tool, it also does the outside work
// every telnet session's start has, in the shell's order: the tool's run,
// the log listener made known to syslogd, the application's name looked up,
// and after the registration the client's address found and the two
// login-report requests, each answered before the next. Returns at end of
// input, 1 when an answer did not come.
int startup(const char* path, const char* tool) {
    character_mode();
    const bool outside_steps = tool != nullptr;
    if (outside_steps) {
        run_password_tool(tool);
        register_log_listener();
    }
    int app = outside_steps ? connect_by_name() : connect_application();
    send_registration(app, path);
    if (!await_answer(app)) return 1;
    if (outside_steps) {
        find_telnet_client();
        for (const char* request :
             {"E: execwithoutecho systemsetting telnet_client_23 127.0.0.1\n",
              "E: execwithoutecho systemsetting telnet_client_23_success True\n"}) {
            (void)!write(app, request, strlen(request));
            if (!await_answer(app)) return 1;
        }
    }
    echo_one();
    while (echo_one()) {
    }
    return 0;
}

// The idle session: a reader of the application's answers with heap
// buffers, an event reader and a log reader with stack buffers, and the
// buffered output stream, all as large as the shell's.
int idle(const char* path, const char* log_path) {
    character_mode();
    static sem_t answered;
    sem_init(&answered, 0, 0);
    FILE* out_stream = nullptr;
    char* out_buffer = nullptr;
    size_t out_size = 0;
    out_stream = open_memstream(&out_buffer, &out_size);
    int app = connect_application();
    auto buffers = std::make_unique<std::array<char, 32768 + 16384 + 2>>();
    std::thread answers([&] {
        while (recv(app, buffers->data(), 32768, 0) > 0)
            sem_post(&answered);
    });
    int events_fd = bind_datagram(path);
    std::thread events([events_fd] {
        std::array<char, 32768 + 1> buffer;
        std::array<char, 16384 + 1> line;
        buffer[0] = line[0] = '\0';
        while (recv(events_fd, buffer.data(), buffer.size() - 1, 0) > 0) {
        }
    });
    int log_fd = bind_datagram(log_path);
    std::thread logs([log_fd] {
        std::array<char, 1025> record, shaped;
        record[0] = shaped[0] = '\0';
        for (;;) {
            pollfd p{log_fd, POLLIN, 0};
            if (poll(&p, 1, -1) < 0 || recv(log_fd, record.data(), 1024, 0) <= 0) return;
        }
    });
    send_registration(app, path);
    sem_wait(&answered);
    fputs("ready\n", out_stream);
    fflush(out_stream);
    (void)!write(1, out_buffer, out_size);
    while (echo_one()) {
    }
    _exit(0);  // the readers stay blocked; nothing to join
}

}  // namespace

// Runs the mode named by the first argument; 2 for a usage error.
int main(int argc, char** argv) {
    std::string_view mode = argc > 1 ? argv[1] : "";
    if (mode == "relay" && argc == 3) return relay(argv[2]);
    if (mode == "echo" && argc == 3) return echo(argv[2]);
    if (mode == "forward" && argc == 2) return forward();
    if (mode == "startup" && (argc == 3 || argc == 4)) {
        return startup(argv[2], argc == 4 ? argv[3] : nullptr);
    }
    if (mode == "idle" && argc == 4) return idle(argv[2], argv[3]);
    fprintf(
        stderr,
        "usage: bench_baseline relay|echo SOCKET | startup SOCKET [TOOL] | forward | idle SOCKET "
        "LOGSOCKET\n");
    return 2;
}
