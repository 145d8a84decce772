// The installed simulator as its users run it: sim/zcon-sim starts the
// appliance's services and stops them leaving nothing behind, and
// scripts/demo runs beside it, in a world of its own, without disturbing it;
// each of its programs says what keeps it from starting.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <regex>

#include "sim_env.h"

namespace {

using namespace zt;

int zcon_sim(const char* command, std::string* out) {
    return run_command(source_path("sim/zcon-sim") + " " + command, out);
}

struct Services : ::testing::Test {
    void SetUp() override {
        // Outside its private namespaces the test would take over the
        // machine's simulator, ports and /tmp.
        ASSERT_EQ(getpid(), 1) << "run it through tests/support/isolate, as ctest does";
        sim = std::make_unique<SimEnv>();
        sim->set_password("");
        std::string out;
        ASSERT_EQ(zcon_sim("start", &out), 0) << out;
        ASSERT_EQ(zcon_sim("status", &out), 0) << out;
        for (const char* where : {"telnet running \\(pid [0-9]+\\) on port 23\n",
                                  "api running \\(pid [0-9]+\\) on port 24\n",
                                  "serial running \\(pid [0-9]+\\) on /tmp/zcon-sim/serial\n"})
            EXPECT_TRUE(std::regex_search(out, std::regex(where))) << where << out;
    }
    void TearDown() override {
        if (!sim) return;
        std::string out;
        EXPECT_EQ(zcon_sim("stop", &out), 0) << out;
        EXPECT_TRUE(simulator_ended()) << "a program of the simulator is still running";
    }
    // Waits until every program of the simulator and every session has
    // ended: this test, the first process of its namespace, inherits them.
    static bool simulator_ended() {
        return wait_until([] {
            pid_t reaped;
            while ((reaped = waitpid(-1, nullptr, WNOHANG)) > 0) {
            }
            return reaped < 0 && errno == ECHILD;
        });
    }
    std::unique_ptr<SimEnv> sim;  // appd's control socket and trace, the password
};

// The demo runs its own simulator and session in private namespaces: the
// simulator already serving the fixed paths, and its session, never notice.

TEST_F(Services, DemoRunsBesideARunningSimulatorWithoutDisturbingIt) {
    PtyOptions client;  // a telnet client of the resident simulator, on a terminal of its own
    client.argv = {"/usr/bin/telnet", "127.0.0.1", "23"};
    client.env = {"TERM=vt100"};
    PtyProcess resident(client);
    ASSERT_TRUE(resident.expect("Session type: telnet")) << term_tokens(resident.output());
    const struct {
        Lines args;
        std::vector<std::pair<std::string, std::string>> steps;  // awaited, then typed
        std::string absent = "";                                 // never shown
    } rows[] = {
        {{},
         {{"Session type: telnet\r\n", "echo hi\r"}, {"\nhi", "\r"}, {"-> ", "quit\r"}},
         "appd: "},
        {{"--request-log", "--password", "pw"},
         {{"Password:", "pw\r"}, {"Session type", "echo hi\r"}, {": C: echo hi -> 0\n", "quit\r"}}},
    };
    for (const auto& row : rows) {
        PtyOptions options;
        options.argv = {source_path("scripts/demo")};
        options.argv.insert(options.argv.end(), row.args.begin(), row.args.end());
        PtyProcess demo(options);
        for (const auto& [awaited, typed] : row.steps) {
            ASSERT_TRUE(demo.expect(awaited, 10000ms)) << term_tokens(demo.output());
            demo.write(typed);
        }
        EXPECT_EQ(demo.wait_exit(10000ms), 0) << term_tokens(demo.output());
        EXPECT_TRUE(row.absent.empty() || demo.output().find(row.absent) == std::string::npos)
            << demo.output();
        std::string out;
        EXPECT_EQ(zcon_sim("status", &out), 0) << out;
        EXPECT_EQ(sim->control("sessions").size(), 1u) << "the demo's session came here";
        resident.write("echo still here\r");
        ASSERT_TRUE(resident.expect("\nstill here\r\n")) << term_tokens(resident.output());
        resident.take("\nstill here\r\n");
    }
}

// Each program of the simulator says what keeps it from starting, the
// zcon-sim beside it untouched.
TEST_F(Services, EachProgramSaysWhatKeepsItFromStarting) {
    setenv("PATH", (bin_path("") + ":" + getenv("PATH")).c_str(), 1);
    // Where a listener directory is to be: a link, another user's folder.
    ASSERT_EQ(mkdir("/tmp/linked", 0755) | symlink("/tmp", "/tmp/linked/sysloglisteners") |
                  mkdir("/tmp/others", 0755) | mkdir("/tmp/others/sysloglisteners", 0755) |
                  chown("/tmp/others/sysloglisteners", 65534, 65534),
              0);
    const std::string too_long = "/tmp/" + std::string(110, 'n'), none = ": No such file or dir";
    const std::string ready = "zcon-ready-service: cannot ";
    // The command, its exit status and the start of what it says.
    std::vector<std::tuple<std::string, int, std::string>> rows = {
        {"appd --port 65536", 2, "appd: bad port: 65536\n"},
        {"appd --listen 192.0.2.1 --port 0", 1, "appd: cannot listen on 192.0.2.1 port 0: Can"},
        {"appd --port 0 --control " + too_long, 1, "appd: control path too long: " + too_long},
        {"appd --port 0 --control /none/c", 1, "appd: cannot bind control socket /none/c" + none},
        {"appd --port 0 --trace /none/t", 1, "appd: cannot open trace /none/t" + none},
        {"appd --port 0 --port-file /none/p", 1, "appd: cannot write /none/p" + none},
        {"syslogd --socket " + too_long, 1, "syslogd: socket path too long: " + too_long},
        {"syslogd --socket /none/log", 1, "syslogd: cannot bind /none/log" + none},
        {"syslogd --log-file /none/m", 1, "syslogd: /dev/log belongs to another system logger"},
        {"syslogd --socket /tmp/log --listeners /tmp --pid-file /none/p", 1,
         "syslogd: cannot write /none/p" + none},
        {"qtool config", 2, "usage: qtool config sw 0 [set PASSWORD | clear]\n"},
        {"ZCON_SIM_DIR=/none/sim qtool config sw 0 set pw", 1, "qtool: /none/sim/password" + none},
        {"q='qtool config sw 0'; $q set pw && $q clear && $q", 0, "config sw 0 \n"},
        {"zcon-ready-service --ready-file /tmp", 1, ready + "create /tmp: File exists\n"},
        // Every option taken, against an application it cannot see the output of.
        {"zcon-peer-check -h 127.0.0.1 -p 4121 --socket-dir /tmp --probe status --sessions 2 "
         "--samples 0 --quiet 20 --remote",
         0, "zcon-peer-check: the application at 127.0.0.1 port 4121\n"},
    };
    for (const std::string root : {"/tmp/linked", "/tmp/others"})  // a link, another user's
        rows.emplace_back("zcon-ready-service --listener-root " + root, 1,
                          ready + "make " + root + "/sysloglisteners: something else is there");
    for (const std::string program : {"appd", "syslogd", "zcon-ready-service", "zcon-peer-check"}) {
        rows.emplace_back(program + " --help", 0, "usage: " + program);
        rows.emplace_back(program + " --bogus", 2, program + ": unrecognized option '--bogus'\n");
    }
    for (const auto& [command, status, said] : rows) {
        std::string got;
        EXPECT_EQ(run_command(command, &got), status) << command;
        EXPECT_EQ(got.substr(0, said.size()), said) << command;
    }
}

}  // namespace
