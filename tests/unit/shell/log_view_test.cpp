// How the live log filters and shapes syslogd records.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "log_reader.h"

namespace {

// date (11) | time (9) | level word, space, message
const std::string kRecord = "2026-12-05 23:51:58 notice zcon: API:telnet3:1:IN:status";

struct LogView : ::testing::Test {
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        memset(log_show_filters, 0, sizeof log_show_filters);
        memset(log_cull_filters, 0, sizeof log_cull_filters);
        log_show_date = log_show_time = log_show_level = 1;
    }
    // The text printed for a record, or "<dropped>".
    static std::string shown(const std::string& record) {
        char out[1100];
        return log_format_record(record.c_str(), out, sizeof out) ? out : "<dropped>";
    }
};

TEST_F(LogView, EveryRecordIsShownAsReceivedByDefault) {
    EXPECT_EQ(shown(kRecord), kRecord);
    EXPECT_EQ(shown(""), "");
}

TEST_F(LogView, ShowFiltersSearchFromTheLevelWordOn) {
    strcpy(log_show_filters[0], "2026");    // only in the date: no match
    strcpy(log_show_filters[3], "status");  // in the message
    EXPECT_EQ(shown(kRecord), kRecord);
    log_show_filters[3][0] = '\0';
    EXPECT_EQ(shown(kRecord), "<dropped>");
    strcpy(log_show_filters[9], "notice");
    EXPECT_EQ(shown(kRecord), kRecord);
    strcpy(log_show_filters[9], "STATUS");  // case counts
    EXPECT_EQ(shown(kRecord), "<dropped>");
}

TEST_F(LogView, CullFiltersWinOverShowFilters) {
    strcpy(log_show_filters[0], "status");
    strcpy(log_cull_filters[5], "telnet3");
    EXPECT_EQ(shown(kRecord), "<dropped>");
}

TEST_F(LogView, ShortRecordsIgnoreFiltersAndSwitches) {
    strcpy(log_show_filters[0], "nothing like it");
    strcpy(log_cull_filters[0], "short");
    log_show_date = 0;
    EXPECT_EQ(shown("a short record of 24 chr"), "a short record of 24 chr");
    EXPECT_EQ(shown("a short record of 25 chrs"), "<dropped>");
}

TEST_F(LogView, FormatSwitchesDropTheirFields) {
    log_show_date = 0;
    EXPECT_EQ(shown(kRecord), "23:51:58 notice zcon: API:telnet3:1:IN:status");
    log_show_date = -1;
    log_show_level = 0;
    EXPECT_EQ(shown(kRecord), "2026-12-05 23:51:58 zcon: API:telnet3:1:IN:status");
    log_show_date = log_show_time = 0;
    EXPECT_EQ(shown(kRecord), "zcon: API:telnet3:1:IN:status");
}

TEST_F(LogView, LevelOffSkipsOnlyASpaceAtTheLevelPosition) {
    log_show_level = 0;
    log_show_time = 0;
    EXPECT_EQ(shown("2026-12-05 23:51:58   two spaces"), "2026-12-05  two spaces");
    // No space after the level word: nothing of the text part is left.
    EXPECT_EQ(shown("2026-12-05 23:51:58 oneword"), "2026-12-05 ");
}

}  // namespace
