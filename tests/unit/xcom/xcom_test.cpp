// The XCOM library: line framing over stream and datagram sockets, the
// 10-second limits (through the wait's seam), the exact warnings, and the
// client's connection over loopback TCP.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <tuple>
#include <utility>
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

struct LineReader {
    std::vector<char> buffer = std::vector<char>(XCOM_MAX_BUFFER + 1, '\0');  // sized exactly,
    std::vector<char> line = std::vector<char>(XCOM_MAX_LINE + 1, '\0');      // for the sanitizer
    std::vector<char> datagram = std::vector<char>(XCOM_MAX_DATAGRAM + 1, '\0');
    int length = 0;
    std::string read(int fd, int timeout = 0) {
        return shown(socket_read_line(fd, buffer.data(), &length, line.data(), timeout), line);
    }
    // The next datagram, then "/" and its kinds of bad input if any.
    std::string receive(int fd) {
        SocketReceivedT got{-1, -1, {}};
        errno = EINTR;  // left by an earlier call: nothing that succeeds may read it
        char* const buffers[] = {datagram.data()};
        const int n = socket_recv_datagrams(fd, buffers, XCOM_MAX_DATAGRAM, 1, &got);
        return n < 0 ? "-1"
                     : shown(got.length, datagram) +
                           (got.kinds > 0 ? "/" + std::to_string(got.kinds) : "");
    }
    static std::string shown(int n, const std::vector<char>& text) {
        return n > 0 ? std::to_string(n) + ":" + text.data() : std::to_string(n);
    }
};

// What action writes on standard output with the library's warnings on.
std::string warnings_of(const std::function<void()>& action) {
    xcom_log_errors(1);
    ::testing::internal::CaptureStdout();
    action();
    xcom_log_errors(0);
    return ::testing::internal::GetCapturedStdout();
}

// How a row's chunks are sent and read: a stream (whose peer goes after them
// in kStreamEnds), or datagrams received whole (shut for reading after them
// in kDatagramsEnd).
enum Mode { kStream, kStreamEnds, kDatagrams, kDatagramsEnd };

// Each row expects the results of successive reads, "length:text" or the
// bare result (then "/" and the kinds of bad input of a datagram), and the
// warnings.
TEST(SocketReadLine, Table) {
    const std::string x(XCOM_MAX_LINE - 1, 'x'), y(XCOM_MAX_LINE, 'y'), z(XCOM_MAX_BUFFER, 'z');
    const std::string w = "XCOM:WARNING:",
                      tl = w + "16385 bytes invalid socket input (16384 max)\n";
    const std::string xl = x + "\n", xr = std::to_string(x.size()) + ":" + x;
    const std::string k64 = xl + xl + xl + xl, gone = w + "remote socket closed\n";  // 64 KiB
    const struct {
        Mode mode;
        std::vector<std::string> chunks, reads;
        std::string warnings = "";
    } rows[] = {
        {kStreamEnds, {"a\nb\n"}, {"1:a", "1:b", "-1"}, gone},
        {kStream,
         {std::string("  abc\r\n\txyz\r\n\r\na\tb\x7f\xff\x1f\na\0b\n", 27)},
         {"5:  abc", "3:xyz", "0", "5:a\tb\x7f\xff", "2:ab"},  // ends trimmed, NULs dropped
         w + "Data has embedded nulls. Data after filtering nulls:ab\n\n"},
        {kStream, {xl, y + "\n"}, {xr, "-1", "-1"}, tl + tl},
        {kStream, {z}, {"-1"}, w + "Buffer is full, current buffer size is 32768"},
        // Datagrams whole, each kind of bad input told; queued ones outlast a shutdown.
        {kDatagrams, {"a\nb\r\n", "", k64 + "!"}, {"5:a\nb\r\n", "0/4", "65536:" + k64 + "/2"}},
        {kDatagramsEnd, {"o"}, {"1:o", "-1"}, gone},
    };
    for (const auto& r : rows) {
        const bool stream = r.mode <= kStreamEnds;
        auto [ours, peer] = unix_pair(stream ? SOCK_STREAM : SOCK_DGRAM);
        for (const auto& chunk : r.chunks)
            stream ? write_all(peer.get(), chunk)
                   : (void)send(peer.get(), chunk.data(), chunk.size(), 0);
        if (r.mode == kStreamEnds) peer.reset();
        if (r.mode == kDatagramsEnd) shutdown(ours.get(), SHUT_RD);
        LineReader reader;
        std::vector<std::string> got;
        const std::string warnings = warnings_of([&] {
            for (size_t i = 0; i < r.reads.size(); ++i)
                got.push_back(stream ? reader.read(ours.get()) : reader.receive(ours.get()));
        });
        EXPECT_EQ(got, r.reads) << r.chunks[0].substr(0, 20);
        EXPECT_EQ(warnings, r.warnings);
    }
    // Null and negative arguments refused; the printable dump.
    EXPECT_EQ((std::vector<int>{socket_write_line(0, nullptr), xcom_client_send(nullptr, "x"),
                                xcom_remove_nulls(nullptr, 5), xcom_client_disconnect(nullptr),
                                xcom_remove_nulls(std::string("a").data(), -1)}),
              (std::vector<int>{-1, -1, 0, 0, 0}));
    EXPECT_STREQ(hexasc("A\n\xff", 3, std::string(13, ' ').data()), "A[0a][ff]");
    EXPECT_STREQ(xcom_get_version(), "libxcom 0.0.1");
    // A descriptor that is none is the wait's to report.
    EXPECT_EQ(warnings_of([] { EXPECT_EQ(LineReader().read(-1), "-1"); }),
              w + "socket input: select() error Bad file descriptor\n");
    // No descriptor, and a receive that fails.
    EXPECT_EQ(LineReader().receive(-1) + LineReader().receive(Listener().fd.get()), "-1-1");
}

