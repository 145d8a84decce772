// Test helpers for the simulator tests.
#include "sim_test_util.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline, never below 0.
int remaining_ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Fills a Unix address; false when the path does not fit.
bool unix_address(const std::string& path, sockaddr_un* addr) {
    *addr = sockaddr_un{};
    addr->sun_family = AF_UNIX;
    if (path.size() >= sizeof addr->sun_path) return false;
    memcpy(addr->sun_path, path.data(), path.size());
    return true;
}

}  // namespace

bool wait_readable(int fd, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int rc = poll(&p, 1, remaining_ms(deadline));
        if (rc > 0) return true;
        if (rc == 0 || errno != EINTR) return false;
    }
}

int LineReader::read_line(std::string* line, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        size_t lf = buf_.find('\n');
        if (lf != std::string::npos) {
            line->assign(buf_, 0, lf);
            buf_.erase(0, lf + 1);
            return 1;
        }
        if (!wait_readable(fd_, remaining_ms(deadline))) return -1;
        char chunk[4096];
        ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) return 0;  // reset: closed with unread data
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return -1;
        }
        buf_.append(chunk, static_cast<size_t>(n));
    }
}

int tcp_connect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

int unix_stream_connect(const std::string& path) {
    sockaddr_un addr;
    if (!unix_address(path, &addr)) return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

int bind_dgram(const std::string& path) {
    sockaddr_un addr;
    if (!unix_address(path, &addr)) return -1;
    unlink(path.c_str());
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

bool send_dgram_to(const std::string& path, std::string_view bytes) {
    sockaddr_un addr;
    if (!unix_address(path, &addr)) return false;
    UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    return sendto(fd.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&addr),
                  sizeof addr) == static_cast<ssize_t>(bytes.size());
}

bool recv_dgram(int fd, std::string* out, int timeout_ms) {
    if (timeout_ms > 0 && !wait_readable(fd, timeout_ms)) return false;
    char buf[65536];
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0) return false;
    out->assign(buf, static_cast<size_t>(n));
    return true;
}

bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::vector<std::string> split_lines(std::string_view text) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        size_t lf = text.find('\n');
        lines.emplace_back(text.substr(0, lf));
        if (lf == std::string_view::npos) break;
        text.remove_prefix(lf + 1);
    }
    return lines;
}

std::string bin_dir() {
    const char* dir = getenv("ZCON_BIN_DIR");
    if (dir != nullptr) return dir;
    // Run by hand: test programs live in tests/, beside the build's bin/.
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return "bin";
    std::string path(exe, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/')) + "/../bin";
}

Child spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
    Child child;
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) < 0) return child;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_fds[1], 1);
        dup2(pipe_fds[1], 2);
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        for (auto& [name, value] : env)
            setenv(name.c_str(), value.c_str(), 1);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    child.output.reset(pipe_fds[0]);
    child.pid = pid;
    return child;
}

int wait_exit(pid_t pid, int timeout_ms) {
    int status = 0;
    bool ended = wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms);
    if (!ended) return -1;
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

std::string read_all(int fd, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string out;
    char buf[4096];
    while (wait_readable(fd, remaining_ms(deadline))) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

std::string run_shell(const std::string& command, int* status) {
    Child child = spawn({"/bin/sh", "-c", command});
    std::string out = read_all(child.output.get());
    *status = wait_exit(child.pid);
    return out;
}
