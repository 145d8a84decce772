// The two 10-second give-ups: a peer that never completes the connection and
// a peer that never reads.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <vector>

#include "libxcom.h"
#include "xcom.h"
#include "xcom_test_util.h"

using namespace xcom_test;

namespace {

int ignore_line(HXCOM, char*) {
    return 0;
}

// Opens non-blocking connections to listener until one stays unanswered,
// which means its accept queue is full and further SYNs are dropped.
std::vector<Fd> fill_accept_queue(const Listener& listener) {
    std::vector<Fd> fillers;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(listener.port()));
    for (int i = 0; i < 16; ++i) {
        Fd filler(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        connect(filler.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        pollfd entry{filler.get(), POLLOUT, 0};
        const bool answered = poll(&entry, 1, 500) == 1;
        fillers.push_back(std::move(filler));
        if (!answered) break;
    }
    return fillers;
}

TEST(XcomTimeouts, ConnectGivesUpAfterTenSecondsWithoutAnswer) {
    Listener listener(0);
    const auto fillers = fill_accept_queue(listener);
    const int open_before = open_fd_count();
    const auto start = Clock::now();
    EXPECT_EQ(xcom_client_connect("127.0.0.1", listener.port(), ignore_line), nullptr);
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, 9500ms);
    EXPECT_LT(elapsed, 20s);
    EXPECT_EQ(open_fd_count(), open_before);
}

TEST(XcomTimeouts, WriteGivesUpAfterTenSecondsWhenPeerDoesNotRead) {
    auto [ours, peer] = unix_pair(SOCK_STREAM);
    fcntl(ours.get(), F_SETFL, O_NONBLOCK);
    while (send(ours.get(), "xxxxxxxx", 8, MSG_NOSIGNAL) > 0) {
    }
    const auto start = Clock::now();
    EXPECT_EQ(socket_write_line(ours.get(), "line\n"), 0);
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, 9500ms);
    EXPECT_LT(elapsed, 20s);
}

}  // namespace
