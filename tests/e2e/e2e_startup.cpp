// Start-up of a session: the checks before anything else, the options, the
// session types, and the wait for the application.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "sim_env.h"

namespace {

using zt::printable;
using namespace std::chrono_literals;

const std::string kUsage =
    "Quorvex API/Debug shell usage: zcon [options]\r\n"
    "  -h hostname/addr Set host name/address for XCOM (default: localhost)\r\n"
    "  -p port          Set port for XCOM (default: 4121)\r\n"
    "  -t type          Set session type - \"api\", \"telnet\"\r\n";

struct Startup : ::testing::Test {
    zt::SimEnv sim;

    // Runs zcon to its end; returns its exit status and leaves its output.
    int run(std::vector<std::string> args, std::string* out, zt::PtyOptions options = {}) {
        auto z = sim.zcon(std::move(args), options);
        int status = z->wait_exit();
        *out = z->output();
        return status;
    }

    // Types a marker command and waits until the application has seen it:
    // every request of the start-up has been sent by then.
    void reach_command_loop(zt::PtyProcess& z, const std::string& prefix,
                            const std::string& marker = "marker") {
        z.write("echo " + marker + "\r");
        ASSERT_TRUE(sim.wait_trace("< " + prefix + "echo " + marker)) << sim.trace();
    }
};

TEST_F(Startup, WithoutTheReadyFileEveryInvocationIsRefused) {
    unlink("/tmp/ZconReady");
    for (auto args : {std::vector<std::string>{}, {"--help"}, {"-x"}}) {
        std::string out;
        EXPECT_EQ(run(args, &out), 1);
        EXPECT_EQ(out, "Fatal: telnet server not running.\n");
    }
}

TEST_F(Startup, StandardOutputMustBeATerminal) {
    zt::PtyOptions options;
    options.stdout_to_pipe = true;
    auto z = sim.zcon({"--help"}, options);
    EXPECT_EQ(z->wait_exit(), 255);
    EXPECT_EQ(z->output(), "Can't get TTY name: Inappropriate ioctl for device\n");
    EXPECT_EQ(z->pipe_output(), "");
}

TEST_F(Startup, HelpPrintsTheUsageAndEnds) {
    std::string out;
    EXPECT_EQ(run({"--noecho", "--help", "-x"}, &out), 0);
    EXPECT_EQ(out, kUsage);
}

TEST_F(Startup, EveryArgumentErrorIsReportedThenTheUsage) {
    std::string out;
    std::string long_host(128, 'h');
    EXPECT_EQ(run({"-x", "-t", "bogus", "-hlocalhost", "-h", long_host, "--wait", "-p"}, &out), 1);
    EXPECT_EQ(out,
              "Invalid argument \"-x\"\r\n"
              "Invalid type \"bogus\" specified\r\n"
              "Invalid argument \"-hlocalhost\"\r\n"
              "Invalid argument \"" +
                  long_host +
                  "\"\r\n"
                  "Invalid argument \"-p\"\r\n"
                  "Usage:\r\n" +
                  kUsage)
        << printable(out);
}

TEST_F(Startup, TelnetSessionWaitsOnceForTheApplicationThenRegisters) {
    sim.start_syslogd();
    auto z = sim.zcon({});
    std::string banner =
        "Quorvex Command Shell\r\nXCOM host:    localhost port: 4121\r\nTTY name:     " +
        z->tty_name() + "\r\n";
    ASSERT_TRUE(z->expect("Waiting for application to start\r\n")) << printable(z->output());
    EXPECT_EQ(z->take(), banner + "Waiting for application to start\r\n");
    sim.start_appd();
    // The next attempt comes within the 5-second pause.
    ASSERT_TRUE(z->expect("Session type: telnet\r\n", 15000ms)) << printable(z->output());
    EXPECT_EQ(z->take(), "Session type: telnet\r\n");
    std::string socket = "/tmp/apiasynclisteners/zcon" + z->tty_name().substr(9);
    EXPECT_TRUE(sim.wait_trace("< R: telnet " + socket)) << sim.trace();
    reach_command_loop(*z, "C: ");
    EXPECT_EQ(sim.trace().find("whoami"), std::string::npos);
}

TEST_F(Startup, PortWithoutDigitsIsZeroAndNeverConnects) {
    sim.start_appd();
    auto z = sim.zcon({"-t", "api", "-p", "x4121"});
    EXPECT_TRUE(z->expect("Waiting for application to start\r\n")) << printable(z->output());
}

TEST_F(Startup, HostAndPortOptionsChooseTheApplication) {
    sim.start_appd({}, 4999);
    auto z = sim.zcon({"-t", "api", "-h", "127.0.0.1", "-p", "4999abc", "--nobanner"});
    ASSERT_TRUE(sim.wait_trace("< R: api "));
    reach_command_loop(*z, "E: ");
}

struct TypeCase {
    std::vector<std::string> args;
    std::string registered_as;
    bool whoami;
};

TEST_F(Startup, SessionTypeDecidesRegistrationAndGreeting) {
    sim.start_appd();
    const TypeCase cases[] = {
        {{"-t", "telnet24"}, "api", true},
        {{"-t", "rs232"}, "api-serial", true},
        {{"-t", "api", "--nobanner"}, "api", false},
        {{"-t", "api", "-t", "telnet"}, "telnet", false},
        {{"-t", "telnet", "-t", "api"}, "api", true},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.registered_as + " from " + c.args[1]);
        size_t mark = sim.trace().size();
        auto z = sim.zcon(c.args);
        std::string prefix = c.registered_as == "telnet" ? "C: " : "E: ";
        // The terminal is in the editor's hands once the session registers.
        ASSERT_TRUE(zt::wait_until([&] {
            return sim.trace().find("< R: " + c.registered_as + " /tmp/apiasynclisteners/zcon",
                                    mark) != std::string::npos;
        }));
        reach_command_loop(*z, prefix, "marker" + std::to_string(++n));
        std::string trace = sim.trace().substr(mark);
        EXPECT_EQ(trace.find("< E: whoami") != std::string::npos, c.whoami) << trace;
        z->write("quit\r");
        EXPECT_EQ(z->wait_exit(), 0);
    }
}

