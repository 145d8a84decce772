// The appliance's ways in, as its users reach them: the telnet service
// (port 23) and the API service (port 24) through a real telnet client over
// IPv4 and IPv6, and the serial console; all started and stopped by
// sim/zcon-sim. What each session tells the application is read back from
// appd's record of the requests it received. And scripts/demo beside that
// simulator, in a world of its own.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "sim_env.h"

namespace {

using namespace std::chrono_literals;
using zt::printable;
using Lines = std::vector<std::string>;

const std::string kSet = "E: execwithoutecho systemsetting ";
const char* const kSerialLink = "/tmp/zcon-sim/serial";

// Runs sim/zcon-sim with one command, both its output streams going to fd.
[[noreturn]] void exec_zcon_sim(const char* command, int fd) {
    std::string script = zt::source_path("sim/zcon-sim");
    dup2(fd, 1);
    dup2(fd, 2);
    execl(script.c_str(), script.c_str(), command, static_cast<char*>(nullptr));
    _exit(127);
}

// Reads fd to its end into *text; false if it has not ended within 30 s.
bool read_to_end(int fd, std::string* text) {
    auto deadline = std::chrono::steady_clock::now() + 30s;
    for (;;) {
        auto left =
            std::chrono::duration_cast<zt::Millis>(deadline - std::chrono::steady_clock::now());
        pollfd pfd{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return false;
        char buf[1024];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return true;
        text->append(buf, static_cast<size_t>(n));
    }
}

// Exit status of a wait, or -1 when the process did not exit by itself.
int exit_status(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs sim/zcon-sim with one command; returns its exit status (-1 when it
// has not ended within the deadline) and its output in *out.
int zcon_sim(const char* command, std::string* out) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) exec_zcon_sim(command, fds[1]);
    close(fds[1]);
    zt::UniqueFd reader(fds[0]);
    out->clear();
    bool ended = read_to_end(reader.get(), out);
    if (!ended) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    return ended ? exit_status(status) : -1;
}

// Runs "zcon-sim start" in a keeper process, which then adopts the
// simulator's programs (they outlive the script) and reaps each as it ends,
// and itself ends when the last has. Without it they would be left to this
// test, the namespace's first process, as zombies: the shell, which finds
// syslogd by name, could take an ended one for it. Returns the keeper's pid
// and zcon-sim's exit status in *status.
pid_t start_simulator(int* status, std::string* out) {
    int fds[2];
    *status = -1;
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    pid_t keeper = fork();
    if (keeper == 0) {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        pid_t script = fork();
        if (script == 0) exec_zcon_sim("start", fds[1]);
        int script_status = 0;
        waitpid(script, &script_status, 0);
        dprintf(fds[1], "\n%d\n", exit_status(script_status));
        close(fds[1]);
        while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
        }
        _exit(0);
    }
    close(fds[1]);
    zt::UniqueFd reader(fds[0]);
    out->clear();
    if (read_to_end(reader.get(), out)) {
        // The keeper's last line is the script's exit status.
        size_t last = out->rfind('\n', out->size() - 2);
        if (last != std::string::npos) {
            *status = atoi(out->c_str() + last + 1);
            out->erase(last);
        }
    }
    return keeper;
}

// Names of the processes still running in this test's private process
// table, other than the test itself; ended ones not yet reaped are not.
Lines running_processes() {
    Lines names;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return names;
    while (dirent* entry = readdir(proc)) {
        int pid = atoi(entry->d_name);
        if (pid <= 0 || pid == getpid()) continue;
        std::string stat = zt::read_file("/proc/" + std::string(entry->d_name) + "/stat");
        size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close + 2 >= stat.size()) {
            continue;
        }
        if (stat[close + 2] != 'Z') names.push_back(stat.substr(open + 1, close - open - 1));
    }
    closedir(proc);
    return names;
}

bool is_running(const std::string& name) {
    for (const auto& each : running_processes()) {
        if (each == name) return true;
    }
    return false;
}

// The user's end of the serial console, opened by its link.
struct SerialLine {
    zt::UniqueFd fd;
    std::string output;

