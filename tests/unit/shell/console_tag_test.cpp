// The session tag of system-log entries. It is computed once per process,
// so each terminal name is tried in a child of a process that has written no
// entry yet: keep this program free of other tests.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "console.h"
#include "seams.h"
#include "session.h"
#include "syslog_capture.h"

namespace {

using zt::capture_entry;
auto& g_entries = zt::captured_entries;

// An empty tag stands for "shell" and the child's process id.
void expect_tag(const char* tty, std::string tag) {
    EXPECT_EXIT(
        {
            if (tag.empty()) tag = "shell" + std::to_string(getpid());
            console_set_vsyslog(capture_entry);
            snprintf(tty_name, sizeof tty_name, "%s", tty);
            gnCount = 4;
            mysyslog("IN:%s\n", "status");
            bool ok = g_entries.size() == 1 && g_entries[0].text == "API:" + tag + ":4:IN:status\n";
            if (!ok) fprintf(stderr, "got %s", g_entries.empty() ? "" : g_entries[0].text.c_str());
            exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "")
        << tty;
}

TEST(ConsoleTag, NamedAfterTheTerminal) {
    expect_tag("/dev/ttyS0", "ttyS0");
    expect_tag("/dev/pts/7", "telnet7");
    expect_tag("console", "");
}

}  // namespace
