// Dispatch to the local commands and the commands themselves, with the
// requests they send observed at a stand-in application on a real connection.
// Nothing forks: a recording runner stands in for /bin/sh.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "channel.h"
#include "channel_fixture.h"
#include "cle.h"
#include "commands.h"
#include "log_reader.h"
#include "seams.h"
#include "session.h"

namespace {

using Lines = std::vector<std::string>;

Lines commands_run;
std::string env_listing;  // what the stand-in fw_printenv writes
int exit_status;

// Records the line and, for the printenv line, writes the listing where the
// real redirection would: to the descriptor the line names.
int recording_runner(const char* command) {
    commands_run.emplace_back(command);
    int fd = -1;
    if (sscanf(command, "fw_printenv > /proc/self/fd/%d", &fd) != 1) return 0;
    const ssize_t n = pwrite(fd, env_listing.data(), env_listing.size(), 0);
    return n == static_cast<ssize_t>(env_listing.size()) ? 0 : -1;
}

void recording_exit(int status) {
    exit_status = status;
}

class Commands : public zt::ChannelFixture {
  protected:
    void SetUp() override {
        ChannelFixture::SetUp();
        newline_string = serial_newline_string;
        strcpy(session_type, "telnet");
        session_settle_type();
        prompt_enabled = cmdecho_state = 1;
        commands_run.clear();
        env_listing.clear();
        exit_status = -1;
        cle_cleanup();  // empties the history ring
        old_runner_ = system_pthread_set_runner(recording_runner);
        old_exit_ = exit_cmd_set_hook(recording_exit);
    }
    void TearDown() override {
        system_pthread_set_runner(old_runner_);
        exit_cmd_set_hook(old_exit_);
        cle_cleanup();
        ChannelFixture::TearDown();
    }
    // Offers line as the main loop does, forwarding it when it is not handled
    // here; returns what was printed.
    static std::string type(const std::string& line) {
        zt::StdoutCapture capture;
        if (process_command(line.c_str()) == 0) send_command(line.c_str());
        return capture.text();
    }
    // The requests the application has seen, once count have arrived.
    Lines requests(size_t count) {
        EXPECT_TRUE(peer.wait_lines(count));
        return peer.lines();
    }