    bool open() {
        fd.reset(::open(kSerialLink, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        output.clear();
        return static_cast<bool>(fd);
    }
    void write(std::string_view bytes) { (void)!::write(fd.get(), bytes.data(), bytes.size()); }
    // Reads until text has arrived; false at the deadline or the line's end.
    bool expect(std::string_view text, zt::Millis timeout = 5000ms) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (output.find(text) == std::string::npos) {
            if (read_more(deadline) <= 0) return false;
        }
        return true;
    }
    // Waits until the line hangs up: the session behind it has ended.
    bool hung_up(zt::Millis timeout = 5000ms) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            int got = read_more(deadline);
            if (got <= 0) return got == 0;
        }
    }

  private:
    // Appends what arrives before the deadline: 1 when something did, 0 at
    // the line's end, -1 at the deadline.
    int read_more(std::chrono::steady_clock::time_point deadline) {
        auto left =
            std::chrono::duration_cast<zt::Millis>(deadline - std::chrono::steady_clock::now());
        pollfd pfd{fd.get(), POLLIN, 0};
        if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return -1;
        char buf[1024];
        ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n <= 0) return 0;
        output.append(buf, static_cast<size_t>(n));
        return 1;
    }
};

struct Services : ::testing::Test {
    void SetUp() override {
        // Outside its private namespaces the test would take over the
        // machine's simulator, ports and /tmp.
        ASSERT_EQ(getpid(), 1) << "run it through tests/support/isolate, as ctest does";
        sim = std::make_unique<zt::SimEnv>();
        sim->set_password("");
        std::string out;
        int status = -1;
        keeper = start_simulator(&status, &out);
        ASSERT_EQ(status, 0) << out;
        ASSERT_EQ(zcon_sim("status", &out), 0) << out;
        for (const char* where : {"telnet running \\(pid [0-9]+\\) on port 23\n",
                                  "api running \\(pid [0-9]+\\) on port 24\n",
                                  "serial running \\(pid [0-9]+\\) on /tmp/zcon-sim/serial\n"}) {
            EXPECT_TRUE(std::regex_search(out, std::regex(where))) << where << out;
        }
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
        if (keeper <= 0) return true;
        if (!zt::wait_until([&] { return waitpid(keeper, nullptr, WNOHANG) == keeper; })) {
            return false;
        }
        keeper = -1;
        return true;
    }

    // A telnet client connected to host and port on a terminal of its own.
    std::unique_ptr<zt::PtyProcess> telnet(const std::string& host, int port) {
        zt::PtyOptions options;
        options.argv = {"/usr/bin/telnet", host, std::to_string(port)};
        options.env = {"TERM=vt100"};
        return std::make_unique<zt::PtyProcess>(options);
    }
    // The lines appd received from session id, in order.
    Lines requests(unsigned id) { return sim->control("requests " + std::to_string(id)); }
    // Waits until session id has sent line.
    bool wait_request(unsigned id, const std::string& line) {
        return zt::wait_until([&] {
            for (const auto& each : requests(id)) {
                if (each == line) return true;
            }
            return false;
        });
    }

    std::unique_ptr<zt::SimEnv> sim;  // appd's control socket and trace, the password
    pid_t keeper = -1;
};

// Each network session reports its client's address and success at the
// start, gets its command answered, and clears the address when it ends.
TEST_F(Services, TelnetAndApiSessionsReportTheirClientOverIpv4AndIpv6) {
    struct Case {
        const char* host;
        int port;
        const char* address;
    };
    unsigned id = 0;
    for (Case c : {Case{"127.0.0.1", 23, "127.0.0.1"}, Case{"::1", 23, "::1"},
                   Case{"127.0.0.1", 24, "127.0.0.1"}, Case{"::1", 24, "::1"}}) {
        SCOPED_TRACE(std::string(c.host) + " port " + std::to_string(c.port));
        ++id;
        auto client = telnet(c.host, c.port);
        std::string type = c.port == 23 ? "telnet" : "api";
        std::string report = kSet + "telnet_client_" + std::to_string(c.port);
        if (c.port == 23) {
            ASSERT_TRUE(client->expect("Quorvex Command Shell")) << printable(client->output());
        } else {
            // An API session shows its "whoami" instead of a banner.
            ASSERT_TRUE(client->expect("session " + std::to_string(id) + " type api socket"))
                << printable(client->output());
        }
        client->write("echo over the wire\r");
        ASSERT_TRUE(client->expect("over the wire\r\n")) << printable(client->output());
        if (c.port == 23) {
            // The live log of a telnet session shows appd's entry for it.
            ASSERT_TRUE(client->expect("appd: session " + std::to_string(id) +
                                       ": C: echo over the wire -> 0"))
                << printable(client->output());
        }
        client->write("quit\r");
        EXPECT_GE(client->wait_exit(), 0);

        ASSERT_TRUE(wait_request(id, "U"));
        Lines got = requests(id);
        ASSERT_GE(got.size(), 3u);
        EXPECT_EQ(got[0].rfind("R: " + type + " /tmp/apiasynclisteners/zcon", 0), 0u) << got[0];
        EXPECT_EQ(got[1], report + " " + c.address);
        EXPECT_EQ(got[2], report + "_success True");
        EXPECT_EQ(Lines(got.end() - 2, got.end()), (Lines{report + " ", "U"}));
    }
}

