// Output from the appliance: the application's lines and the live system
// log reach the terminal whole, in order, exactly once, and never inside a
// line the user is typing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include "sim_env.h"

namespace {

using namespace std::chrono_literals;
using zt::printable;

struct Output : ::testing::Test {
    void SetUp() override {
        sim.start_appd();
        sim.start_syslogd();
    }
    std::unique_ptr<zt::PtyProcess> telnet() {
        auto z = sim.registered_zcon({});
        EXPECT_TRUE(z->expect("Session type: telnet\r\n"));
        z->take("Session type: telnet\r\n");
        return z;
    }
    // The session's id at the application.
    std::string session_id() {
        auto sessions = sim.control("sessions");
        EXPECT_EQ(sessions.size(), 1u);
        return sessions.empty() ? "" : sessions[0].substr(0, sessions[0].find(' '));
    }
    // Has the application send count numbered lines of width characters to
    // session id; returns them as they are expected on the terminal.
    std::string flood(const std::string& id, int count, int width, int per_datagram) {
        std::string lines;
        for (int n = 1; n <= count; ++n) {
            std::string line = "flood " + id + " " + std::to_string(n);
            line.append(std::max<size_t>(line.size(), width) - line.size(), '.');
            lines += line + "\n";
        }
        std::string status;
        sim.control("flood " + id + " " + std::to_string(count) + " " + std::to_string(width) +
                        " " + std::to_string(per_datagram),
                    &status);
        EXPECT_EQ(status, "ok");
        return lines;
    }
    // Types s one key at a time, each once its echo is back.
    static void type_keys(zt::PtyProcess& z, const std::string& s, std::string* seen) {
        for (char c : s) {
            z.write(std::string(1, c));
            std::string echo = c == '\r' ? "\r\n" : std::string(1, c);
            ASSERT_TRUE(z.expect(echo)) << printable(z.output().substr(0, 200));
            *seen += z.take(echo);
        }
    }
    zt::SimEnv sim;
};

TEST_F(Output, LinesArrivingWhileTypingWaitForTheLineEnd) {
    auto z = telnet();
    std::string seen;
    type_keys(*z, "ab", &seen);
    sim.control("notify N1");
    type_keys(*z, "cd\r", &seen);
    ASSERT_TRUE(z->read_until([](const std::string& out) {
        return out.find("N1\n") != std::string::npos &&
               out.find("error: command not found\r\n") != std::string::npos;
    }));
    seen += z->take();
    // The held line comes after the typed one; whether before or after the
    // line's own answer depends on who flushes first.
    EXPECT_TRUE(seen == "abcd\r\nerror: command not found\r\nN1\n" ||
                seen == "abcd\r\nN1\nerror: command not found\r\n")
        << printable(seen);
}

// A word of letters that never occur in the application's numbered lines.
std::string marker(int n) {
    static const std::string letters = "abceghijkmnpqrstuvwxyz";
    std::string word = "#";
    for (int i = 0; i < 3; ++i, n /= 22)
        word += letters[n % 22];
    return word;
}

// The output as the screen ends up showing it: where the shell took the
// line being typed off the screen (CR, ESC [ J) to let held output out, what
// stood on that row is gone.
std::string without_hidden_rows(const std::string& out) {
    static const std::string hide = "\r\x1b[J";
    std::string shown;
    for (size_t at = 0;;) {
        const size_t next = out.find(hide, at);
        shown.append(out, at, next == std::string::npos ? next : next - at);
        if (next == std::string::npos) return shown;
        const size_t row = shown.rfind('\n');
        shown.erase(row == std::string::npos ? 0 : row + 1);
        at = next + hide.size();
    }
}

TEST_F(Output, HundredThousandLinesArriveOnceInOrderAroundTypedLines) {
    auto z = telnet();
    const std::string id = session_id();
    struct Burst {
        int count, width, per_datagram;
    };
    const Burst bursts[] = {{40000, 30, 20}, {30000, 90, 1}, {20000, 300, 5}, {10000, 500, 1}};
    std::string expected;
    for (const auto& b : bursts)
        expected += flood(id, b.count, b.width, b.per_datagram);
    const std::string last =
        "flood " + id + " 10000" + std::string(500 - 12 - id.size(), '.') + "\n";
    std::string seen;
    std::vector<std::string> typed;
    // Comment lines: typed and echoed, but they print nothing themselves.
    for (int n = 0; n < 60; ++n) {
        typed.push_back(marker(n));
        type_keys(*z, typed.back() + "\r", &seen);
        seen += z->take();
    }
    // Then read on until the last line is in, looking only at the new part.
    auto deadline = std::chrono::steady_clock::now() + 180s;
    size_t searched = 0;
    while (seen.find(last, searched) == std::string::npos) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "only " << seen.size() << " bytes";
        searched = seen.size() > last.size() ? seen.size() - last.size() : 0;
        z->read_until([](const std::string& out) { return out.size() > 65536; }, 50ms);
        seen += z->take();
    }
    seen = without_hidden_rows(seen);
    for (const auto& line : typed) {
        size_t at = seen.find(line + "\r\n");
        if (at == std::string::npos) {
            size_t near = seen.find(line.substr(0, 1) + line.substr(line.size() - 2, 1));
            near = near > 100 ? near - 100 : 0;
            FAIL() << line << " was broken up: "
                   << printable(seen.substr(near == std::string::npos ? 0 : near, 300));
        }
        seen.erase(at, line.size() + 2);
    }
    EXPECT_TRUE(seen == expected) << "got " << seen.size() << " bytes, expected "
                                  << expected.size();
}

