// The log view commands: show and cull filters, the format switches, and
// edits reaching a concurrent reader whole.
#include <gtest/gtest.h>
#include <pthread.h>
#include <string.h>

#include <atomic>
#include <string>
#include <thread>

#include "channel_fixture.h"
#include "commands.h"
#include "log_reader.h"
#include "session.h"

namespace {

class LogView : public ::testing::Test {
  protected:
    void SetUp() override {
        newline_string = serial_newline_string;
        cmd_fmt = kFmtNormal;
        memset(log_show_filters, 0, sizeof log_show_filters);
        memset(log_cull_filters, 0, sizeof log_cull_filters);
        log_show_date = log_show_time = log_show_level = 1;
    }
    static std::string type(const std::string& line) {
        zt::StdoutCapture capture;
        EXPECT_EQ(process_command(line.c_str()), -1) << line;
        return capture.text();
    }
    // The listing of a table: its title, the rule and each filter quoted.
    static std::string listing(const char* title, std::initializer_list<const char*> filters) {
        std::string out = std::string(title) + "\r\n--------------------\r\n";
        for (const char* f : filters)
            out += "\"" + std::string(f) + "\"\r\n";
        return out;
    }
};

constexpr const char* kShow = "Active show filters:";
constexpr const char* kCull = "Active cull filters:";

TEST_F(LogView, AddedFiltersKeepTheirSlots) {
    EXPECT_EQ(type("show"), listing(kShow, {}));
    EXPECT_EQ(type("show add ERR WARN"), "");
    EXPECT_EQ(type("show del ERR"), "");
    EXPECT_EQ(type("show add X"), "");
    EXPECT_EQ(type("show"), listing(kShow, {"X", "WARN"}));
    EXPECT_EQ(type("log cull"), listing(kCull, {}));  // the other table is untouched

    type("cull add 1 2 3 4 5 6 7 8 9 10 11 12");
    type("cull add 13");
    EXPECT_EQ(type("cull"), listing(kCull, {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}));
}

TEST_F(LogView, DeleteTakesOneCopyPerWordOrAllWithStar) {
    type("log cull add a a b");
    type("cull del a nothing");
    EXPECT_EQ(type("cull"), listing(kCull, {"a", "b"}));
    EXPECT_EQ(type("cull del"), "");
    EXPECT_EQ(type("cull add"), "");
    EXPECT_EQ(type("cull"), listing(kCull, {"a", "b"}));
    EXPECT_EQ(type("cull del * b"), "");
    EXPECT_EQ(type("cull"), listing(kCull, {}));
}

TEST_F(LogView, UsageAndUnknownWords) {
    const auto usage = [](const std::string& w) {
        return "usage: [log] " + w + " add <filterstring> [<filterstring>...]\r\n" +
               "       [log] " + w + " del <filterstring> [<filterstring>...]\r\n" +
               "       [log] " + w + " del *\r\n" + "       [log] " + w + "\r\n";
    };
    EXPECT_EQ(type("cull remove x"), usage("cull"));
    EXPECT_EQ(type("log show ADD x"), usage("show"));
    EXPECT_EQ(type("log"), "valid log commands: format show cull\r\n");
    EXPECT_EQ(type("log Show"), "");
}

TEST_F(LogView, FormatWordsAreTheWholeNewFormat) {
    EXPECT_EQ(type("log format time level"), "");
    EXPECT_EQ(log_show_date, 0);
    EXPECT_EQ(log_show_time & log_show_level, -1);
    type("log format");
    EXPECT_EQ(log_show_date | log_show_time | log_show_level, 0);
    log_show_date = log_show_time = log_show_level = 1;
    type("log format Date bogus");
    EXPECT_EQ(log_show_date | log_show_time | log_show_level, 0);
}

TEST_F(LogView, OverlongFilterIsCutToItsSlot) {
    strcpy(log_show_filters[1], "keep");
    const std::string word(300, 'w');
    type("show add " + word);
    EXPECT_EQ(std::string(log_show_filters[0]), std::string(255, 'w'));
    // The same word deletes what adding it stored; a shorter one does not.
    type("show del " + std::string(254, 'w'));
    EXPECT_NE(log_show_filters[0][0], '\0');
    type("show del " + word);
    EXPECT_EQ(log_show_filters[0][0], '\0');
    EXPECT_STREQ(log_show_filters[1], "keep");
}

// A reader that holds log_view_mut while it looks at the settings, as the
// log reader does for each record, only ever sees whole filters and formats.
TEST_F(LogView, ReaderUnderTheLockNeverSeesHalfAnEdit) {
    const std::string a(200, 'a'), b(200, 'b');
    std::atomic<bool> stop{false};
    std::atomic<int> looks{0}, torn{0};
    log_show_date = log_show_time = log_show_level = 0;
    std::thread reader([&] {
        while (!stop) {
            pthread_mutex_lock(&log_view_mut);
            for (const auto& slot : log_show_filters) {
                if (slot[0] != '\0' && slot != a && slot != b) ++torn;
            }
            const int sum = log_show_date + log_show_time + log_show_level;
            if (sum != 0 && sum != -3) ++torn;
            pthread_mutex_unlock(&log_view_mut);
            ++looks;
        }
    });
    // These edits print nothing, so they run without capturing output.
    const std::string edits[] = {
        "show add " + a + " " + b,    "show del " + a, "show add " + b, "show del *",
        "log format date time level", "log format"};
    for (int i = 0; (i < 2000 || looks < 100) && i < 200000; ++i) {
        for (const std::string& edit : edits)
            process_command(edit.c_str());
    }
    stop = true;
    reader.join();
    EXPECT_EQ(torn, 0);
    EXPECT_GE(looks, 100);
}

}  // namespace
