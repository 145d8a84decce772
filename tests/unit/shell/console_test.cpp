// The line printer and its system-log mirror.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "channel_fixture.h"
#include "console.h"
#include "seams.h"
#include "session.h"
#include "syslog_capture.h"

namespace {

using zt::capture_entry;
auto& g_entries = zt::captured_entries;

struct Console : ::testing::Test {
    void SetUp() override {
        console_set_vsyslog(capture_entry);
        g_entries.clear();
        newline_string = serial_newline_string;
        gbPrintToSysLog = 1;
        gnCount = 0;
        snprintf(tty_name, sizeof tty_name, "/dev/pts/3");
    }
    void TearDown() override { gbPrintToSysLog = 0; }
    // Runs shell_println and returns what it printed.
    template <typename... Args>
    std::string println(int* rc, const char* fmt, Args... args) {
        zt::StdoutCapture out;
        *rc = shell_println(fmt, args...);
        return out.text();
    }
};

TEST_F(Console, FormatLengthLimit) {
    int rc;
    std::string ok(63, 'x');
    EXPECT_EQ(println(&rc, ok.c_str()), ok + "\r\n");
    EXPECT_EQ(rc, 65);
    std::string too_long(64, 'x');
    EXPECT_EQ(println(&rc, too_long.c_str()), "");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(println(&rc, nullptr), "");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(g_entries.size(), 1u);
}

TEST_F(Console, OnlyTheLastLineFeedOfTheFormatBecomesTheLineBreak) {
    int rc;
    EXPECT_EQ(println(&rc, "one\n"), "one\r\n");
    EXPECT_EQ(println(&rc, "two\n\n"), "two\n\r\n");
    EXPECT_EQ(println(&rc, "%s", ""), "\r\n");
    EXPECT_EQ(rc, 2);
}

TEST_F(Console, MirrorCarriesTheSessionTagCountAndPrintedText) {
    int rc;
    gnCount = 2;
    println(&rc, "error: command not found");
    println(&rc, "%s", "100%");
    ASSERT_EQ(g_entries.size(), 2u);
    EXPECT_EQ(g_entries[0].priority, 69);
    // The tag is built on the first entry of the process: telnet3 here.
    EXPECT_EQ(g_entries[0].text, "API:telnet3:2:OUT:error: command not found\r\n");
    EXPECT_EQ(g_entries[1].text, "API:telnet3:2:OUT:100%\r\n");
}

TEST_F(Console, LongLinesPrintWholeButTheirMirrorIsCut) {
    int rc;
    std::string line(600, 'a');
    EXPECT_EQ(println(&rc, "%s", line.c_str()), line + "\r\n");
    ASSERT_EQ(g_entries.size(), 1u);
    EXPECT_EQ(g_entries[0].text, "API:telnet3:0:OUT:" + line.substr(0, 507));
}

TEST_F(Console, NothingIsLoggedWhenMirroringIsOff) {
    gbPrintToSysLog = 0;
    int rc;
    println(&rc, "quiet");
    EXPECT_TRUE(g_entries.empty());
}

TEST_F(Console, NullFormatLogsNothing) {
    EXPECT_EQ(mysyslog(nullptr), 0);
    EXPECT_TRUE(g_entries.empty());
}

TEST(ConsoleCallbacks, TypingStateAndLockAreTheEditorsHooks) {
    cle_inline_state_tracker(5);
    EXPECT_EQ(cle_inline, 1);
    cle_inline_state_tracker(0);
    EXPECT_EQ(cle_inline, 0);
    cle_lock_unlock_op(1, nullptr);
    EXPECT_NE(pthread_mutex_trylock(&async_stdout_mut), 0);
    cle_lock_unlock_op(0, nullptr);
    EXPECT_EQ(pthread_mutex_trylock(&async_stdout_mut), 0);
    pthread_mutex_unlock(&async_stdout_mut);
}

}  // namespace
