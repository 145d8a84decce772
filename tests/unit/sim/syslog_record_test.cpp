// The system log's record layout: the shell's log reader cuts records by
// position, so every byte's place matters.
#include <gtest/gtest.h>
#include <time.h>

#include "syslog_record.h"

TEST(SyslogRecord, Layout) {
    tm when{};
    strptime("2026-12-05 23:51:08", "%F %T", &when);
    const struct {
        std::string_view message;
        const char* record;  // after "2026-12-05 23:51:08 "
    } rows[] = {
        {"<69>Dec  5 23:51:58 zcon: API:telnet3:1:IN:status\n",
         "notice zcon: API:telnet3:1:IN:status"},
        {"<11>Jan 31 01:02:03 prog[42]: disk full", "err prog[42]: disk full"},
        {"<14>kernel: up", "info kernel: up"},
        {std::string_view("plain text\r\n\0", 13), "notice plain text"},
        {"<x>odd", "notice <x>odd"},
        {"<69>zcon: a\nb\tc\x1b[0m", "notice zcon: a b c [0m"},
        {"<24>x", "emerg x"},
        {"<25>x", "alert x"},
        {"<26>x", "crit x"},
        {"<28>x", "warning x"},
        {"<31>x", "debug x"},
    };
    for (const auto& row : rows) {
        int priority;
        std::string_view text;
        syslog_parse(row.message, &priority, &text);
        EXPECT_EQ(syslog_format_record(priority, text, when),
                  std::string("2026-12-05 23:51:08 ") + row.record);
    }
}