TEST_F(Output, HeldOutputGoesOutOverAHalfTypedLineThatIsKept) {
    auto z = telnet();
    std::string seen;
    type_keys(*z, "ab", &seen);
    // Thirty times what is held while a line is typed: most of it must come
    // out before the line is ended, the line drawn again below it.
    const int count = 20000;
    const int width = 100;
    const std::string expected = flood(session_id(), count, width, 10);
    ASSERT_TRUE(
        z->read_until([&](const std::string& out) { return out.size() > count * width / 2u; }, 60s))
        << "only " << z->output().size() << " bytes";
    type_keys(*z, "c\r", &seen);
    ASSERT_TRUE(z->read_until(
        [&](const std::string& out) {
            return out.find("error: command not found\r\n") != std::string::npos &&
                   out.find(expected.substr(expected.size() - width - 1)) != std::string::npos;
        },
        60s));
    seen = without_hidden_rows(seen + z->take());
    for (const std::string own : {"abc\r\n", "error: command not found\r\n"}) {
        const size_t at = seen.find(own);
        ASSERT_NE(at, std::string::npos) << own;
        seen.erase(at, own.size());
    }
    EXPECT_TRUE(seen == expected) << "got " << seen.size() << " bytes, expected "
                                  << expected.size();
    EXPECT_EQ(sim.requests().back(), "C: abc");
}

// Writes one entry to the system log, as any program on the appliance does.
void log_entry(const char* text) {
    openlog("probe", 0, LOG_USER);
    syslog(LOG_NOTICE, "%s", text);
    closelog();
}

struct LiveLog : Output {
    // Waits until syslogd feeds the session's log listener.
    void wait_log_ready(zt::PtyProcess& z) {
        int n = 0;
        ASSERT_TRUE(zt::wait_until(
            [&] {
                std::string probe = "ready" + std::to_string(++n);
                log_entry(probe.c_str());
                return z.expect(probe + "\n", 20ms);
            },
            10000ms))
            << printable(z.output());
        z.take();
    }
};

TEST_F(LiveLog, ApiSessionEntriesShowInTheTelnetSession) {
    auto watcher = telnet();
    wait_log_ready(*watcher);
    auto api = sim.registered_zcon({"-t", "api", "--nobanner"});
    std::string api_tag = "telnet" + api->tty_name().substr(9);
    api->write("version\r");
    EXPECT_TRUE(watcher->expect(" notice zcon: API:" + api_tag + ":1:IN:version\n"))
        << printable(watcher->output());
    EXPECT_TRUE(sim.wait_message("zcon: API:" + api_tag + ":1:OUT:"));
}

TEST_F(LiveLog, FiltersAndFormatShapeTheLog) {
    auto z = telnet();
    wait_log_ready(*z);
    z->write("show add kept\rcull add dropped\rlog format time\r\r");
    ASSERT_TRUE(z->expect("-> "));  // all three have been carried out
    log_entry("dropped but kept");
    log_entry("not shown");
    log_entry("kept");
    ASSERT_TRUE(z->expect("probe: kept\n")) << printable(z->output());
    std::string out = z->take();
    EXPECT_EQ(out.find("not shown"), std::string::npos);
    EXPECT_EQ(out.find("dropped but"), std::string::npos);
    // The time and the message: no date, no level word.
    size_t line = out.rfind('\n', out.size() - 2) + 1;
    std::string shown = out.substr(line);
    if (shown.rfind("-> ", 0) == 0) shown.erase(0, 3);  // right after the mark
    ASSERT_EQ(shown.size(), 21u) << shown;
    EXPECT_EQ(shown[2], ':');
    EXPECT_EQ(shown.substr(8), " probe: kept\n");
}

TEST_F(Output, WithoutSyslogdTheSessionSaysSoOnceAndGoesOn) {
    sim.stop_syslogd();
    auto z = sim.registered_zcon({});
    ASSERT_TRUE(z->expect("logReaderThread: syslogd not running\r\n"));
    z->write("echo still here\r");
    ASSERT_TRUE(z->expect("still here\n"));
    std::string out = z->output();
    EXPECT_EQ(out.find("syslogd not running"), out.rfind("syslogd not running"));
}

TEST_F(LiveLog, StaleListenerFileIsReplaced) {
    for (int n = 0; n < 4; ++n) {
        std::string path = "/tmp/sysloglisteners/zcon" + std::to_string(n);
        close(open(path.c_str(), O_CREAT | O_WRONLY, 0644));
    }
    auto z = telnet();
    wait_log_ready(*z);
}

}  // namespace
