// The reader of the session socket: the application's output lines reach
// the terminal whole, in order, and wait while a line is being typed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "console.h"
#include "registration.h"
#include "seams.h"
#include "session.h"
#include "syslog_capture.h"
#include "test_util.h"

namespace {

using zt::capture_entry;
auto& g_log = zt::captured_entries;

struct EventReader : ::testing::Test {
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fds), 0);
        api_async_event_fd = fds[0];
        app_.reset(fds[1]);
        // A terminal that keeps the boundaries of writes: each line must
        // reach it in a write of its own.
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, fds), 0);
        terminal_.reset(fds[0]);
        terminal_write_end_ = fds[1];
        stdout_shio = shell_io_create();
        shell_io_bind_fd(stdout_shio, terminal_write_end_);
        cle_inline = 0;
        gbPrintToSysLog = 0;
        console_set_vsyslog(capture_entry);
        g_log.clear();
        ASSERT_EQ(pthread_create(&reader_, nullptr, apiAsyncEventReaderThread, nullptr), 0);
    }
    void TearDown() override {
        // An empty datagram is passed over; shutting the socket ends the
        // reader. (The datagram's receive also orders this test's reads of
        // the captured log before the reader's last entry.)
        (void)!::send(app_.get(), "", 0, 0);
        shutdown(api_async_event_fd, SHUT_RD);
        pthread_join(reader_, nullptr);
        EXPECT_EQ(api_async_event_fd, -1);
        shell_io_destroy(stdout_shio);
        free(stdout_shio);
        stdout_shio = nullptr;
        close(terminal_write_end_);
        gbPrintToSysLog = 0;
    }
    void send(const std::string& datagram) {
        ASSERT_EQ(::send(app_.get(), datagram.data(), datagram.size(), 0),
                  static_cast<ssize_t>(datagram.size()));
    }
    // Reads what reached the terminal until it holds expected (or time is up).
    std::string terminal_until(const std::string& expected) {
        zt::wait_until([&] {
            char buf[4096];
            ssize_t n;
            while ((n = read(terminal_.get(), buf, sizeof buf)) > 0) {
                seen_.append(buf, n);
                writes_.emplace_back(buf, n);
            }
            return seen_.size() >= expected.size();
        });
        return seen_;
    }
    static size_t held_bytes() {
        int size = 0;
        pthread_mutex_lock(&async_stdout_mut);
        shell_io_get_attributes(stdout_shio, nullptr, &size, nullptr);
        pthread_mutex_unlock(&async_stdout_mut);
        return static_cast<size_t>(size);
    }

    pthread_t reader_{};
    zt::UniqueFd app_, terminal_;
    int terminal_write_end_ = -1;
    std::string seen_;
    std::vector<std::string> writes_;  // what reached the terminal, one entry per write
};

TEST_F(EventReader, LinesAreJoinedAndSplitAcrossDatagramsAndWrittenOneByOne) {
    send("one\ntwo\n");
    send("thr");
    send("ee\r\n\n\n");  // the CR goes, empty lines print nothing
    send("\tfour  \n");
    EXPECT_EQ(terminal_until("one\ntwo\nthree\nfour  \n"), "one\ntwo\nthree\nfour  \n");
    EXPECT_EQ(writes_, (std::vector<std::string>{"one\n", "two\n", "three\n", "four  \n"}));
}

TEST_F(EventReader, OutputWaitsWhileTheUserTypes) {
    cle_inline = 1;
    send("held\n");
    ASSERT_TRUE(zt::wait_until([] { return held_bytes() == 5; }));
    EXPECT_EQ(terminal_until(""), "");
    cle_inline = 0;
    flush_async_output();
    EXPECT_EQ(terminal_until("held\n"), "held\n");
}

TEST_F(EventReader, LinesAreMirroredInApiSessions) {
    gbPrintToSysLog = 1;
    send("status ok\n");
    terminal_until("status ok\n");
    ASSERT_FALSE(g_log.empty());
    EXPECT_NE(g_log[0].text.find(":OUT:status ok\n"), std::string::npos) << g_log[0].text;
}

TEST_F(EventReader, BufferFullWithoutLineEndStopsTheReader) {
    gbPrintToSysLog = 1;
    send(std::string(32768, 'x'));
    ASSERT_TRUE(zt::wait_until([] { return api_async_event_fd == -1; }));
    ASSERT_FALSE(g_log.empty());
    EXPECT_NE(g_log.back().text.find(
                  ":CRITICAL: XCOM buffer is full without new line, current buffer length: 32768"),
              std::string::npos)
        << g_log.back().text;
}

}  // namespace