// What waits is taken in one call, each datagram whole and with its sender,
// as the kernel vouches for it, once the receiver asks for credentials;
// without asking, none are told.
TEST(SocketRecvDatagrams, TakesWhatWaitsWithItsSenders) {
    for (const bool asked : {true, false}) {
        auto [ours, peer] = unix_pair(SOCK_DGRAM);
        EXPECT_EQ(asked ? socket_pass_credentials(ours.get()) : 0, 0);
        for (const std::string& datagram : {std::string("a\n"), std::string(), std::string(9, 'x')})
            send(peer.get(), datagram.data(), datagram.size(), 0);
        std::vector<char> buffers(3 * 9);
        char* const parts[] = {buffers.data(), buffers.data() + 9, buffers.data() + 18};
        SocketReceivedT got[3];
        ASSERT_EQ(socket_recv_datagrams(ours.get(), parts, 8, 3, got), 3);
        EXPECT_EQ(std::string(parts[0]) + "|" + parts[1] + "|" + parts[2], "a\n||xxxxxxxx");
        for (const auto& [d, length, kinds] :
             {std::tuple{0, 2, 0}, {1, 0, SOCKET_BAD_EMPTY}, {2, 8, SOCKET_BAD_TRUNCATED}}) {
            EXPECT_EQ(got[d].length, length);
            EXPECT_EQ(got[d].kinds, kinds);
            EXPECT_EQ(got[d].sender.known, asked ? 1 : 0);
            EXPECT_EQ(got[d].sender.pid, asked ? getpid() : 0);
            EXPECT_EQ(got[d].sender.uid, asked ? geteuid() : 0);
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
        EXPECT_EQ(socket_set_send(real_send), forced_send);  // the seam it replaced
        std::string got;
        read_available(peer.get(), &got);
        EXPECT_EQ(got, row.written == 0 ? "hello\n" : "");
        write_all(peer.get(), "hello\n");
        forced_calls = 0;
        const SocketRecvT real_recv = socket_set_recv(forced_recv);
        EXPECT_EQ(LineReader().read(ours.get()), row.read == 5 ? "5:hello" : "-1");
        peer.reset();  // gone after an interrupted receive: its end is no receive to repeat
        EXPECT_EQ(LineReader().read(ours.get()), "-1");
        EXPECT_EQ(socket_set_recv(real_recv), forced_recv);
    }
}

// The wait's stand-in notes the time the call had left and times out at once.
long long left_ms = -2;
int last_nfds;
int timing_out(int nfds, fd_set*, fd_set*, fd_set*, timeval* timeout) {
    last_nfds = nfds;
    left_ms = timeout ? timeout->tv_sec * 1000LL + timeout->tv_usec / 1000 : -1;
    return 0;
}

int select_calls;

TEST(SocketLine, ConnectAndWriteGiveUpAfterTenSeconds) {
    Listener listening;  // the wait for the connection's answer times out at once
    auto [ours, peer] = unix_pair(SOCK_STREAM);
    fcntl(ours.get(), F_SETFL, O_NONBLOCK);
    while (send(ours.get(), "xxxxxxxx", 8, MSG_NOSIGNAL) > 0) {
    }
    const int fds_before = open_fds(getpid());
    const SocketSelectT real_select = socket_set_select(timing_out);
    EXPECT_EQ(xcom_client_connect("127.0.0.1", listening.port, [](HXCOM, char*) { return 0; }),
              nullptr);
    // Each wait was given more than 9 s and at most 10 s (a read's own limit: 1).
    EXPECT_EQ((std::exchange(left_ms, -2) - 1) / 1000, 9);
    EXPECT_EQ(open_fds(getpid()), fds_before);
    EXPECT_EQ(socket_write_line(ours.get(), "line\n"), 0);
    EXPECT_EQ(last_nfds, ours.get() + 1);
    EXPECT_EQ((std::exchange(left_ms, -2) - 1) / 1000, 9);
    EXPECT_EQ(LineReader().read(peer.get(), 1), "0");
    EXPECT_EQ((left_ms + 999) / 1000, 1);
    // A wait cut short by a signal goes on, and a time-out after it ends it.
    socket_set_select([](int, fd_set*, fd_set*, fd_set*, timeval*) {
        if (++select_calls != 2) errno = select_calls == 1 ? EINTR : EBADF;  // then it would spin
        return select_calls == 2 ? 0 : -1;
    });
    auto [quiet, unused] = unix_pair(SOCK_STREAM);
    EXPECT_EQ(LineReader().read(quiet.get(), 3), "0");
    EXPECT_EQ(select_calls, 2);
    socket_set_select(real_select);
    // Connected: a command over the limit is refused, one at it goes, and
    // one after the peer has gone fails.
    HXCOM client = xcom_client_connect("127.0.0.1", listening.port, [](HXCOM, char*) { return 0; });
    const std::string at_limit(XCOM_MAX_COMMAND, 'c'), over = at_limit + "c";
    EXPECT_EQ(
        (std::vector<int>{
            xcom_client_send(client, over.c_str()), xcom_client_send(client, at_limit.c_str()),
            (listening.fd.reset(), xcom_client_send(client, "x")), xcom_client_disconnect(client)}),
        (std::vector<int>{-1, 0, -1, 0}));
}

// The library's list: order and links kept through removals, and a walk
// that stops where told.
TEST(Xlist, KeepsOrderThroughRemovalsAndWalksUntilTold) {
    int payloads[4] = {};
    xlist* head = nullptr;
    std::vector<xlist*> nodes;
    for (int& payload : payloads)
        nodes.push_back(xlist_add(&head, &payload));
    xlist_remove(&head, nodes[2]);
    EXPECT_EQ(xlist_size(head), 3);
    EXPECT_EQ(head, nodes[0]);
    EXPECT_EQ(nodes[3]->prev, nodes[1]);
    static std::vector<void*> seen;
    xlist_walk(head, [](xlist* node) { return seen.push_back(node->ptr), int(seen.size() == 2); });
    EXPECT_EQ(seen, (std::vector<void*>{&payloads[0], &payloads[1]}));
    while (head != nullptr)
        xlist_remove(&head, head);
}

}  // namespace
