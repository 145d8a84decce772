// The appliance's ways in, as its users reach them: the telnet service
// (port 23) and the API service (port 24) through a real telnet client over
// IPv4 and IPv6, and the serial console; all started and stopped by
// sim/zcon-sim, with the boot environment's real tools. And scripts/demo
// beside that simulator, in a world of its own.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "sim_env.h"

namespace {

using namespace zt;

const std::string kSet = "E: execwithoutecho systemsetting ";

// Runs "sim/zcon-sim command" with both output streams on fd.
[[noreturn]] void exec_zcon_sim(const char* command, int fd) {
    const std::string script = source_path("sim/zcon-sim");
    dup2(fd, 1);
    dup2(fd, 2);
    execl(script.c_str(), script.c_str(), command, static_cast<char*>(nullptr));
    _exit(127);
}

// Reads fd to its end into *out; false if it has not ended within 30 s.
bool read_to_end(int fd, std::string* out) {
    return wait_until([&] { return !read_available(fd, out); }, 30000ms);
}

// Runs "zcon-sim command" and returns its exit status (-1 when it has not
// ended in time), its output in *out. For "start", a keeper process runs it,
// then adopts the simulator's programs and reaps each as it ends, and ends
// itself after the last: left to this test, the namespace's first process,
// they would stay as zombies, and the shell, which finds syslogd by name,
// could take an ended one for it. *keeper gets its pid.
int zcon_sim(const char* command, std::string* out, pid_t* keeper = nullptr) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0 && keeper == nullptr) exec_zcon_sim(command, fds[1]);
    if (pid == 0) {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        const pid_t script = fork();
        if (script == 0) exec_zcon_sim(command, fds[1]);
        int status = 0;
        waitpid(script, &status, 0);
        dprintf(fds[1], "\n%d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        close(fds[1]);
        while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
        }
        _exit(0);
    }
    close(fds[1]);
    UniqueFd reader(fds[0]);
    out->clear();
    const bool ended = read_to_end(reader.get(), out);
    if (keeper != nullptr) {
        *keeper = pid;
        const size_t last = out->rfind('\n', out->size() - 2);
        const int status = ended && last != std::string::npos ? atoi(out->c_str() + last + 1) : -1;
        out->resize(std::min(out->size(), last));
        return status;
    }
    if (!ended) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Services : ::testing::Test {
    void SetUp() override {
        // Outside its private namespaces the test would take over the
        // machine's simulator, ports and /tmp.
        ASSERT_EQ(getpid(), 1) << "run it through tests/support/isolate, as ctest does";
        sim = std::make_unique<SimEnv>();
        sim->set_password("");
        std::string out;
        ASSERT_EQ(zcon_sim("start", &out, &keeper), 0) << out;
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
    // Waits until the keeper has ended, which it does when every program of
    // the simulator and every session has.
    bool simulator_ended() {
        if (keeper > 0 && wait_until([&] { return waitpid(keeper, nullptr, WNOHANG) == keeper; }))
            keeper = -1;
        return keeper <= 0;
    }
    // A telnet client connected to host and port on a terminal of its own.
    static std::unique_ptr<PtyProcess> telnet(const std::string& host, int port) {
        PtyOptions options;
        options.argv = {"/usr/bin/telnet", host, std::to_string(port)};
        options.env = {"TERM=vt100"};
        return std::make_unique<PtyProcess>(options);
    }
    // The lines appd received from session id, in order.
    Lines requests(unsigned id) { return sim->control("requests " + std::to_string(id)); }
    bool wait_request(unsigned id, const std::string& line) {
        return wait_until([&] {
            const Lines got = requests(id);
            return std::find(got.begin(), got.end(), line) != got.end();
        });
    }

    std::unique_ptr<SimEnv> sim;  // appd's control socket and trace, the password
    pid_t keeper = -1;
};

// Each network session reports its client's address and success at the
// start, gets its commands answered, and clears the address when it ends.
// The boot environment commands run the real tools.
TEST_F(Services, TelnetAndApiSessionsReportTheirClientOverIpv4AndIpv6) {
    const struct {
        const char* host;
        int port;
        const char* greeting;
    } rows[] = {{"127.0.0.1", 23, "Quorvex Command Shell"},
                {"::1", 24, "session 2 type api socket"}};
    unsigned id = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.host);
        ++id;
        auto client = telnet(row.host, row.port);
        ASSERT_TRUE(client->expect(row.greeting)) << term_tokens(client->output());
        client->write("setenv bootdelay 7\rprintenv\r");
        ASSERT_TRUE(client->expect("bootdelay=7\r\n")) << term_tokens(client->output());
        client->write("echo over the wire\r");
        ASSERT_TRUE(client->expect("over the wire\r\n")) << term_tokens(client->output());
        if (row.port == 23) {
            // The live log of a telnet session shows appd's entry for it.
            ASSERT_TRUE(client->expect("appd: session 1: C: echo over the wire -> 0"))
                << term_tokens(client->output());
        }
        client->write("setenv bootdelay 3\rquit\r");
        EXPECT_GE(client->wait_exit(), 0);
        ASSERT_TRUE(wait_request(id, "U"));
        const std::string report = kSet + "telnet_client_" + std::to_string(row.port);
        const Lines got = requests(id);
        ASSERT_GE(got.size(), 5u);
        EXPECT_EQ(got[0].rfind(std::string("R: ") + (row.port == 23 ? "telnet" : "api") +
                                   " /tmp/apiasynclisteners/zcon",
                               0),
                  0u)
            << got[0];
        EXPECT_EQ(got[1], report + " " + row.host);
        EXPECT_EQ(got[2], report + "_success True");
        EXPECT_EQ(Lines(got.end() - 2, got.end()), (Lines{report + " ", "U"}));
    }
}

