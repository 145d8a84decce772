// The baselines of the whole-program benchmarks: the least a program must do
// to play the shell's part in each measurement, run on a pseudo-terminal the
// same way as zcon. Not a benchmark itself; the drivers start it.
//
//   bench_baseline relay SOCKET    receive datagrams, write each line to the terminal
//   bench_baseline echo SOCKET     echo keystrokes; hold what arrives on SOCKET
//   bench_baseline startup SOCKET  character mode, connect, register, echo one key
//   bench_baseline idle SOCKET LOGSOCKET
//                                  a registered session's threads and buffers, idle
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <semaphore.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/un.h>
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

// The least start-up: character mode, connect, register, read the answer,
// then echo keys. Returns at end of input, 1 when no answer came.
int startup(const char* path) {
    character_mode();
    int app = connect_application();
    send_registration(app, path);
    char answer[64];
    if (read(app, answer, sizeof answer) <= 0) return 1;
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
    if (mode == "startup" && argc == 3) return startup(argv[2]);
    if (mode == "idle" && argc == 4) return idle(argv[2], argv[3]);
    fprintf(stderr, "usage: bench_baseline relay|echo|startup SOCKET | idle SOCKET LOGSOCKET\n");
    return 2;
}
