// The client connection over real loopback TCP: connecting, the exact bytes
// sent, how the reader ends, and disconnecting while the reader is busy.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "xcom.h"
#include "xcom_test_util.h"

using namespace xcom_test;

namespace {

// What the callback received. The callback has no user pointer, so one
// recorder serves the test in progress.
struct Recorder {
    std::mutex mut;
    std::condition_variable changed;
    std::vector<std::string> lines;
    int nulls = 0;
    int calls_after_disconnect = 0;
    std::atomic<bool> disconnected{false};
    // A line "hold" keeps the callback inside until released.
    bool holding = false;
    bool released = false;
    bool hold_finished = false;

    // Waits until pred holds (under the lock) or limit passes; returns pred.
    bool wait_for(const std::function<bool()>& pred, milliseconds limit = 5000ms) {
        std::unique_lock<std::mutex> lock(mut);
        return changed.wait_for(lock, limit, pred);
    }
    void release() {
        std::lock_guard<std::mutex> lock(mut);
        released = true;
        changed.notify_all();
    }
};
Recorder* recorder = nullptr;

int record(HXCOM, char* msg) {
    std::unique_lock<std::mutex> lock(recorder->mut);
    if (recorder->disconnected) ++recorder->calls_after_disconnect;
    if (msg == nullptr) {
        ++recorder->nulls;
    } else {
        recorder->lines.emplace_back(msg);
    }
    recorder->changed.notify_all();
    if (msg != nullptr && recorder->lines.back() == "hold") {
        recorder->holding = true;
        recorder->changed.notify_all();
        recorder->changed.wait(lock, [] { return recorder->released; });
        recorder->hold_finished = true;
    }
    return 0;
}

class XcomClient : public testing::Test {
  protected:
    void SetUp() override { recorder = &rec; }
    void TearDown() override { recorder = nullptr; }

    // Connects to the listener and accepts the server side.
    HXCOM connect_and_accept() {
        HXCOM client = xcom_client_connect("127.0.0.1", listener.port(), record);
        server = listener.accept_within();
        return client;
    }
    void disconnect(HXCOM client) {
        EXPECT_EQ(xcom_client_disconnect(client), 0);
        rec.disconnected = true;
    }

