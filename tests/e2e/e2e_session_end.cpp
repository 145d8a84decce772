// Every way a session ends: its exit status, what the application is told,
// and the terminal given back as it was.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "sim_env.h"

namespace {

using namespace std::chrono_literals;
using zt::printable;
using Lines = std::vector<std::string>;

const std::string kSet = "E: execwithoutecho systemsetting ";
const std::string kReport23 = "E: execwithoutecho systemsetting telnet_client_23 ";
const std::string kReport24 = "E: execwithoutecho systemsetting telnet_client_24 ";

struct SessionEnd : ::testing::Test {
    void SetUp() override {
        sim.start_appd();
        sim.start_syslogd();
    }
    void start(std::vector<std::string> args = {}) {
        z = sim.registered_zcon(std::move(args));
        ASSERT_TRUE(z->running()) << printable(z->output());
        socket = "/tmp/apiasynclisteners/zcon" + z->tty_name().substr(9);
    }
    // Waits for the end; the terminal must be as it was before the session,
    // and its listener sockets gone.
    int finish(zt::Millis timeout = 10000ms) {
        int status = z->wait_exit(timeout);
        EXPECT_TRUE(zt::same_attributes(z->attributes(), z->initial_attributes()));
        for (const char* dir : {"/tmp/apiasynclisteners/zcon", "/tmp/sysloglisteners/zcon"}) {
            const std::string path = dir + z->tty_name().substr(9);
            EXPECT_NE(access(path.c_str(), F_OK), 0) << path;
        }
        return status;
    }
    // The requests of a telnet session that registered and reported its login.
    Lines telnet_start() {
        return {"R: telnet " + socket, kReport23, kSet + "telnet_client_23_success True"};
    }
    // The application may still be taking in the last lines the session
    // sent before it ended: wait for them before comparing.
    void expect_requests(const Lines& expected) {
        zt::wait_until([&] { return sim.requests() == expected; });
        EXPECT_EQ(sim.requests(), expected);
    }
    static Lines plus(Lines lines, const Lines& more) {
        lines.insert(lines.end(), more.begin(), more.end());
        return lines;
    }

    zt::SimEnv sim;
    std::unique_ptr<zt::PtyProcess> z;
    std::string socket;
};

TEST_F(SessionEnd, QuitClearsTheLoginReportAndUnregisters) {
    start();
    z->write("  quit\t\r");
    EXPECT_EQ(finish(), 0);
    expect_requests(plus(telnet_start(), {kReport23, "U"}));
}

// Output that arrived while the last line was typed is not lost with the
// session: it goes out before the terminal is given back.
TEST_F(SessionEnd, OutputHeldWhileQuitWasTypedIsShown) {
    start();
    z->write("qui");
    ASSERT_TRUE(z->expect("qui"));
    sim.control("notify held while typing");
    z->write("t\r");
    EXPECT_EQ(finish(), 0);
    EXPECT_NE(z->output().find("held while typing"), std::string::npos) << printable(z->output());
}

TEST_F(SessionEnd, ExitInAnApiSession) {
    start({"-t", "api"});
    z->write("exit\r");
    EXPECT_EQ(finish(), 0);
    Lines expected = {"R: api " + socket, kReport24, kSet + "telnet_client_24_success True",
                      "E: whoami",        kReport24, "U"};
    expect_requests(expected);
}

TEST_F(SessionEnd, ExitCommandTearsDownWithoutClearingTheReport) {
    start();
    z->write("exit now\r");
    EXPECT_EQ(finish(), 0);
    expect_requests(plus(telnet_start(), {"U"}));
}

TEST_F(SessionEnd, CtrlDEndsTheSession) {
    start();
    z->write("abc\x04");
    EXPECT_EQ(finish(), 0);
    expect_requests(plus(telnet_start(), {kReport23, "U"}));
}

TEST_F(SessionEnd, ConfirmedRebootTearsDownWithoutClearingTheReport) {
    start();
    z->write("reboot\r");
    ASSERT_TRUE(z->expect("reboot, are you sure? <y,n> "));
    z->write("y\r");
    EXPECT_EQ(finish(), 0);
    expect_requests(plus(telnet_start(), {"E: reboot now", "U"}));
}

TEST_F(SessionEnd, OneCharacterRebootAnswerLeavesLikeQuit) {
    start();
    z->write("reboot\r");
    ASSERT_TRUE(z->expect("<y,n> "));
    z->write("x\r");
    EXPECT_EQ(finish(), 0);
    expect_requests(plus(telnet_start(), {kReport23, "U"}));
}

TEST_F(SessionEnd, ApplicationLostMidRequest) {
    start();
    ASSERT_TRUE(z->expect("Session type: telnet\r\n"));
    z->take("Session type: telnet\r\n");
    z->write("sim close\r");
    EXPECT_EQ(finish(), 0);
    // The report cannot be cleared any more: that request fails at once too.
    EXPECT_EQ(z->output(),
              "sim close\r\nerror: session is closed by peer\r\n"
              "error: session is closed by peer\r\n")
        << printable(z->output());
    expect_requests(plus(telnet_start(), {"C: sim close"}));
}

TEST_F(SessionEnd, ApplicationKilledWhileAnswerIsOutstanding) {
    start({"-t", "api"});
    z->write("sim hold\r");
    ASSERT_TRUE(sim.wait_trace("< E: sim hold"));
    sim.appd()->stop(SIGKILL);
    EXPECT_EQ(finish(), 0);
    EXPECT_NE(z->output().find("error: session is closed by peer\r\n"), std::string::npos);
}

TEST_F(SessionEnd, RefusedRegistrationEndsWithStatus255) {
    std::string status;
    sim.control("register-result 1", &status);
    ASSERT_EQ(status.substr(0, 2), "ok");
    z = sim.zcon({"-t", "api"});
    EXPECT_EQ(finish(), 255);
    EXPECT_EQ(z->output(), "");
}

TEST_F(SessionEnd, FloodOfLinesTerminatesTheSession) {
    start();
    z->write(std::string(120, '\r'));
    ASSERT_TRUE(z->expect("Terminating session due to persistent, excessive command arrival.\n"))
        << printable(z->output());
    EXPECT_EQ(finish(20000ms), 0);  // after a ten-second pause
    expect_requests(plus(telnet_start(), {kReport23, "U"}));
}

}  // namespace
