// The line printer, its system-log mirror, and the live log's record shaping.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "console.h"
#include "log_reader.h"
#include "seams.h"
#include "session.h"

namespace {

std::vector<std::string> logged;  // entries as the system logger got them

void capture_entry(int priority, const char* format, va_list ap) {
    char text[2048];
    vsnprintf(text, sizeof text, format, ap);
    logged.push_back(std::to_string(priority) + " " + text);
}

TEST(Console, PrintsAndMirrors) {
    const std::string x63(63, 'x'), x64(64, 'x'), a600(600, 'a');
    const struct {
        const char* format;
        const char* arg;
        std::string printed;
        int rc;
        std::string mirrored;  // "" when nothing is logged
        int count = 2;
        bool mirror = true;
    } rows[] = {
        {"error: command not found", "", "error: command not found\r\n", 26,
         "69 API:telnet3:2:OUT:error: command not found\r\n"},
        {"%s", "100%", "100%\r\n", 6, "69 API:telnet3:0:OUT:100%\r\n", 0},
        {x63.c_str(), "", x63 + "\r\n", 65, "69 API:telnet3:2:OUT:" + x63 + "\r\n"},
        {x64.c_str(), "", "", -1, ""},  // formats are at most 63 characters
        {nullptr, "", "", -1, ""},
        {"one\n", "", "one\r\n", 5, "69 API:telnet3:2:OUT:one\r\n"},
        {"two\n\n", "", "two\n\r\n", 6, "69 API:telnet3:2:OUT:two\n\r\n"},
        {"%s", a600.c_str(), a600 + "\r\n", 602, "69 API:telnet3:2:OUT:" + a600.substr(0, 507)},
        {"quiet", "", "quiet\r\n", 7, "", 2, false},
    };
    console_set_vsyslog(capture_entry);
    newline_string = serial_newline_string;
    snprintf(tty_name, sizeof tty_name, "/dev/pts/3");
    for (const auto& r : rows) {
        SCOPED_TRACE(r.printed);
        logged.clear();
        gbPrintToSysLog = r.mirror;
        gnCount = r.count;
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(shell_println(r.format, r.arg), r.rc);
        fflush(stdout);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), r.printed);
        EXPECT_EQ(logged, r.mirrored.empty() ? std::vector<std::string>{}
                                             : std::vector<std::string>{r.mirrored});
    }
    EXPECT_EQ(mysyslog(nullptr), 0);
    gbPrintToSysLog = 0;
    console_set_vsyslog(nullptr);
}

TEST(Console, TypingStateAndLockAreTheEditorsHooks) {
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

// Each row sets the filters and switches, then shows one record: the text
// printed, or "-" when the record is dropped.
TEST(LiveLog, FiltersAndFormat) {
    const std::string rec = "2026-12-05 23:51:58 notice zcon: API:telnet3:1:IN:status";
    const struct {
        std::vector<const char*> show, cull;
        int date, time, level;
        std::string record, shown;
    } rows[] = {
        {{}, {}, 1, 1, 1, rec, rec},
        {{"2026"}, {}, 1, 1, 1, rec, "-"},  // filters search from the level word on
        {{"", "", "", "status"}, {}, 1, 1, 1, rec, rec},
        {{"STATUS"}, {}, 1, 1, 1, rec, "-"},
        {{"status"}, {"", "telnet3"}, 1, 1, 1, rec, "-"},  // cull wins
        {{"nothing"}, {"short"}, 0, 1, 1, "a short record of 24 chr", "a short record of 24 chr"},
        {{"nothing"}, {"short"}, 0, 1, 1, "a short record of 25 chrs", "-"},
        {{}, {}, 0, 1, 1, rec, "23:51:58 notice zcon: API:telnet3:1:IN:status"},
        {{}, {}, -1, 1, 0, rec, "2026-12-05 23:51:58 zcon: API:telnet3:1:IN:status"},
        {{}, {}, 0, 0, 0, rec, "zcon: API:telnet3:1:IN:status"},
        {{}, {}, 1, 0, 0, "2026-12-05 23:51:58   two spaces", "2026-12-05  two spaces"},
        {{}, {}, 1, 0, 0, "2026-12-05 23:51:58 oneword", "2026-12-05 "},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.shown);
        memset(log_show_filters, 0, sizeof log_show_filters);
        memset(log_cull_filters, 0, sizeof log_cull_filters);
        for (size_t i = 0; i < r.show.size(); ++i)
            strcpy(log_show_filters[i], r.show[i]);
        for (size_t i = 0; i < r.cull.size(); ++i)
            strcpy(log_cull_filters[i], r.cull[i]);
        log_show_date = r.date, log_show_time = r.time, log_show_level = r.level;
        char out[1100];
        EXPECT_EQ(log_format_record(r.record.c_str(), out, sizeof out) ? out : "-", r.shown);
    }
}

}  // namespace
