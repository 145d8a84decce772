// Many sessions at once, and output paced by full receive queues: every
// line must reach its own session exactly once and in order.
#include <poll.h>
#include <stdio.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include "appd_fixture.h"

namespace {

// Each of the 200 sessions holds four descriptors in this process.
void raise_descriptor_limit() {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < 2048 && lim.rlim_max >= 2048) {
        lim.rlim_cur = 2048;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

// Checks one received flood datagram against the lines expected next.
// Returns false (after recording a failure) at the first wrong line.
bool take_flood_lines(const std::string& bytes, unsigned id, unsigned* next, unsigned width) {
    for (const std::string& line : split_lines(bytes)) {
        std::string expected = "flood " + std::to_string(id) + " " + std::to_string(*next);
        if (expected.size() < width) expected.append(width - expected.size(), '.');
        if (line != expected) {
            ADD_FAILURE() << "session " << id << ": got '" << line << "', expected '" << expected
                          << "'";
            return false;
        }
        ++*next;
    }
    return true;
}

}  // namespace

using SessionsTest = AppdTest;

TEST_F(SessionsTest, TwoHundredSessionsEachGetOnlyTheirOwnFloodLines) {
    raise_descriptor_limit();
    constexpr int kSessions = 200;
    constexpr unsigned kLines = 60, kWidth = 40;
    std::vector<std::unique_ptr<AppdClient>> clients;
    for (int i = 0; i < kSessions; ++i) {
        clients.push_back(connect_registered(std::to_string(i)));
        ASSERT_NE(clients.back()->id, 0u);
    }
    std::string status;
    control("flood all " + std::to_string(kLines) + " " + std::to_string(kWidth) + " 3", &status);
    ASSERT_EQ(status, "ok");

    std::vector<unsigned> next(kSessions, 1);
    int done = 0;
    std::vector<pollfd> fds(kSessions);
    for (int i = 0; i < kSessions; ++i)
        fds[i] = {clients[i]->events.get(), POLLIN, 0};
    while (done < kSessions) {
        ASSERT_GT(poll(fds.data(), fds.size(), kWaitMs), 0) << done << " sessions complete";
        for (int i = 0; i < kSessions; ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            std::string bytes;
            ASSERT_TRUE(recv_dgram(fds[i].fd, &bytes, 0));
            ASSERT_TRUE(take_flood_lines(bytes, clients[i]->id, &next[i], kWidth));
            ASSERT_LE(next[i], kLines + 1);
            if (next[i] == kLines + 1) ++done;
        }
    }
    // Nothing beyond the flood, and every session still answers.
    for (auto& c : clients) {
        EXPECT_EQ(request(*c, "C: echo end"), "R: 0");
        EXPECT_EQ(next_datagram(*c, 0), "end\n");
    }
}

TEST_F(SessionsTest, OutputBehindAFullQueueKeepsItsOrderAndItsAnswer) {
    auto c = connect_registered("a");
    // Far more datagrams than a Unix socket queues: the server must wait
    // for room, and the request's own output and answer must wait behind.
    constexpr unsigned kLines = 3000;
    std::string status;
    control("flood " + std::to_string(c->id) + " " + std::to_string(kLines) + " 0 1", &status);
    ASSERT_EQ(status, "ok");
    ASSERT_TRUE(write_all(c->tcp.get(), "C: echo end\n"));
    unsigned next = 1;
    std::string bytes;
    while (next <= kLines) {
        ASSERT_TRUE(recv_dgram(c->events.get(), &bytes)) << "stalled at line " << next;
        ASSERT_TRUE(take_flood_lines(bytes, c->id, &next, 0));
    }
    EXPECT_EQ(next_datagram(*c), "end\n");
    std::string answer;
    ASSERT_EQ(c->answers.read_line(&answer), 1);
    EXPECT_EQ(answer, "R: 0");
}
