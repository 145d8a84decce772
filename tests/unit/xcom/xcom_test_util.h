// Helpers for the xcom tests: owned descriptors, socket pairs, a loopback
// listener and waits that end at a deadline instead of sleeping.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>
#include <utility>

namespace xcom_test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Owns one descriptor and closes it.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

// A connected pair of Unix sockets of the given type (SOCK_STREAM, SOCK_DGRAM).
inline std::pair<Fd, Fd> unix_pair(int type) {
    int fds[2] = {-1, -1};
    socketpair(AF_UNIX, type, 0, fds);
    return {Fd(fds[0]), Fd(fds[1])};
}

// Waits until fd is readable; returns false when limit passes first.
inline bool wait_readable(int fd, milliseconds limit) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, static_cast<int>(limit.count())) == 1;
}

// Writes all of data to a blocking descriptor.
inline void write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t sent = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (sent <= 0) return;
        data.remove_prefix(static_cast<size_t>(sent));
    }
}

// Reads until the peer closes or limit passes; returns what arrived.
inline std::string read_until_closed(int fd, milliseconds limit) {
    std::string received;
    const auto deadline = Clock::now() + limit;
    char chunk[4096];
    while (Clock::now() < deadline) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (!wait_readable(fd, left)) break;
        const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) break;
        received.append(chunk, static_cast<size_t>(got));
    }
    return received;
}

// A TCP listener on 127.0.0.1 with a port of the kernel's choice.
class Listener {
  public:
    explicit Listener(int backlog = 8) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(fd_.get(), backlog);
        socklen_t size = sizeof address;
        getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
    }
    int fd() const { return fd_.get(); }
    int port() const { return port_; }
    // Accepts one connection; an invalid Fd when none came within limit.
    Fd accept_within(milliseconds limit = 5000ms) const {
        if (!wait_readable(fd_.get(), limit)) return Fd();
        return Fd(accept(fd_.get(), nullptr, nullptr));
    }
    // Opens a plain blocking client connection to this listener.
    Fd connect_client() const {
        Fd client(socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port_));
        connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        return client;
    }

  private:
    Fd fd_;
    int port_ = 0;
};

// Number of descriptors this process has open.
inline int open_fd_count() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr)
            ++count;
        closedir(dir);
    }
    return count;
}

}  // namespace xcom_test