TEST_F(Startup, ApiSessionOnAnFpgasTerminalIsASerialSession) {
    sim.start_appd();
    zt::PtyOptions options;
    options.alias = "/dev/ttyFPGAS0";
    auto z = sim.zcon({"-t", "api", "--nobanner"}, options);
    EXPECT_TRUE(sim.wait_trace("< R: api-serial /tmp/apiasynclisteners/zconttyFPGAS0"))
        << sim.trace();
}

TEST_F(Startup, WaitHoldsStartUpUntilSigusr1) {
    sim.start_appd();
    auto z = sim.zcon({"--wait", "-t", "api", "--nobanner"});
    ASSERT_TRUE(z->expect("DEBUG: waiting for SIGUSR1 to start...\r\n"));
    EXPECT_EQ(z->take(),
              "DEBUG: SIGUSR1 handler installed\r\nDEBUG: waiting for SIGUSR1 to start...\r\n");
    z->kill(SIGUSR1);
    EXPECT_TRUE(z->expect("DEBUG: SIGUSR1 received! set continue flag to true\r\n"));
    EXPECT_TRUE(sim.wait_trace("< R: api ")) << sim.trace();
}

TEST_F(Startup, LogViewerOfAnApiSessionShowsNoLog) {
    auto z = sim.zcon({"--logviewer", "-t", "api"});
    EXPECT_TRUE(z->expect("Log viewer mode (Ctrl-C to quit) ...\r\n"));
    z->kill(SIGINT);
    EXPECT_EQ(z->wait_exit(), 128 + SIGINT);
    EXPECT_EQ(z->output(), "Log viewer mode (Ctrl-C to quit) ...\r\n");
}

}  // namespace