    Recorder rec;
    Listener listener;
    Fd server;
};

TEST_F(XcomClient, FailedAttemptsLeaveNoDescriptorOpen) {
    // A bound socket that does not listen: connects are refused, and no one
    // else can take the port meanwhile.
    Fd closed_port(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(closed_port.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(closed_port.get(), reinterpret_cast<sockaddr*>(&address), &size);
    const int port = ntohs(address.sin_port);

    EXPECT_EQ(xcom_client_connect("127.0.0.1", port, record), nullptr);  // warm-up
    const int open_before = open_fd_count();
    // Far more attempts than the descriptor limit allows.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const int attempts = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 4096)) + 100;
    int connected = 0;
    for (int i = 0; i < attempts; ++i) {
        if (xcom_client_connect("127.0.0.1", port, record) != nullptr) ++connected;
    }
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(xcom_client_connect("no-such-host.invalid", listener.port(), record), nullptr);
    EXPECT_EQ(open_fd_count(), open_before);
    EXPECT_EQ(rec.nulls + static_cast<int>(rec.lines.size()), 0);
}

TEST_F(XcomClient, SendsExactlyTheCommandAndOneLineFeed) {
    HXCOM client = connect_and_accept();
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(xcom_client_send(client, std::string(XCOM_MAX_COMMAND + 1, 'x').c_str()), -1);
    EXPECT_EQ(xcom_client_send(client, "status"), 0);
    EXPECT_EQ(xcom_client_send(client, std::string(XCOM_MAX_COMMAND, 'y').c_str()), 0);
    disconnect(client);
    EXPECT_EQ(read_until_closed(server.get(), 5000ms),
              "status\n" + std::string(XCOM_MAX_COMMAND, 'y') + "\n");
}

TEST_F(XcomClient, EmptyLineEndsTheReaderWithOneNull) {
    HXCOM client = connect_and_accept();
    ASSERT_NE(client, nullptr);
    write_all(server.get(), "hello\r\n\nlater\n");
    ASSERT_TRUE(rec.wait_for([&] { return rec.nulls == 1; }));
    write_all(server.get(), "more\n");  // nobody reads it any more
    disconnect(client);
    EXPECT_EQ(rec.lines, std::vector<std::string>{"hello"});
    EXPECT_EQ(rec.nulls, 1);
}

TEST_F(XcomClient, PeerCloseEndsTheReaderWithOneNull) {
    HXCOM client = connect_and_accept();
    ASSERT_NE(client, nullptr);
    write_all(server.get(), "one\n");
    server.reset();
    ASSERT_TRUE(rec.wait_for([&] { return rec.nulls == 1; }));
    // Sending into a closed connection fails at most; it must not raise SIGPIPE.
    xcom_client_send(client, "late");
    xcom_client_send(client, "later");
    disconnect(client);
    EXPECT_EQ(rec.lines, std::vector<std::string>{"one"});
    EXPECT_EQ(rec.nulls, 1);
}

TEST_F(XcomClient, ConcurrentSendersProduceWholeLines) {
    // A small receive window makes sends partial, where interleaving would show.
    const int small = 4096;
    setsockopt(listener.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    HXCOM client = connect_and_accept();
    ASSERT_NE(client, nullptr);
    constexpr int kLines = 200;
    auto sender = [client](char fill) {
        const std::string line(XCOM_MAX_COMMAND, fill);
        for (int i = 0; i < kLines; ++i)
            xcom_client_send(client, line.c_str());
    };
    std::string received;
    std::thread reader([&] { received = read_until_closed(server.get(), 20000ms); });
    std::thread a(sender, 'a');
    std::thread b(sender, 'b');
    a.join();
    b.join();
    disconnect(client);
    reader.join();

    std::map<char, int> counts;
    size_t start = 0;
    for (size_t end; (end = received.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = received.substr(start, end - start);
        ASSERT_EQ(line, std::string(XCOM_MAX_COMMAND, line[0]));
        ++counts[line[0]];
    }
    EXPECT_EQ(start, received.size());
    EXPECT_EQ(counts['a'], kLines);
    EXPECT_EQ(counts['b'], kLines);
}

TEST_F(XcomClient, DisconnectWakesABlockedReaderWithoutCallback) {
    HXCOM client = connect_and_accept();
    ASSERT_NE(client, nullptr);
    const auto start = Clock::now();
    disconnect(client);
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_EQ(read_until_closed(server.get(), 5000ms), "");  // the peer saw the end
    EXPECT_EQ(rec.nulls, 0);
}

TEST_F(XcomClient, DisconnectWaitsForACallbackInProgress) {
    HXCOM client = connect_and_accept();
    ASSERT_NE(client, nullptr);
    write_all(server.get(), "hold\n");
    ASSERT_TRUE(rec.wait_for([&] { return rec.holding; }));
    std::atomic<bool> returned{false};
    bool finished_at_return = false;
    std::thread closer([&] {
        xcom_client_disconnect(client);
        std::lock_guard<std::mutex> lock(rec.mut);
        finished_at_return = rec.hold_finished;
        returned = true;
    });
    // The disconnect must not return while the callback is held; give it the
    // chance to do so wrongly before releasing.
    EXPECT_FALSE(rec.wait_for([&] { return returned.load(); }, 200ms));
    rec.release();
    closer.join();
    EXPECT_TRUE(finished_at_return);
    EXPECT_EQ(rec.nulls, 0);
}

TEST_F(XcomClient, NoCallbackAfterDisconnectUnderTraffic) {
    const int open_before = open_fd_count();
    for (int round = 0; round < 20; ++round) {
        Recorder round_rec;
        recorder = &round_rec;
        HXCOM client = connect_and_accept();
        ASSERT_NE(client, nullptr);
        std::atomic<bool> stop{false};
        std::thread flood([&, fd = server.get()] {
            while (!stop)
                write_all(fd, "line\n");
        });
        ASSERT_TRUE(round_rec.wait_for([&] { return !round_rec.lines.empty(); }));
        EXPECT_EQ(xcom_client_disconnect(client), 0);
        round_rec.disconnected = true;
        stop = true;
        flood.join();
        server.reset();
        EXPECT_EQ(round_rec.calls_after_disconnect, 0);
        EXPECT_EQ(round_rec.nulls, 0);
    }
    EXPECT_EQ(open_fd_count(), open_before);
}

}  // namespace
