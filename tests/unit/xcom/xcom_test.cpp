// The XCOM library: line framing over stream and datagram sockets, the
// 10-second limits (through the wait's seam), the exact warnings, and the
// client's connection over loopback TCP.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "libxcom.h"
#include "seams.h"
#include "test_util.h"
#include "xcom.h"

namespace {

using namespace zt;

std::pair<UniqueFd, UniqueFd> unix_pair(int type) {
    int fds[2] = {-1, -1};
    socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fds);
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

void write_all(int fd, std::string_view data) {
    for (ssize_t n; !data.empty(); data.remove_prefix(static_cast<size_t>(n)))
        if ((n = send(fd, data.data(), data.size(), MSG_NOSIGNAL)) <= 0) return;
}

// Everything fd delivers until its peer closes (or 10 s pass).
std::string read_to_end(int fd) {
    std::string got;
    wait_until([&] { return !read_available(fd, &got); }, 10000ms);
    return got;
}

int open_fds() {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                          std::filesystem::directory_iterator()));
}

// A loopback TCP listener on a port of the kernel's choice.
struct Listener {
    explicit Listener(int backlog = 8) {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(fd.get(), backlog);
        socklen_t size = sizeof address;
        getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
    }
    // A client connection (blocking unless flags say otherwise), connected
    // or on its way; and the accepted server side.
    UniqueFd client(int flags = 0) const {
        UniqueFd c(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0));
        sockaddr_in address{
            AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        connect(c.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        return c;
    }
    UniqueFd accept_one() const {
        pollfd in{fd.get(), POLLIN, 0};
        return UniqueFd(poll(&in, 1, 5000) == 1 ? accept4(fd.get(), nullptr, nullptr, SOCK_CLOEXEC)
                                                : -1);
    }
    UniqueFd fd{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    int port = 0;
};

struct LineReader {
    std::vector<char> buffer = std::vector<char>(XCOM_MAX_BUFFER + 1, '\0');  // sized exactly,
    std::vector<char> line = std::vector<char>(XCOM_MAX_LINE + 1, '\0');      // for the sanitizer
    int length = 0;
    std::string read(int fd, int timeout = 0) {
        const int n = socket_read_line(fd, buffer.data(), &length, line.data(), timeout);
        return n > 0 ? std::to_string(n) + ":" + line.data() : std::to_string(n);
    }
};

// Each row writes its chunks (as datagrams when asked; a peer gone after
// them when asked) and expects the results of successive reads: "length:text",
// or the bare result.
TEST(SocketReadLine, Table) {
    const std::string x(XCOM_MAX_LINE - 1, 'x'), y(XCOM_MAX_LINE, 'y'), z(XCOM_MAX_BUFFER, 'z');
    const struct {
        std::vector<std::string> chunks;
        bool datagrams, peer_gone;
        std::vector<std::string> reads;
    } rows[] = {
        {{"a\nb\n"}, false, true, {"1:a", "1:b", "-1"}},  // buffered lines need no receive
        {{std::string("  abc\r\n\t\x01"
                      "abc\r\n\r\na\tb\x7f\xff\x1f\na\0b\n",
                      28)},
         false,
         false,
         {"5:  abc", "3:abc", "0", "5:a\tb\x7f\xff", "2:ab"}},  // ends trimmed, NULs dropped
        {{x + "\n", y + "\n"}, false, false, {std::to_string(x.size()) + ":" + x, "-1", "-1"}},
        {{z}, false, false, {"-1"}},  // a full buffer without a line feed
        // An empty datagram is nothing: only shutting the socket ends it.
        {{"a\nb\n", "", "hel", "", "lo\n"}, true, false, {"1:a", "1:b", "5:hello"}},
    };
    for (const auto& r : rows) {
        auto [ours, peer] = unix_pair(r.datagrams ? SOCK_DGRAM : SOCK_STREAM);
        for (const auto& chunk : r.chunks)
            r.datagrams ? (void)send(peer.get(), chunk.data(), chunk.size(), 0)
                        : write_all(peer.get(), chunk);
        if (r.peer_gone) peer.reset();
        LineReader reader;
        for (const auto& expected : r.reads)
            EXPECT_EQ(reader.read(ours.get()), expected) << r.chunks[0].substr(0, 20);
        if (r.datagrams) {
            shutdown(ours.get(), SHUT_RD);
            EXPECT_EQ(reader.read(ours.get()), "-1");
        }
    }
}

// What the send and receive seams do: fail with EINTR `interrupted` times,
// then move at most `most` bytes a call (0: all), or fail with `error`.
struct Forced {
    int interrupted;
    size_t most;
    int error, written, read;  // the results of socket_write_line, socket_read_line
};
const Forced* forced_row;
int forced_calls;
template <typename Call>
ssize_t forced(size_t len, Call call) {
    if (forced_calls++ < forced_row->interrupted || forced_row->error != 0) {
        errno = forced_calls <= forced_row->interrupted ? EINTR : forced_row->error;
        return -1;
    }
    return call(forced_row->most != 0 && len > forced_row->most ? forced_row->most : len);
}
ssize_t forced_send(int fd, const void* buf, size_t len, int flags) {
    return forced(len, [&](size_t n) { return send(fd, buf, n, flags); });
}
ssize_t forced_recv(int fd, void* buf, size_t len, int flags) {
    return forced(len, [&](size_t n) { return recv(fd, buf, n, flags); });
}

TEST(SocketLine, InterruptedAndShortCallsAreCompletedAndFailuresFail) {
    static const Forced rows[] = {
        {2, 0, 0, 0, 5}, {0, 1, 0, 0, 5}, {0, 0, EIO, -1, -1}, {3, 0, ECONNRESET, -1, -1}};
    for (const Forced& row : rows) {
        forced_row = &row;
        auto [ours, peer] = unix_pair(SOCK_STREAM);
        forced_calls = 0;
        const SocketSendT real_send = socket_set_send(forced_send);
        EXPECT_EQ(socket_write_line(ours.get(), "hello\n"), row.written);
        socket_set_send(real_send);
        std::string got;
        read_available(peer.get(), &got);
        EXPECT_EQ(got, row.written == 0 ? "hello\n" : "");
        write_all(peer.get(), "hello\n");
        forced_calls = 0;
        const SocketRecvT real_recv = socket_set_recv(forced_recv);
        EXPECT_EQ(LineReader().read(ours.get()), row.read == 5 ? "5:hello" : "-1");
        socket_set_recv(real_recv);
    }
}

// The wait's stand-in notes the time the call had left and times out at once.
long long left_ms = -2;
int timing_out(int, fd_set*, fd_set*, fd_set*, timeval* timeout) {
    left_ms = timeout ? timeout->tv_sec * 1000LL + timeout->tv_usec / 1000 : -1;
    return 0;
}

TEST(SocketLine, ConnectAndWriteGiveUpAfterTenSeconds) {
    // A listener whose accept queue is full leaves the next connection hanging.
    Listener full(0);
    std::vector<UniqueFd> fillers;
    for (bool answered = true; answered && fillers.size() < 16;) {
        fillers.push_back(full.client(SOCK_NONBLOCK));
        pollfd out{fillers.back().get(), POLLOUT, 0};
        answered = poll(&out, 1, 500) == 1;
    }
    auto [ours, peer] = unix_pair(SOCK_STREAM);
    fcntl(ours.get(), F_SETFL, O_NONBLOCK);
    while (send(ours.get(), "xxxxxxxx", 8, MSG_NOSIGNAL) > 0) {
    }
    const int fds_before = open_fds();
    const SocketSelectT real_select = socket_set_select(timing_out);
    EXPECT_EQ(xcom_client_connect("127.0.0.1", full.port, [](HXCOM, char*) { return 0; }), nullptr);
    EXPECT_GT(left_ms, 9000);
    EXPECT_LE(left_ms, 10000);
    EXPECT_EQ(open_fds(), fds_before);
    left_ms = -2;
    EXPECT_EQ(socket_write_line(ours.get(), "line\n"), 0);
    EXPECT_GT(left_ms, 9000);
    EXPECT_LE(left_ms, 10000);
    left_ms = -2;
    EXPECT_EQ(LineReader().read(peer.get(), 3), "0");  // a read's own limit
    EXPECT_GT(left_ms, 2000);
    EXPECT_LE(left_ms, 3000);
    socket_set_select(real_select);
}

std::string send_error(int error, int unsent) {
    return "XCOM:WARNING:send() error " + std::to_string(error) + " " + strerror(error) + " " +
           std::to_string(unsent) + "\n";
}

// Each row provokes one failure on fresh sockets and knows its warning.
TEST(XcomWarnings, ExactTextsWhenSwitchedOnAndSilenceOtherwise) {
    const int unused_fd = FD_SETSIZE + 7;
    const auto reading = [](std::string input, bool close) {
        auto [ours, peer] = unix_pair(SOCK_STREAM);
        write_all(peer.get(), input);
        if (close) peer.reset();
        return LineReader().read(ours.get());
    };
    const auto writing = [](const char* line, bool close) {
        auto [ours, peer] = unix_pair(SOCK_STREAM);
        if (close) peer.reset();
        return std::to_string(socket_write_line(ours.get(), line));
    };
    const auto tcp = [](bool urgent) {
        Listener listener;
        UniqueFd client = listener.client(), server = listener.accept_one();
        if (urgent) {
            send(client.get(), "!", 1, MSG_OOB);
            write_all(client.get(), "ok\n");
        } else {
            const linger abort_on_close{1, 0};
            setsockopt(client.get(), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
            client.reset();
        }
        return LineReader().read(server.get());
    };
    const struct {
        std::function<std::string()> provoke;
        std::string result, warning;
    } rows[] = {
        {[&] { return reading("", true); }, "-1", "XCOM:WARNING:remote socket closed\n"},
        {[&] { return reading(std::string(XCOM_MAX_LINE, 'y') + "\n", false); }, "-1",
         "XCOM:WARNING:16385 bytes invalid socket input (16384 max)\n"},
        {[&] { return reading(std::string(XCOM_MAX_BUFFER, 'z'), false); }, "-1",
         "XCOM:WARNING:Buffer is full, current buffer size is 32768"},
        {[&] { return reading(std::string("a\0b\n", 4), false); }, "2:ab",
         "XCOM:WARNING:Data has embedded nulls. Data after filtering nulls:ab\n\n"},
        {[&] { return tcp(true); }, "2:ok", ""},  // urgent data stepped over
        {[&] { return tcp(false); }, "-1",
         std::string("XCOM:WARNING:socket input: recv() error2 ") + strerror(ECONNRESET) + "\n"},
        {[&] { return LineReader().read(unused_fd); }, "-1",
         std::string("XCOM:WARNING:socket input: select() error ") + strerror(EBADF) + "\n"},
        {[&] { return std::to_string(socket_write_line(unused_fd, "x\n")); }, "-1",
         "XCOM:WARNING:socket write: select() error\n"},
        {[&] { return writing("", false); }, "-1", "XCOM:WARNING:send() returned 0?\n"},
        {[&] { return writing("hi", true); }, "-1", send_error(EPIPE, 2)},
    };
    EXPECT_EQ(xcom_should_print_errors(), 0);
    for (const bool on : {false, true}) {
        EXPECT_EQ(xcom_log_errors(on), 0);
        for (const auto& r : rows) {
            testing::internal::CaptureStdout();
            EXPECT_EQ(r.provoke(), r.result) << r.warning;
            EXPECT_EQ(testing::internal::GetCapturedStdout(), on ? r.warning : "");
        }
    }
    xcom_log_errors(0);
}

TEST(XcomUtil, HexascLogAndList) {
    char output[17];
    EXPECT_STREQ(hexasc("A\n\xff~", 4, output), "A[0a][ff]~");
    EXPECT_STREQ(xcom_get_version(), "libxcom 0.0.1");
    testing::internal::CaptureStdout();
    EXPECT_EQ(xcom_log("P:", "%d-%s", 7, "x"), 5);
    EXPECT_EQ(xcom_log(nullptr, "%s", std::string(600, 'q').c_str()), 511);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "P:7-x" + std::string(511, 'q'));
    xlist* head = nullptr;
    char a[] = "a", b[] = "b", c[] = "c";
    xlist* first = xlist_add(&head, a);
    xlist* middle = xlist_add(&head, b);
    xlist* last = xlist_add(&head, c);
    xlist_remove(&head, middle);
    EXPECT_EQ(first->next, last);
    EXPECT_EQ(last->prev, first);
    xlist_remove(&head, first);
    EXPECT_EQ(head, last);
    EXPECT_EQ(last->prev, nullptr);
    EXPECT_EQ(xlist_size(head), 1);
    xlist_remove(&head, last);
    EXPECT_EQ(head, nullptr);
}

// The client's callback has no user pointer: one record serves the test.
std::mutex record_mutex;
std::vector<std::string> received;  // lines, "(null)" for the end
std::atomic<bool> hold{false}, in_callback{false};
int record(HXCOM, char* msg) {
    in_callback = true;
    while (hold)
        std::this_thread::yield();
    std::lock_guard<std::mutex> lock(record_mutex);
    received.emplace_back(msg ? msg : "(null)");
    in_callback = false;
    return 0;
}
std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(record_mutex);
    return received;
}

TEST(XcomClient, FailedConnectsLeaveNoDescriptorOpen) {
    Listener refusing;
    refusing.fd.reset();  // the port is no longer listened on: connections are refused
    const int before = open_fds();
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(xcom_client_connect("127.0.0.1", refusing.port, record), nullptr);
    EXPECT_EQ(xcom_client_connect("no-such-host.invalid", 4121, record), nullptr);
    EXPECT_EQ(open_fds(), before);
}

TEST(XcomClient, LinesBothWaysAndTheEnds) {
    for (const bool peer_closes : {false, true}) {
        received.clear();
        Listener listener;
        HXCOM client = xcom_client_connect("127.0.0.1", listener.port, record);
        ASSERT_NE(client, nullptr);
        UniqueFd server = listener.accept_one();
        EXPECT_EQ(xcom_client_send(client, std::string(XCOM_MAX_COMMAND + 1, 'x').c_str()), -1);
        EXPECT_EQ(xcom_client_send(client, "status"), 0);
        // An empty line ends the reader as the peer's close does: one NULL.
        write_all(server.get(), peer_closes ? "one\n" : "hello\r\n\nlater\n");
        if (peer_closes) server.reset();
        ASSERT_TRUE(wait_until([] { return lines().size() == 2; }));
        if (peer_closes) xcom_client_send(client, "late");  // fails at most: no SIGPIPE
        EXPECT_EQ(xcom_client_disconnect(client), 0);
        EXPECT_EQ(lines(), (Lines{peer_closes ? "one" : "hello", "(null)"}));
        EXPECT_EQ(peer_closes ? "status\n" : read_to_end(server.get()), "status\n");
    }
}

// Two senders through a small window: every line arrives whole.
TEST(XcomClient, ConcurrentSendersAndADisconnectDuringACallback) {
    received.clear();
    Listener listener;
    const int small = 4096;
    setsockopt(listener.fd.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    HXCOM client = xcom_client_connect("127.0.0.1", listener.port, record);
    ASSERT_NE(client, nullptr);
    UniqueFd server = listener.accept_one();
    std::string got;
    std::thread reader([&] { got = read_to_end(server.get()); });
    const auto sender = [client](char fill) {
        for (int i = 0; i < 200; ++i)
            xcom_client_send(client, std::string(XCOM_MAX_COMMAND, fill).c_str());
    };
    std::thread a(sender, 'a'), b(sender, 'b');
    a.join();
    b.join();
    // A disconnect waits for a callback in progress, and no other follows.
    hold = true;
    write_all(server.get(), "held\nmore\n");
    ASSERT_TRUE(wait_until([] { return in_callback.load(); }));
    std::atomic<bool> returned{false};
    std::thread closer([&] {
        xcom_client_disconnect(client);
        returned = true;
    });
    EXPECT_FALSE(wait_until([&] { return returned.load(); }, 200ms));
    hold = false;
    closer.join();
    // "more" may still come while the disconnect waits; the reader's end does not.
    EXPECT_EQ(lines().front(), "held");
    EXPECT_EQ(std::count(received.begin(), received.end(), "(null)"), 0);
    shutdown(server.get(), SHUT_WR);
    reader.join();
    std::map<char, int> counts;
    size_t start = 0;
    for (size_t end; (end = got.find('\n', start)) != std::string::npos; start = end + 1) {
        ASSERT_EQ(got.substr(start, end - start), std::string(XCOM_MAX_COMMAND, got[start]));
        ++counts[got[start]];
    }
    EXPECT_EQ(start, got.size());
    EXPECT_EQ(counts, (std::map<char, int>{{'a', 200}, {'b', 200}}));
}

}  // namespace