TEST_F(Services, TelnetLoginWithAPassword) {
    sim->set_password("s3cret");
    const std::string report = kSet + "telnet_client_23";

    auto wrong = telnet("127.0.0.1", 23);
    for (int attempt = 0; attempt < 3; ++attempt) {
        ASSERT_TRUE(wrong->expect("Password:")) << printable(wrong->output());
        wrong->take("Password:");
        wrong->write("guess\r");
        ASSERT_TRUE(wrong->expect(" -- password failed, retry --")) << printable(wrong->output());
    }
    EXPECT_GE(wrong->wait_exit(), 0);
    // The failed login is reported over a connection of its own.
    ASSERT_TRUE(wait_request(1, "U"));
    Lines got = requests(1);
    EXPECT_EQ(Lines(got.begin() + 1, got.end()),
              (Lines{report + " 127.0.0.1", report + "_success False", "U"}));

    auto right = telnet("::1", 23);
    ASSERT_TRUE(right->expect("Password:")) << printable(right->output());
    right->write("s3cret\r");
    ASSERT_TRUE(right->expect("Quorvex Command Shell")) << printable(right->output());
    EXPECT_EQ(right->output().find("s3cret"), std::string::npos) << "the password was echoed";
    right->write("quit\r");
    EXPECT_GE(right->wait_exit(), 0);
    got = requests(2);
    ASSERT_GE(got.size(), 3u);
    EXPECT_EQ(got[1], report + " ::1");
    EXPECT_EQ(got[2], report + "_success True");
}

TEST_F(Services, HangingUpTheTelnetClientMidLineEndsTheSessionCleanly) {
    auto client = telnet("127.0.0.1", 23);
    ASSERT_TRUE(client->expect("Session type: telnet")) << printable(client->output());
    ASSERT_TRUE(is_running("zcon"));
    client->write("half a li");
    ASSERT_TRUE(client->expect("half a li"));
    client->kill(SIGKILL);
    client->wait_exit();

    EXPECT_TRUE(wait_request(1, "U"));
    Lines got = requests(1);
    EXPECT_EQ(Lines(got.end() - 2, got.end()), (Lines{kSet + "telnet_client_23 ", "U"}));
    EXPECT_TRUE(zt::wait_until([] { return !is_running("zcon"); }));
}

TEST_F(Services, SerialConsoleAnswersWithoutLoginAndComesBackAfterQuit) {
    sim->set_password("s3cret");  // a serial session never asks for it
    SerialLine line;
    ASSERT_TRUE(line.open());
    ASSERT_TRUE(line.expect(" type api-serial socket /tmp/apiasynclisteners/zcon"))
        << printable(line.output);
    ASSERT_TRUE(line.expect("\n"));
    // CR LF line ends, and nothing before the whoami answer.
    EXPECT_EQ(line.output.rfind("session 1 type api-serial socket ", 0), 0u)
        << printable(line.output);
    EXPECT_EQ(line.output.find('\n'), line.output.find('\r') + 1) << printable(line.output);
    line.write("echo on the line\r");
    ASSERT_TRUE(line.expect("on the line\r\n")) << printable(line.output);
    EXPECT_EQ(line.output.find("on the line\r\r"), std::string::npos) << printable(line.output);
    line.write("quit\r");
    EXPECT_TRUE(line.hung_up());
    ASSERT_TRUE(wait_request(1, "U"));
    Lines got = requests(1);
    EXPECT_EQ(Lines(got.begin() + 1, got.end()), (Lines{"E: whoami", "E: echo on the line", "U"}));

    // The console offers a new session on a new line under the same name;
    // the user going away ends it as a hang-up does.
    ASSERT_TRUE(zt::wait_until([&] { return line.open() && line.expect("session 2 type", 500ms); },
                               10000ms))
        << printable(line.output);
    line.fd.reset();
    EXPECT_TRUE(wait_request(2, "U"));
}

