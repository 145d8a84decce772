// Line framing over stream and datagram sockets: assembly, trimming, limits,
// time budget and the exact warnings.
#include <gtest/gtest.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "libxcom.h"
#include "seams.h"
#include "xcom_test_util.h"

using namespace xcom_test;

namespace {

// The caller-owned receive state, sized exactly so that AddressSanitizer
// notices any write past either buffer.
struct LineReader {
    std::vector<char> buffer = std::vector<char>(XCOM_MAX_BUFFER + 1, '\0');
    std::vector<char> line = std::vector<char>(XCOM_MAX_LINE + 1, '\0');
    int length = 0;

    int read(int fd, int timeout = 0) {
        return socket_read_line(fd, buffer.data(), &length, line.data(), timeout);
    }
    std::string text() const { return line.data(); }
};

TEST(SocketReadLine, HandsOutBufferedLinesWithoutWaiting) {
    auto [ours, peer] = unix_pair(SOCK_STREAM);
    write_all(peer.get(), "a\nb\n");
    peer.reset();  // a further receive would now fail, so the second line must come from the buffer
    LineReader reader;
    EXPECT_EQ(reader.read(ours.get()), 1);
    EXPECT_EQ(reader.text(), "a");
    EXPECT_EQ(reader.read(ours.get()), 1);
    EXPECT_EQ(reader.text(), "b");
    EXPECT_EQ(reader.length, 0);
    EXPECT_EQ(reader.read(ours.get()), -1);
}

TEST(SocketReadLine, TrimsControlBytesAtTheEndsOnlyAndDropsNuls) {
    auto [ours, peer] = unix_pair(SOCK_STREAM);
    const std::string input(
        "  abc\r\n\t\x01"
        "abc\r\n\r\na\tb\x7f\xff\x1f\na\0b\n",
        28);
    write_all(peer.get(), input);
    LineReader reader;
    const std::vector<std::pair<int, std::string>> expected = {
        {5, "  abc"}, {3, "abc"}, {0, ""}, {5, "a\tb\x7f\xff"}, {2, "ab"}};
    for (const auto& [result, text] : expected) {
        EXPECT_EQ(reader.read(ours.get()), result);
        EXPECT_EQ(reader.text(), text);
    }
}

TEST(SocketReadLine, AcceptsLinesUpToTheLimitAndKeepsALongerOne) {
    auto [ours, peer] = unix_pair(SOCK_STREAM);
    write_all(peer.get(), std::string(XCOM_MAX_LINE - 1, 'x') + "\n");
    write_all(peer.get(), std::string(XCOM_MAX_LINE, 'y') + "\n");
    LineReader reader;
    EXPECT_EQ(reader.read(ours.get()), XCOM_MAX_LINE - 1);
    EXPECT_EQ(reader.text(), std::string(XCOM_MAX_LINE - 1, 'x'));
    EXPECT_EQ(reader.read(ours.get()), -1);
    EXPECT_EQ(reader.length, XCOM_MAX_LINE + 1);
    EXPECT_EQ(reader.read(ours.get()), -1);  // the refused line is met again
    EXPECT_EQ(reader.length, XCOM_MAX_LINE + 1);
}

TEST(SocketReadLine, RefusesAFullBufferWithoutLineFeed) {
    auto [ours, peer] = unix_pair(SOCK_STREAM);
    write_all(peer.get(), std::string(XCOM_MAX_BUFFER, 'z'));
    LineReader reader;
    EXPECT_EQ(reader.read(ours.get()), -1);
    EXPECT_EQ(reader.length, XCOM_MAX_BUFFER);
}

TEST(SocketReadLine, TreatsDatagramsAsOneStreamThatOnlyShuttingEnds) {
    auto [ours, peer] = unix_pair(SOCK_DGRAM);
    // An empty datagram is nothing: a datagram socket has no peer to close.
    for (const char* datagram : {"a\nb\n", "", "hel", "", "lo\n"}) {
        send(peer.get(), datagram, strlen(datagram), 0);
    }
    LineReader reader;
    for (const char* text : {"a", "b", "hello"}) {
        EXPECT_EQ(reader.read(ours.get()), static_cast<int>(strlen(text)));
        EXPECT_EQ(reader.text(), text);
    }
    shutdown(ours.get(), SHUT_RD);
    EXPECT_EQ(reader.read(ours.get()), -1);
}

// A peer that sends one byte every 100 ms until told to stop (at most 6 s):
// a time-out counted per wait would never expire while it runs.
TEST(SocketReadLine, TimeoutBoundsTheWholeCallAcrossSegments) {
    auto [ours, peer] = unix_pair(SOCK_STREAM);
    std::mutex mut;
    std::condition_variable stop_changed;
    bool stop = false;
    std::thread trickle([&, fd = peer.get()] {
        std::unique_lock<std::mutex> lock(mut);
        for (int i = 0; i < 60 && !stop; ++i) {
            write_all(fd, "x");
            stop_changed.wait_for(lock, 100ms, [&] { return stop; });
        }
    });
    LineReader reader;
    const auto start = Clock::now();
    const int result = reader.read(ours.get(), 1);
    const auto elapsed = Clock::now() - start;
    {
        std::lock_guard<std::mutex> lock(mut);
        stop = true;
    }
    stop_changed.notify_all();
    trickle.join();

    EXPECT_EQ(result, 0);
    EXPECT_LT(elapsed, 4s);
    EXPECT_GT(reader.length, 0);  // kept for the next call
    write_all(peer.get(), "\n");
    const int length = reader.read(ours.get(), 1);
    EXPECT_GE(length, 1);
    EXPECT_EQ(reader.text(), std::string(static_cast<size_t>(length), 'x'));
}

TEST(SocketWriteLine, SendsTheLineAsGivenAndRefusesAnEmptyOne) {
    auto [ours, peer] = unix_pair(SOCK_STREAM);
    EXPECT_EQ(socket_write_line(ours.get(), "status\n"), 0);
    EXPECT_EQ(socket_write_line(ours.get(), ""), -1);
    ours.reset();
    EXPECT_EQ(read_until_closed(peer.get(), 5000ms), "status\n");
}

// What the seams make the socket calls do: fail with EINTR first, then move
// at most `most` bytes a call (0: all), or fail with `error`.
struct Forced {
    const char* name;
    int interrupted;
    size_t most;
    int error;
    int written;  // socket_write_line's result
    int read;     // socket_read_line's result
};
const Forced* g_forced;
int g_calls;

template <typename Call>
ssize_t forced(size_t len, Call call) {
    if (g_calls++ < g_forced->interrupted || g_forced->error != 0) {
        errno = g_calls <= g_forced->interrupted ? EINTR : g_forced->error;
        return -1;
    }
    return call(g_forced->most != 0 && len > g_forced->most ? g_forced->most : len);
}
ssize_t forced_send(int fd, const void* buf, size_t len, int flags) {
    return forced(len, [&](size_t n) { return send(fd, buf, n, flags); });
}
ssize_t forced_recv(int fd, void* buf, size_t len, int flags) {
    return forced(len, [&](size_t n) { return recv(fd, buf, n, flags); });
}

TEST(SocketLineSeams, InterruptedAndShortCallsAreCompletedAndFailuresFail) {
    static const Forced rows[] = {
        {"interrupted", 2, 0, 0, 0, 5},
        {"short", 0, 1, 0, 0, 5},
        {"failing", 0, 0, EIO, -1, -1},
        {"interrupted, then failing", 3, 0, ECONNRESET, -1, -1},
    };
    for (const Forced& row : rows) {
        g_forced = &row;
        auto [ours, peer] = unix_pair(SOCK_STREAM);
        g_calls = 0;
        const SocketSendT real_send = socket_set_send(forced_send);
        EXPECT_EQ(socket_write_line(ours.get(), "hello\n"), row.written) << row.name;
        socket_set_send(real_send);
        char got[16] = "";
        (void)!recv(peer.get(), got, sizeof got - 1, MSG_DONTWAIT);
        EXPECT_STREQ(got, row.written == 0 ? "hello\n" : "") << row.name;

        write_all(peer.get(), "hello\n");
        g_calls = 0;
        const SocketRecvT real_recv = socket_set_recv(forced_recv);
        EXPECT_EQ(LineReader().read(ours.get()), row.read) << row.name;
        socket_set_recv(real_recv);
    }
}

// Each case provokes one failure on fresh sockets and knows its warning.
struct Failure {
    const char* name;
    std::function<int()> provoke;
    int result;
    std::string warning;
};

std::string error_warning(int error, int unsent) {
    return "XCOM:WARNING:send() error " + std::to_string(error) + " " + strerror(error) + " " +
           std::to_string(unsent) + "\n";
}

std::vector<Failure> failures() {
    const int unused_fd = FD_SETSIZE + 7;
    return {
        {"peer closed",
         [] {
             auto [ours, peer] = unix_pair(SOCK_STREAM);
             peer.reset();
             return LineReader().read(ours.get());
         },
         -1, "XCOM:WARNING:remote socket closed\n"},
        {"line too long",
         [] {
             auto [ours, peer] = unix_pair(SOCK_STREAM);
             write_all(peer.get(), std::string(XCOM_MAX_LINE, 'y') + "\n");
             return LineReader().read(ours.get());
         },
         -1, "XCOM:WARNING:16385 bytes invalid socket input (16384 max)\n"},
        {"buffer full",
         [] {
             auto [ours, peer] = unix_pair(SOCK_STREAM);
             write_all(peer.get(), std::string(XCOM_MAX_BUFFER, 'z'));
             return LineReader().read(ours.get());
         },
         -1, "XCOM:WARNING:Buffer is full, current buffer size is 32768"},
        {"embedded nulls",
         [] {
             auto [ours, peer] = unix_pair(SOCK_STREAM);
             write_all(peer.get(), std::string_view("a\0b\n", 4));
             return LineReader().read(ours.get());
         },
         2, "XCOM:WARNING:Data has embedded nulls. Data after filtering nulls:ab\n\n"},
        {"urgent data stepped over",
         [] {
             Listener listener;
             Fd client = listener.connect_client();
             Fd server = listener.accept_within();
             send(client.get(), "!", 1, MSG_OOB);
             write_all(client.get(), "ok\n");
             return LineReader().read(server.get());
         },
         2, ""},
        {"connection reset",
         [] {
             Listener listener;
             Fd client = listener.connect_client();
             Fd server = listener.accept_within();
             const linger abort_on_close{1, 0};
             setsockopt(client.get(), SOL_SOCKET, SO_LINGER, &abort_on_close,
                        sizeof abort_on_close);
             client.reset();
             return LineReader().read(server.get());
         },
         -1,
         std::string("XCOM:WARNING:socket input: recv() error2 ") + strerror(ECONNRESET) + "\n"},
        {"read wait fails", [=] { return LineReader().read(unused_fd); }, -1,
         std::string("XCOM:WARNING:socket input: select() error ") + strerror(EBADF) + "\n"},
        {"write wait fails", [=] { return socket_write_line(unused_fd, "x\n"); }, -1,
         "XCOM:WARNING:socket write: select() error\n"},
        {"empty write",
         [] {
             auto [ours, peer] = unix_pair(SOCK_STREAM);
             return socket_write_line(ours.get(), "");
         },
         -1, "XCOM:WARNING:send() returned 0?\n"},
        {"write to closed peer",
         [] {
             auto [ours, peer] = unix_pair(SOCK_STREAM);
             peer.reset();
             return socket_write_line(ours.get(), "hi");
         },
         -1, error_warning(EPIPE, 2)},
    };
}

// Runs every failure with warnings on or off; checks results and output.
void check_failures(bool warnings_on) {
    const int previous = xcom_log_errors(warnings_on ? 1 : 0);
    for (const Failure& failure : failures()) {
        testing::internal::CaptureStdout();
        const int result = failure.provoke();
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(result, failure.result) << failure.name;
        EXPECT_EQ(printed, warnings_on ? failure.warning : "") << failure.name;
    }
    xcom_log_errors(previous);
}

TEST(XcomWarnings, AreSilentByDefault) {
    EXPECT_EQ(xcom_should_print_errors(), 0);
    check_failures(false);
}

TEST(XcomWarnings, PrintTheirExactTextsWhenSwitchedOn) {
    EXPECT_EQ(xcom_log_errors(1), 0);
    EXPECT_EQ(xcom_log_errors(0), 1);
    check_failures(true);
}

}  // namespace