// The demo runs its own simulator and session in private namespaces: the
// simulator already serving the fixed paths, and its session, never notice.
// What it shows first is the README's sample; where namespaces cannot be
// had, it refuses.
TEST_F(Services, DemoRunsBesideARunningSimulatorWithoutDisturbingIt) {
    auto resident = telnet("127.0.0.1", 23);
    ASSERT_TRUE(resident->expect("Session type: telnet")) << term_tokens(resident->output());
    TempDir no_namespaces;
    std::ofstream(no_namespaces.file("unshare")) << "#!/bin/sh\necho unshare: denied >&2\nexit 1\n";
    chmod(no_namespaces.file("unshare").c_str(), 0755);
    const std::string readme = read_file(source_path("README.md"));
    const struct {
        Lines args, env;
        std::vector<std::pair<std::string, std::string>> steps;  // awaited, then typed
        int status;
        std::string absent = "";     // never shown
        std::string in_readme = "";  // what is shown up to this is the README's sample
    } rows[] = {
        {{},
         {},
         {{"Session type: telnet\r\n", "echo hi\r"}, {"\nhi", "\r"}, {"-> ", "quit\r"}},
         0,
         "appd: ",
         "Session type: telnet\n"},
        {{"--request-log", "--password", "pw"},
         {},
         {{"Password:", "pw\r"}, {"Session type", "echo hi\r"}, {": C: echo hi -> 0\n", "quit\r"}},
         0},
        {{},
         {"PATH=" + no_namespaces.path() + ":" + getenv("PATH")},
         {{"private namespaces are not available here: unshare: denied", ""}},
         1},
    };
    for (const auto& row : rows) {
        PtyOptions options;
        options.argv = {source_path("scripts/demo")};
        options.argv.insert(options.argv.end(), row.args.begin(), row.args.end());
        options.env = row.env;
        PtyProcess demo(options);
        for (const auto& [awaited, typed] : row.steps) {
            ASSERT_TRUE(demo.expect(awaited, 10000ms)) << term_tokens(demo.output());
            demo.write(typed);
        }
        EXPECT_EQ(demo.wait_exit(10000ms), row.status) << term_tokens(demo.output());
        EXPECT_TRUE(row.absent.empty() || demo.output().find(row.absent) == std::string::npos)
            << demo.output();
        if (!row.in_readme.empty()) {
            std::string shown = demo.output();
            std::erase(shown, '\r');
            shown.resize(shown.find(row.in_readme) + row.in_readme.size());
            EXPECT_NE(readme.find("$ scripts/demo --request-log\n" + shown), std::string::npos)
                << shown;
        }
        std::string out;
        EXPECT_EQ(zcon_sim("status", &out), 0) << out;
        EXPECT_EQ(sim->control("sessions").size(), 1u) << "the demo's session came here";
        resident->write("echo still here\r");
        ASSERT_TRUE(resident->expect("\nstill here\r\n")) << term_tokens(resident->output());
        resident->take("\nstill here\r\n");
    }
}

}  // namespace
