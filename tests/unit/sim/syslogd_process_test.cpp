// The syslogd program: messages in, records out to the log file and to the
// listener sockets found after SIGHUP.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sim_test_util.h"

namespace {

class SyslogdTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(mkdir(listeners_.c_str(), 0777), 0);
        daemon_ = start(socket_, dir_.file("pid"));
        ASSERT_GT(daemon_.pid, 0);
    }
    void TearDown() override {
        if (daemon_.pid > 0) {
            kill(daemon_.pid, SIGTERM);
            EXPECT_EQ(wait_exit(daemon_.pid), 0);
        }
    }

    // Starts syslogd on socket and waits until it serves (its pid file).
    Child start(const std::string& socket, const std::string& pid_file) {
        Child child = spawn({bin_dir() + "/syslogd", "--socket", socket, "--listeners", listeners_,
                             "--log-file", dir_.file("log"), "--pid-file", pid_file});
        EXPECT_TRUE(wait_until([&] { return !read_file(pid_file).empty(); }));
        return child;
    }

    TempDir dir_;
    std::string socket_ = dir_.file("log.sock");
    std::string listeners_ = dir_.file("listeners/");
    Child daemon_;
};

}  // namespace

TEST_F(SyslogdTest, ListenersGetRecordsAfterSighupAndGoneOnesAreDropped) {
    UniqueFd a(bind_dgram(listeners_ + "zcon1"));
    UniqueFd b(bind_dgram(listeners_ + "zcon2"));
    ASSERT_EQ(kill(daemon_.pid, SIGHUP), 0);
    ASSERT_TRUE(send_dgram_to(socket_, "<69>Dec  5 23:51:58 zcon: API:telnet3:1:IN:status\n"));
    std::string record;
    ASSERT_TRUE(recv_dgram(a.get(), &record));
    ASSERT_EQ(record.size(), 20u + 36u) << record;
    EXPECT_EQ(record[4], '-');
    EXPECT_EQ(record[10], ' ');
    EXPECT_EQ(record[13], ':');
    EXPECT_EQ(record[19], ' ');
    EXPECT_EQ(record.substr(20), "notice zcon: API:telnet3:1:IN:status");
    ASSERT_TRUE(recv_dgram(b.get(), &record));

    // zcon1 goes away. Its path is bound again by a new socket, which must
    // not receive anything until the next SIGHUP: zcon1 sorts before zcon2,
    // so a record for it would have arrived before zcon2's.
    a.reset();
    unlink((listeners_ + "zcon1").c_str());
    ASSERT_TRUE(send_dgram_to(socket_, "<69>zcon: second"));
    ASSERT_TRUE(recv_dgram(b.get(), &record));
    UniqueFd again(bind_dgram(listeners_ + "zcon1"));
    std::string long_text(1500, 'x');
    ASSERT_TRUE(send_dgram_to(socket_, "<69>zcon: " + long_text));
    ASSERT_TRUE(recv_dgram(b.get(), &record));
    EXPECT_EQ(record.substr(20), "notice zcon: " + long_text);  // not cut at 1024
    EXPECT_FALSE(recv_dgram(again.get(), &record, 0));

    auto logged = split_lines(read_file(dir_.file("log")));
    ASSERT_EQ(logged.size(), 3u);
    EXPECT_EQ(logged[0].substr(20), "notice zcon: API:telnet3:1:IN:status");
    EXPECT_EQ(logged[1].substr(20), "notice zcon: second");

    // zcon3 ends and leaves its file behind: reported once, not again after
    // each rescan; a new socket bound at its path gets records again.
    close(bind_dgram(listeners_ + "zcon3"));
    for (const char* text : {"stale 1", "stale 2", "stale 3"}) {
        ASSERT_EQ(kill(daemon_.pid, SIGHUP), 0);
        ASSERT_TRUE(send_dgram_to(socket_, std::string("<69>zcon: ") + text));
        ASSERT_TRUE(recv_dgram(b.get(), &record));
    }
    UniqueFd c(bind_dgram(listeners_ + "zcon3"));
    ASSERT_EQ(kill(daemon_.pid, SIGHUP), 0);
    ASSERT_TRUE(send_dgram_to(socket_, "<69>zcon: back"));
    ASSERT_TRUE(recv_dgram(c.get(), &record));

    kill(daemon_.pid, SIGTERM);
    EXPECT_EQ(wait_exit(daemon_.pid), 0);
    EXPECT_EQ(read_all(daemon_.output.get()),
              "syslogd: listener " + listeners_ + "zcon1 has gone, dropped\n" +
                  "syslogd: listener " + listeners_ + "zcon3 has gone, dropped\n");
    daemon_.pid = -1;
    // A clean stop takes the input socket and the pid file away.
    EXPECT_NE(access(socket_.c_str(), F_OK), 0);
    EXPECT_NE(access(dir_.file("pid").c_str(), F_OK), 0);
}

TEST_F(SyslogdTest, SecondLoggerLeavesAnOwnedSocketAlone) {
    Child second = start(socket_, dir_.file("pid2"));
    ASSERT_GT(second.pid, 0);
    kill(second.pid, SIGTERM);
    EXPECT_EQ(wait_exit(second.pid), 0);
    EXPECT_NE(read_all(second.output.get()).find("belongs to another system logger"),
              std::string::npos);
    // The first one still owns and serves the socket.
    UniqueFd l(bind_dgram(listeners_ + "zcon1"));
    ASSERT_EQ(kill(daemon_.pid, SIGHUP), 0);
    ASSERT_TRUE(send_dgram_to(socket_, "<69>zcon: still here"));
    std::string record;
    ASSERT_TRUE(recv_dgram(l.get(), &record));
    EXPECT_EQ(record.substr(20), "notice zcon: still here");
}
