// The command loop as a user meets it: the "-> " mark, forwarding and its
// answers, the bang rewrite, the reboot question and the command modes.
#include <gtest/gtest.h>

#include "sim_env.h"
#include "term_tokens.h"

namespace {

using namespace std::chrono_literals;
using zt::printable;

struct Loop : ::testing::Test {
    void SetUp() override {
        sim.start_appd();
        sim.start_syslogd();  // or the live log's absence is reported at a random moment
    }
    // Starts a session and drops its greeting from the output.
    void start(std::vector<std::string> args = {}) {
        z = sim.registered_zcon(args);
        if (args.empty()) {
            ASSERT_TRUE(z->expect("Session type: telnet\r\n"));
        }
        ASSERT_TRUE(sim.wait_trace("telnet_client_2"));
        z->take(args.empty() ? "Session type: telnet\r\n" : "");
    }
    // Types line and Enter, and returns the output up to and including
    // until (the output of the line, as the user sees it).
    std::string type(const std::string& line, const std::string& until) {
        z->write(line + "\r");
        EXPECT_TRUE(z->expect(until)) << printable(z->output());
        return z->take(until);
    }
    zt::SimEnv sim;
    std::unique_ptr<zt::PtyProcess> z;
};

TEST_F(Loop, EmptyLineShowsTheMark) {
    start();
    EXPECT_EQ(type("   \t", "-> "), "   \r\n-> ");  // the tab is not echoed
    type("cmdecho off", "cmdecho off\r\ncmdecho off\r\n");
    EXPECT_EQ(type("", "-> "), "\r\n-> ");  // no echo of the line end: break first
}

TEST_F(Loop, ForwardedCommandShowsItsOutputThenItsResult) {
    start();
    EXPECT_EQ(type("echo hello", "hello\n"), "echo hello\r\nhello\n");
    EXPECT_EQ(type("nonsense", "error: command not found\r\n"),
              "nonsense\r\nerror: command not found\r\n");
    EXPECT_EQ(sim.requests().back(), "C: nonsense");
}

TEST_F(Loop, NextLineWaitsForTheAnswer) {
    start();
    z->write("sim lag 300\recho second\r");
    ASSERT_TRUE(z->expect("second\n"));
    std::string trace = sim.trace();
    size_t answer = trace.find("> R: 0", trace.find("< C: sim lag 300"));
    EXPECT_LT(answer, trace.find("< C: echo second")) << trace;
}

// Read through a model of the 80-column terminal, the screen shows the line
// that the application receives: edited after the "-> " mark, after output
// that arrived at the mark, and ended from the first of its three rows.
TEST_F(Loop, TheScreenShowsTheLineThatIsSent) {
    struct Case {
        bool event_at_mark;
        std::string keys, sent, output;
    };
    const std::string left = "\x1b[D";
    const std::string word(180, 'w');
    const Case cases[] = {
        {false, "echo abcdef" + left + left + left + "Z\x7f", "echo abcdef", "abcdef\n"},
        {true, "echo xy\x01Z", "Zecho xy", "error: command not found\r\n"},
        {false, "echo " + word + "\x01", "echo " + word, word + "\n"},
    };
    start();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent);
        type("", "-> ");
        z->take();
        if (c.event_at_mark) {
            sim.control("notify N1");
            ASSERT_TRUE(z->expect("N1\n"));
        }
        z->write(c.keys + "\r");
        ASSERT_TRUE(z->expect(c.output)) << printable(z->output());
        EXPECT_EQ(sim.requests().back(), "C: " + c.sent);
        // The terminal turns each line feed into CR LF.
        std::string shown = "-> ";
        for (const char ch : z->take())
            shown += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
        TermModel screen(80);
        ASSERT_TRUE(screen.apply(shown)) << printable(shown);
        const std::string expected = (c.event_at_mark ? "" : "-> ") + c.sent;
        std::string rows;
        for (int r = c.event_at_mark; rows.size() < expected.size(); ++r)
            rows += screen.line(r);
        EXPECT_EQ(rows, expected) << printable(shown);
    }
}