TEST_F(Services, StopEndsLiveSessionsAndLeavesNothingRunning) {
    auto client = telnet("::1", 24);
    ASSERT_TRUE(client->expect("type api socket")) << printable(client->output());
    SerialLine line;
    ASSERT_TRUE(line.open());
    ASSERT_TRUE(line.expect("type api-serial socket")) << printable(line.output);

    std::string out;
    ASSERT_EQ(zcon_sim("stop", &out), 0) << out;
    EXPECT_GE(client->wait_exit(), 0);
    EXPECT_TRUE(line.hung_up());
    // Both sessions ended properly, while appd was still there.
    std::string trace = sim->trace();
    EXPECT_NE(trace.find("1 < U\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("2 < U\n"), std::string::npos) << trace;
    EXPECT_TRUE(simulator_ended());
    EXPECT_EQ(running_processes(), Lines{});
    EXPECT_EQ(zcon_sim("status", &out), 3) << out;
}

// The demo runs its own simulator and session in private namespaces: the
// simulator already serving the fixed paths, and its session, never notice.
TEST_F(Services, DemoRunsBesideARunningSimulatorWithoutDisturbingIt) {
    auto resident = telnet("127.0.0.1", 23);
    ASSERT_TRUE(resident->expect("Session type: telnet")) << printable(resident->output());
    // Where namespaces cannot be had, the demo refuses.
    zt::TempDir no_namespaces;
    std::ofstream(no_namespaces.file("unshare")) << "#!/bin/sh\necho unshare: denied >&2\nexit 1\n";
    chmod(no_namespaces.file("unshare").c_str(), 0755);
    const std::string refused = "PATH=" + no_namespaces.path() + ":" + getenv("PATH");
    struct Case {
        Lines args, env;
        std::vector<std::pair<std::string, std::string>> steps;  // awaited, then typed
        int status;
        std::string absent = "";     // never shown
        std::string in_readme = "";  // what is shown up to this is the README's sample
    };
    const std::string readme = zt::read_file(zt::source_path("README.md"));
    for (const Case& c : {
             Case{{},
                  {},
                  {{"Session type: telnet\r\n", "echo hi\r"}, {"\nhi", "\r"}, {"-> ", "quit\r"}},
                  0,
                  "appd: ",
                  "Session type: telnet\n"},
             Case{{"--request-log", "--password", "pw"},
                  {},
                  {{"Password:", "pw\r"},
                   {"Session type", "echo hi\r"},
                   {": C: echo hi -> 0\n", "quit\r"}},
                  0},
             Case{{},
                  {refused},
                  {{"private namespaces are not available here: unshare: denied", ""}},
                  1},
         }) {
        zt::PtyOptions options;
        options.argv = {zt::source_path("scripts/demo")};
        options.argv.insert(options.argv.end(), c.args.begin(), c.args.end());
        options.env = c.env;
        zt::PtyProcess demo(options);
        for (const auto& [awaited, typed] : c.steps) {
            ASSERT_TRUE(demo.expect(awaited, 10000ms)) << printable(demo.output());
            demo.write(typed);
        }
        EXPECT_EQ(demo.wait_exit(10000ms), c.status) << printable(demo.output());
        if (!c.absent.empty()) {
            EXPECT_EQ(demo.output().find(c.absent), std::string::npos) << printable(demo.output());
        }
        if (!c.in_readme.empty()) {
            std::string shown = demo.output();
            std::erase(shown, '\r');
            shown.resize(shown.find(c.in_readme) + c.in_readme.size());
            EXPECT_NE(readme.find("$ scripts/demo --request-log\n" + shown), std::string::npos)
                << shown;
        }

        std::string out;
        EXPECT_EQ(zcon_sim("status", &out), 0) << out;
        EXPECT_EQ(sim->control("sessions").size(), 1u) << "the demo's session came here";
        resident->write("echo still here\r");
        ASSERT_TRUE(resident->expect("\nstill here\r\n")) << printable(resident->output());
        resident->take("\nstill here\r\n");
    }
}

}  // namespace
