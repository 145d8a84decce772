#include "test_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zt {

namespace {

bool is_request(const std::string& line) {
    return line.size() >= 3 && line[1] == ':' && line[2] == ' ' &&
           std::string_view("RCEDN").find(line[0]) != std::string_view::npos;
}

}  // namespace

TestPeer::TestPeer() {
    listener_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(listener_.get(), 8);
    socklen_t len = sizeof addr;
    getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
        wake_[0].reset(fds[0]);
        wake_[1].reset(fds[1]);
    }
    thread_ = std::thread([this] { serve(); });
}

TestPeer::~TestPeer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    (void)!::write(wake_[1].get(), "x", 1);
    thread_.join();
}

void TestPeer::set_answer(std::optional<std::string> answer) {
    std::lock_guard lock(mutex_);
    answer_ = std::move(answer);
}

std::vector<std::string> TestPeer::lines() {
    std::lock_guard lock(mutex_);
    return lines_;
}

bool TestPeer::wait_lines(size_t count, Millis timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return lines_.size() >= count; });
}

bool TestPeer::wait_connected(Millis timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return bool(conn_); });
}

void TestPeer::send(std::string_view bytes) {
    std::lock_guard lock(mutex_);
    if (conn_) (void)!::send(conn_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

void TestPeer::close_connection() {
    std::lock_guard lock(mutex_);
    if (conn_) shutdown(conn_.get(), SHUT_RDWR);
}

// Accepts one connection at a time and answers its requests line by line.
void TestPeer::serve() {
    std::string pending;
    for (;;) {
        pollfd fds[2] = {{wake_[0].get(), POLLIN, 0}, {-1, POLLIN, 0}};
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            fds[1].fd = conn_ ? conn_.get() : listener_.get();
        }
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[0].revents) return;
        std::lock_guard lock(mutex_);
        if (!conn_) {
            conn_.reset(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            int one = 1;
            setsockopt(conn_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            pending.clear();
            changed_.notify_all();
            continue;
        }
        char buf[4096];
        ssize_t n = recv(conn_.get(), buf, sizeof buf, 0);
        if (n <= 0) {
            conn_.reset();
            changed_.notify_all();
            continue;
        }
        pending.append(buf, static_cast<size_t>(n));
        size_t eol;
        while ((eol = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            if (is_request(line) && answer_) {
                std::string reply = *answer_ + "\n";
                (void)!::send(conn_.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
            }
            lines_.push_back(std::move(line));
        }
        changed_.notify_all();
    }
}

}  // namespace zt