TEST_F(Loop, BangNumberBecomesARepeat) {
    start();
    EXPECT_EQ(type("!12", "reference\r\n"), "!12\r\nerror: invalid command history reference\r\n");
    EXPECT_EQ(type("!", "(s)\r\n"), "!\r\nerror: command has illegal parameter(s)\r\n");
}

TEST_F(Loop, RebootQuestionAnswers) {
    start();
    EXPECT_EQ(type("reboot", "<y,n> "), "reboot\r\nreboot, are you sure? <y,n> ");
    // Empty lines do not answer; "n" cancels silently.
    EXPECT_EQ(type("", "-> "), "\r\n-> ");
    z->write("n\recho after\r");
    ASSERT_TRUE(z->expect("after\n"));
    EXPECT_EQ(z->take(), "n\r\necho after\r\nafter\n");

    type("reboot", "<y,n> ");
    EXPECT_EQ(type("no", "aborted\r\n"), "no\r\ninfo: reboot command aborted\r\n");
    type("reboot", "<y,n> ");
    EXPECT_EQ(type("quit", "aborted\r\n"), "quit\r\ninfo: reboot command aborted\r\n");
    EXPECT_TRUE(z->running());
    EXPECT_EQ(sim.requests().back(), "C: echo after");
}

TEST_F(Loop, QuitLeavesCustomerApiModeOfATelnetSession) {
    start();
    type("apicmds", "mode...\r\n");
    type("show add x", "error: command not found\r\n");
    EXPECT_TRUE(sim.wait_trace("< E: show add x"));
    EXPECT_EQ(type("quit", "Exiting customer api *ONLY* mode\n"),
              "quit\r\nExiting customer api *ONLY* mode\n");
    type("echo normal", "normal\n");
    EXPECT_EQ(sim.requests().back(), "C: echo normal");
    z->write("quit\r");
    EXPECT_EQ(z->wait_exit(), 0);
}

TEST_F(Loop, InternalOnlyModeForwardsLocalWordsAndIsNotLeftByQuit) {
    start();
    type("devcmds", "mode...\r\n");
    type("apicmds", "\r\n");
    EXPECT_TRUE(sim.wait_trace("< D: apicmds"));
    z->write("quit\r");
    EXPECT_EQ(z->wait_exit(), 0);
}

TEST_F(Loop, AWordWithALineBreakIsRefusedAndTheNextCommandGetsItsOwnAnswer) {
    const char* const escapes[] = {"\\n", "\\r", "\\012", "\\015", "\\x0a", "\\x0d"};
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> senders;  // the local commands that send their words
        std::string line_end;              // of the application's output lines
    } sessions[] = {
        {{}, {"api", "sys", "qtool", "session name"}, "\n"},
        {{"-t", "api"}, {"session name"}, "\n"},
        {{"-t", "api-serial"}, {"session find"}, "\r\n"},
    };
    int n = 0;
    for (const auto& session : sessions) {
        z = sim.registered_zcon(session.args);
        for (const std::string& sender : session.senders) {
            for (const char* escape : escapes) {
                SCOPED_TRACE(sender + " " + escape);
                z->write(sender + " \"y" + escape + "N: name smuggled\"\r");
                ASSERT_TRUE(z->expect("error: command has illegal parameter(s)"));
                const std::string mark = "answer" + std::to_string(++n);
                z->write("echo " + mark + "\r");
                ASSERT_TRUE(z->expect(mark + session.line_end)) << printable(z->output());
                z->take();
            }
        }
        z->write("quit\r");
        EXPECT_EQ(z->wait_exit(), 0);
    }
    EXPECT_EQ(sim.trace().find("smuggled"), std::string::npos) << sim.trace();
}

}  // namespace
