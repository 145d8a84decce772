// Record building: the shell's log reader cuts records by position, so the
// layout must be exact.
#include <gtest/gtest.h>

#include "syslog_record.h"

namespace {

struct tm fixed_time() {
    struct tm when {};
    when.tm_year = 2026 - 1900;
    when.tm_mon = 11;
    when.tm_mday = 5;
    when.tm_hour = 23;
    when.tm_min = 51;
    when.tm_sec = 8;
    return when;
}

// Parses message and formats it at the fixed time.
std::string record_of(std::string_view message) {
    int priority;
    std::string_view text;
    syslog_parse(message, &priority, &text);
    return syslog_format_record(priority, text, fixed_time());
}

}  // namespace

TEST(SyslogRecord, ShellEntryGetsTheExactLayout) {
    std::string record = record_of("<69>Dec  5 23:51:58 zcon: API:telnet3:1:IN:status\n");
    EXPECT_EQ(record, "2026-12-05 23:51:08 notice zcon: API:telnet3:1:IN:status");
    EXPECT_EQ(record.substr(0, 11), "2026-12-05 ");
    EXPECT_EQ(record.substr(11, 9), "23:51:08 ");
    EXPECT_EQ(record.substr(20, 7), "notice ");
}

TEST(SyslogRecord, AcceptsPidTagsAndMissingParts) {
    EXPECT_EQ(record_of("<11>Jan 31 01:02:03 prog[42]: disk full"),
              "2026-12-05 23:51:08 err prog[42]: disk full");
    // No timestamp, no priority (user.notice), trailing CR LF and NULs.
    EXPECT_EQ(record_of("<14>kernel: up"), "2026-12-05 23:51:08 info kernel: up");
    EXPECT_EQ(record_of(std::string_view("plain text\r\n\0", 13)),
              "2026-12-05 23:51:08 notice plain text");
    // A bracket that is not a priority stays part of the text.
    EXPECT_EQ(record_of("<x>odd"), "2026-12-05 23:51:08 notice <x>odd");
}

TEST(SyslogRecord, LevelWordsFollowTheSeverity) {
    const char* words[] = {"emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"};
    for (int severity = 0; severity < 8; ++severity) {
        EXPECT_STREQ(syslog_level_word(8 * 3 + severity), words[severity]);
    }
}

TEST(SyslogRecord, ControlBytesInsideTheTextBecomeSpaces) {
    EXPECT_EQ(record_of("<69>zcon: a\nb\tc\x1b[0m"), "2026-12-05 23:51:08 notice zcon: a b c [0m");
}