  private:
    CommandRunnerT old_runner_ = nullptr;
    ExitHookT old_exit_ = nullptr;
};

constexpr const char* kNeedsMore =
    "error: command needs more parameters to execute successfully\r\n";
constexpr const char* kIllegal = "error: command has illegal parameter(s)\r\n";

const char* const kNormalOnly[] = {"test", "api",   "apicmds", "cull", "devcmds",
                                   "log",  "qtool", "prompt",  "show", "sys"};
const char* const kEveryMode[] = {"shell",   "!",        "cmdecho", "exit",    "hist",
                                  "history", "printenv", "repeat",  "session", "setenv"};

TEST_F(Commands, RestrictedModesForwardTheNormalOnlyWords) {
    Lines expected;
    for (const char* fmt : {kFmtCustomerApi, kFmtInternal}) {
        for (const char* word : kNormalOnly) {
            cmd_fmt = fmt;
            EXPECT_EQ(type(std::string(word) + " x"), "") << word;
            expected.push_back(std::string(fmt, 3) + word + " x");
        }
        for (const char* word : kEveryMode) {
            cmd_fmt = fmt;
            zt::StdoutCapture capture;
            EXPECT_EQ(process_command(word), -1) << fmt << word;
            capture.text();
        }
    }
    EXPECT_EQ(requests(expected.size()), expected);
    EXPECT_EQ(exit_status, 0);  // "exit" ran
}

TEST_F(Commands, StickyModeCommands) {
    EXPECT_EQ(type("apicmds"), "Entering sticky customer api commands *ONLY* mode...\r\n");
    EXPECT_STREQ(cmd_fmt, "E: %s");
    cmd_fmt = "C: %s";  // the mode is read by content, not by address
    EXPECT_EQ(type("devcmds"), "Entering sticky internal commands *ONLY* mode...\r\n");
    EXPECT_STREQ(cmd_fmt, "D: %s");
}

TEST_F(Commands, WhatIsNotACommand) {
    EXPECT_EQ(process_command("Show"), 0);
    EXPECT_EQ(process_command("status"), 0);
    EXPECT_EQ(process_command(""), 0);
    EXPECT_EQ(type("# anything"), "");
    const char line[] = "test \"a\\x41\" \"b\\";
    EXPECT_EQ(type(line), "Invalid command\r\n");
    EXPECT_STREQ(line, "test \"a\\x41\" \"b\\");  // the caller's line is left alone
    EXPECT_TRUE(peer.lines().empty());
}

TEST_F(Commands, FixedAnswers) {
    EXPECT_EQ(type("test a \"b c\""), "argc=3\r\nargv[0]=test\r\nargv[1]=a\r\nargv[2]=b c\r\n");
    EXPECT_EQ(type("shell"), "error: command not found\r\n");
    strcpy(session_type, "api-serial");
    session_settle_type();
    EXPECT_EQ(type("shell ls"), "error: command not found\r\n");
    type("exit now");
    EXPECT_EQ(exit_status, 0);
}

TEST_F(Commands, OneOffRequestsInTheirOwnFormat) {
    EXPECT_EQ(type("api"), "");
    EXPECT_EQ(type("api  get   x"), "");
    EXPECT_EQ(type("api set \"a b\""), "");
    EXPECT_EQ(type("qtool status"), "");
    EXPECT_EQ(type("sys status"), "");
    EXPECT_EQ(type("api " + std::string(300, 'w') + " " + std::string(300, 'w')), kIllegal);
    EXPECT_EQ(type("session"), kNeedsMore);
    EXPECT_EQ(type("session name"), kNeedsMore);
    EXPECT_EQ(type("session foo"), kIllegal);
    EXPECT_EQ(type("session find x y"), kIllegal);
    EXPECT_EQ(type("session name kitchen"), "");
    EXPECT_EQ(requests(5),
              (Lines{"E: get x", "E: set a b", "D: status", "D: status", "N: name kitchen"}));
}

TEST_F(Commands, EchoAndPromptSwitches) {
    EXPECT_EQ(type("cmdecho"), kNeedsMore);
    EXPECT_EQ(type("cmdecho ON"), "error: command has illegal parameters\r\n");
    EXPECT_EQ(type("cmdecho on off"), "error: command has illegal parameters\r\n");
    EXPECT_EQ(type("cmdecho off"), "cmdecho off\r\n");
    EXPECT_EQ(cmdecho_state, 0);
    EXPECT_EQ(type("cmdecho on"), "cmdecho on\r\n");
    EXPECT_EQ(cmdecho_state, 1);

    EXPECT_EQ(type("prompt"), "prompt disabled\r\n");
    EXPECT_EQ(type("prompt"), "prompt enabled\r\n");
    EXPECT_EQ(type("prompt OFF"), "prompt disabled\r\n");
    EXPECT_EQ(type("prompt OFF"), "prompt disabled\r\n");
    EXPECT_EQ(type("prompt maybe"), "prompt enabled\r\n");
}

TEST_F(Commands, SetenvComposesTheExactLineSilently) {
    EXPECT_EQ(type("setenv"), kNeedsMore);
    EXPECT_EQ(type("setenv a b c"), kIllegal);
    const std::string longest(485, 'v');  // composes 511 characters
    for (const std::string& line :
         Lines{"setenv bootdelay 3", "setenv bootdelay", "setenv Ver.x-y_9 \"\"",
               "setenv msg \"it's 100% ok; a|b & c > (d) *? ~ #!\"", "setenv n " + longest})
        EXPECT_EQ(type(line), "") << line;
    EXPECT_EQ(commands_run,
              (Lines{"fw_setenv bootdelay \"3\" > /dev/null", "fw_setenv bootdelay > /dev/null",
                     "fw_setenv Ver.x-y_9 \"\" > /dev/null",
                     "fw_setenv msg \"it's 100% ok; a|b & c > (d) *? ~ #!\" > /dev/null",
                     "fw_setenv n \"" + longest + "\" > /dev/null"}));
}

TEST_F(Commands, SetenvRefusesWhatTheShellOrTheToolWouldInterpret) {
    for (const std::string& line : Lines{"setenv a;reboot 1",
                                         "setenv a|id",
                                         "setenv a&id",
                                         "setenv a>x 1",
                                         "setenv $(id) 1",
                                         "setenv `id` 1",
                                         "setenv \"a b\" 1",
                                         "setenv a'b 1",
                                         "setenv a\"b 1",
                                         "setenv a\\b 1",
                                         "setenv a=b 1",
                                         "setenv -c 1",
                                         "setenv \"\" 1",
                                         "setenv \"a\\nb\"",
                                         "setenv caf\xC3\xA9",
                                         "setenv x \"\\\"; reboot; \\\"\"",
                                         "setenv x $(reboot)",
                                         "setenv x `reboot`",
                                         "setenv x $HOME",
                                         "setenv x a\\",
                                         "setenv x \"a\\nreboot\"",
                                         "setenv x \"a\\tb\"",
                                         "setenv x \"\\x7f\"",
                                         "setenv x -s/etc/passwd",
                                         "setenv x \"-c /tmp/cfg\"",
                                         "setenv n " + std::string(486, 'v'),
                                         "setenv " + std::string(500, 'n')})
        EXPECT_EQ(type(line), kIllegal) << line;
    EXPECT_EQ(commands_run, Lines{});
}

TEST_F(Commands, PrintenvListsWithLineFeedCarriageReturn) {
    env_listing = "baudrate=115200\nmsg=100%s done\n";
    EXPECT_EQ(type("printenv extra"), "baudrate=115200\n\rmsg=100%s done\n\r\n\r");
    ASSERT_EQ(commands_run.size(), 1u);
    EXPECT_EQ(commands_run[0].rfind("fw_printenv > /proc/self/fd/", 0), 0u) << commands_run[0];
    EXPECT_EQ(zt::read_file("/tmp/env"), env_listing);  // left in place
    env_listing = "";
    EXPECT_EQ(type("printenv"), "\n\r");
    env_listing = "\n\n\n";  // doubles in size
    EXPECT_EQ(type("printenv"), "\n\r\n\r\n\r\n\r");
}

TEST_F(Commands, HistoryListsTheRingBySlotNumber) {
    EXPECT_EQ(type("history"), "command history:\r\n<empty>\r\nhistory success\r\n");
    for (const char* line : {"x", "y", "z"})
        cle_history_test_add(line);
    EXPECT_EQ(type("hist all"),
              "command history:\r\n 1  x\r\n 2  y\r\n 3  z\r\n"
              "3 commands (only the last 64 shown)\r\nhist success\r\n");
    for (int i = 3; i < 70; ++i)
        cle_history_test_add(("c" + std::to_string(i)).c_str());
    // Wrapped: the oldest, c6, is in slot 6 (number 7); the newest in slot 5.
    const std::string out = type("history");
    EXPECT_EQ(out.rfind("command history:\r\n 7  c6\r\n", 0), 0u) << out;
    EXPECT_NE(out.find("64  c63\r\n 1  c64\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" 6  c69\r\n64 commands (only the last 64 shown)\r\n"), std::string::npos);
}

TEST_F(Commands, RepeatSendsAStoredLineAgain) {
    for (const char* line : {"repeat", "repeat 1 2"})
        EXPECT_EQ(type(line), kIllegal);
    for (const char* line : {"repeat 0", "repeat 65", "repeat x", "! 4294967296"})
        EXPECT_EQ(type(line), "error: value out of range. valid range 1..64\r\n") << line;
    EXPECT_EQ(type("repeat 1"), "error: invalid command history reference\r\n");

    for (const char* line : {"history", "b", "repeat 1"})
        cle_history_test_add(line);
    EXPECT_EQ(type("repeat 1"), "");  // sent, not run here
    EXPECT_STREQ(cle_history(2), "history");
    EXPECT_EQ(type("repeat 3"), "error: invalid command history reference\r\n");
    cmd_fmt = kFmtCustomerApi;
    EXPECT_EQ(type("! \" 2abc\""), "");  // read as atoll reads
    EXPECT_EQ(requests(2), (Lines{"C: history", "E: b"}));
}

TEST_F(Commands, RepeatOfTheNewestLineOfAFullRing) {
    for (int i = 0; i < 64; ++i)
        cle_history_test_add(("c" + std::to_string(i)).c_str());
    EXPECT_EQ(type("repeat 64"), "");  // its text is released by the replacement
    EXPECT_EQ(type("repeat 1"), "");
    EXPECT_EQ(requests(2), (Lines{"C: c63", "C: c0"}));
    EXPECT_STREQ(cle_history(63), "c0");
}

// Connects to a fresh stand-in application and runs "exit now" for real.
void exit_from_a_fresh_session() {
    zt::TestPeer peer;
    sem_init(&response_sem, 0, 0);
    sem_init(&input_ready_sem, 0, 0);
    hclient = xcom_client_connect("127.0.0.1", peer.port(), message_handler);
    char word[] = "exit", arg[] = "now";
    char* argv[] = {word, arg};
    exit_cmd(2, argv);
}

// The real exit path: teardown, then status 0. Death tests run first, so the
// fork happens before this program has other threads.
TEST(CommandsDeathTest, ExitEndsTheProcessWithStatusZero) {
    EXPECT_EXIT(exit_from_a_fresh_session(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
