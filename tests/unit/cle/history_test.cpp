// The history ring and the library's behaviour off a terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "cle.h"
#include "cle_internal.h"
#include "seams.h"

namespace {

TEST(History, FreshStoreAndSwitches) {
    EXPECT_EQ(cle_history_size(), 0);
    EXPECT_EQ(cle_history_get_start(), 0);
    EXPECT_EQ(cle_history(5), nullptr);
    EXPECT_EQ(cle_history_replace_last_entry(nullptr), -1);
    EXPECT_EQ(cle_history(0), nullptr);
    EXPECT_EQ(cle_history_decr_circular(0), 0);
    EXPECT_EQ(cle_history_decr_circular(10), 9);
    EXPECT_EQ(cle_history_command_filter(7), 1);
    EXPECT_EQ(cle_history_command_filter(0), 1);
    EXPECT_EQ(cle_history_command_filter(-3), 0);
    EXPECT_EQ(cle_history_command_filter(1), 1);
}

TEST(History, RingDropsTheOldestAndReplacesTheNewest) {
    for (int i = 0; i < 70; ++i)
        ASSERT_EQ(cle_history_test_add(std::to_string(i).c_str()), 0);
    // 70 lines in 64 slots: 6..69 remain, the oldest (6) in slot 6.
    EXPECT_EQ(cle_history_size(), 64);
    EXPECT_EQ(cle_history_get_start(), 6);
    EXPECT_STREQ(cle_history(6), "6");
    EXPECT_STREQ(cle_history(5), "69");
    EXPECT_EQ(cle_history_replace_last_entry("newest"), 0);
    EXPECT_STREQ(cle_history(5), "newest");
    EXPECT_EQ(cle_history_size(), 64);

    // A full ring whose next-free slot is 0 keeps its newest in slot 63.
    cle_cleanup();
    for (int i = 0; i < 64; ++i)
        cle_history_test_add(std::to_string(i).c_str());
    EXPECT_EQ(cle_history_decr_circular(0), 63);
    EXPECT_EQ(cle_history_replace_last_entry("last"), 0);
    EXPECT_STREQ(cle_history(63), "last");
    EXPECT_STREQ(cle_history(0), "0");

    // Releasing twice frees nothing twice (the address sanitizer watches).
    cle_cleanup();
    cle_cleanup();
    EXPECT_EQ(cle_history_size(), 0);
    EXPECT_EQ(cle_history(63), nullptr);
}

TEST(Terminal, InitFailsOffATerminal) {
    const int saved = dup(STDIN_FILENO);
    const int null = open("/dev/null", O_RDONLY);
    ASSERT_GE(null, 0);
    dup2(null, STDIN_FILENO);
    testing::internal::CaptureStderr();
    const int rc = cle_init();
    const std::string err = testing::internal::GetCapturedStderr();
    dup2(saved, STDIN_FILENO);
    close(saved);
    close(null);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err.rfind("save_term_settings() failed\n: ", 0), 0u) << err;
    // Nothing was saved, so there is nothing to restore.
    EXPECT_EQ(cle_reset_term(), -1);
    EXPECT_EQ(cle_cleanup(), 0);
}

}  // namespace
