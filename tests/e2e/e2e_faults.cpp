// Faults around a session, each with the outcome the shell owes its user:
// a clear message and a clean end, or a session that carries on unharmed,
// with no descriptor left behind.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "sim_env.h"

namespace {

using namespace std::chrono_literals;
using zt::printable;

// Descriptors a process has open.
int fd_count(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (readdir(d) != nullptr)
        ++n;
    closedir(d);
    return n - 2;
}

struct Faults : ::testing::Test {
    void SetUp() override {
        sim.start_appd();
        sim.start_syslogd();
    }
    // Starts a telnet session and waits until it is ready for commands.
    void start(std::vector<std::string> args = {}) {
        z = sim.registered_zcon(std::move(args));
        ASSERT_TRUE(sim.wait_trace("telnet_client_23_success"));
        std::string line = sim.control("sessions").at(0);
        id = line.substr(0, line.find(' '));
        z->take();
    }
    // Runs a command and waits for its output.
    void run(const std::string& line, const std::string& until) {
        z->write(line + "\r");
        ASSERT_TRUE(z->expect(until)) << printable(z->output());
        z->take(until);
    }
    void control(const std::string& command) {
        std::string status;
        sim.control(command, &status);
        ASSERT_EQ(status, "ok") << command;
    }
    zt::SimEnv sim;
    std::unique_ptr<zt::PtyProcess> z;
    std::string id;
};

TEST_F(Faults, EmptyLineFromTheApplicationClosesTheSession) {
    start();
    z->write("sim answer\r");
    ASSERT_TRUE(z->expect("error: session is closed by peer\r\n"));
    EXPECT_EQ(z->wait_exit(), 0);
}

TEST_F(Faults, OverlongLineFromTheApplicationClosesTheSession) {
    start();
    control("send " + id + " R: 0" + std::string(20000, 'x') + "\\n");
    run("version", "error: session is closed by peer\r\n");
    EXPECT_EQ(z->wait_exit(), 0);
}

TEST_F(Faults, GarbageAndNulsFromTheApplicationAreSurvived) {
    start();
    run("echo warm", "warm\n");
    int fds = fd_count(z->pid());
    // (A line of control bytes alone would be an empty line: the end.)
    control("send " + id + " garbage\\n\\x01x\\x02\\n\\xff\\xfe\\nS: 4\\n");
    z->write("sim hold\r");
    ASSERT_TRUE(sim.wait_trace("< C: sim hold"));
    // The NULs go; what is left is a negative answer for the held request.
    control("send " + id + " \\x00R: -\\x002\\x00\\n");
    ASSERT_TRUE(z->expect("error: command not found\r\n")) << printable(z->output());
    run("echo still fine", "still fine\n");
    EXPECT_EQ(fd_count(z->pid()), fds);
}

TEST_F(Faults, ApplicationRestartingWhileTheSessionWaitsToConnect) {
    sim.stop_appd();
    z = sim.zcon({"-t", "api", "--nobanner"});
    ASSERT_TRUE(z->expect("Waiting for application to start\r\n"));
    sim.start_appd();
    sim.stop_appd();
    sim.start_appd();
    ASSERT_TRUE(sim.wait_trace("< R: api ", 20000ms));
    z->write("echo connected\r");
    ASSERT_TRUE(z->expect("connected\n"));
    std::string out = z->output();
    EXPECT_EQ(out.find("Waiting"), out.rfind("Waiting"));
}

// Logs probe entries until one reaches the session's live log.
bool log_reaches(zt::PtyProcess& z, const std::string& tag) {
    int n = 0;
    return zt::wait_until(
        [&] {
            std::string probe = tag + std::to_string(++n);
            openlog("probe", 0, LOG_USER);
            syslog(LOG_NOTICE, "%s", probe.c_str());
            closelog();
            return z.expect(probe + "\n", 20ms);
        },
        10000ms);
}

TEST_F(Faults, SyslogdKilledAndRestartedFeedsTheSessionAgain) {
    start();
    ASSERT_TRUE(log_reaches(*z, "before"));
    sim.syslogd()->stop(SIGKILL);
    sim.start_syslogd();  // it finds the session's listener as it starts
    EXPECT_TRUE(log_reaches(*z, "after")) << printable(z->output());
    run("echo carrying on", "carrying on\n");
}

TEST_F(Faults, EmptyDatagramsOnTheListenersAreIgnored) {
    start();
    ASSERT_TRUE(log_reaches(*z, "before"));
    const std::string terminal = z->tty_name().substr(z->tty_name().rfind('/') + 1);
    for (const char* dir : {"/tmp/apiasynclisteners/zcon", "/tmp/sysloglisteners/zcon"}) {
        zt::UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof address.sun_path, "%s%s", dir, terminal.c_str());
        ASSERT_EQ(sendto(fd.get(), "", 0, 0, reinterpret_cast<sockaddr*>(&address), sizeof address),
                  0)
            << address.sun_path;
    }
    run("echo still read", "still read\n");
    EXPECT_TRUE(log_reaches(*z, "after")) << printable(z->output());
}

// Whatever another user planted at /tmp/env, printenv shows the listing,
// writes nowhere else and does not hang; /tmp/env then holds the listing,
// readable by this user only, unless the planted name cannot be replaced.
TEST_F(Faults, PrintenvTrustsNothingPlantedAtItsListingPath) {
    zt::TempDir tools;
    std::ofstream(tools.file("fw_printenv")) << "#!/bin/sh\nprintf 'baudrate=115200\\nx=1\\n'\n";
    chmod(tools.file("fw_printenv").c_str(), 0755);
    zt::PtyOptions options;
    options.env.push_back("PATH=" + tools.path() + ":" + getenv("PATH"));
    z = sim.registered_zcon({}, options);
    ASSERT_TRUE(sim.wait_trace("telnet_client_23_success"));
    z->take();
    const struct {
        const char* planted;
        int (*plant)();
        bool replaced;
    } rows[] = {
        {"nothing", [] { return 0; }, true},
        {"a link to another file", [] { return symlink("/tmp/victim", "/tmp/env"); }, true},
        {"a fifo", [] { return mkfifo("/tmp/env", 0666); }, true},
        {"a directory", [] { return mkdir("/tmp/env", 0777); }, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.planted);
        std::filesystem::remove_all("/tmp/env");
        std::ofstream("/tmp/victim") << "untouched";
        ASSERT_EQ(row.plant(), 0);
        run("printenv", "baudrate=115200\n\rx=1\n\r\n\r");
        EXPECT_EQ(zt::read_file("/tmp/victim"), "untouched");
        struct stat st {};
        ASSERT_EQ(lstat("/tmp/env", &st), 0);
        if (row.replaced) {
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(st.st_mode & 0777, 0600u);
            EXPECT_EQ(zt::read_file("/tmp/env"), "baudrate=115200\nx=1\n");
        } else {
            EXPECT_TRUE(S_ISDIR(st.st_mode));
        }
        for (const auto& entry : std::filesystem::directory_iterator("/tmp"))
            EXPECT_EQ(entry.path().string().rfind("/tmp/env."), std::string::npos) << entry.path();
    }
}

TEST_F(Faults, MissingListenerDirectories) {
    std::filesystem::remove_all("/tmp/sysloglisteners");
    std::filesystem::remove_all("/tmp/apiasynclisteners");
    z = sim.zcon({});
    EXPECT_EQ(z->wait_exit(), 255);
    const std::string out = z->output();
    EXPECT_NE(out.find("setupSocket: bind() error: No such file or directory\r\n"
                       "error: zcon failed to setup async listener\r\n"),
              std::string::npos)
        << printable(out);
    EXPECT_TRUE(zt::same_attributes(z->attributes(), z->initial_attributes()));
}

TEST_F(Faults, ReadyFileRemovedDuringASessionChangesNothing) {
    start();
    unlink("/tmp/ZconReady");
    run("echo carrying on", "carrying on\n");
}

TEST_F(Faults, WindowSizeStormWhileTyping) {
    start();
    for (int i = 0; i < 200; ++i) {
        z->resize(24, 20 + i % 60);
        z->write(std::string(1, static_cast<char>('a' + i % 26)));
    }
    z->resize(24, 80);
    z->write("\x01");  // to the start of the line, whatever the width was
    z->write("echo \r");
    std::string typed;
    for (int i = 0; i < 200; ++i)
        typed += static_cast<char>('a' + i % 26);
    ASSERT_TRUE(z->expect(typed + "\n", 10000ms)) << printable(z->output());
}

TEST_F(Faults, Sigusr1DuringARequestLosesNothing) {
    z = sim.zcon({"--wait"});
    ASSERT_TRUE(z->expect("start...\r\n"));
    z->kill(SIGUSR1);
    ASSERT_TRUE(sim.wait_trace("telnet_client_23_success"));
    z->take();
    z->write("sim lag 300\r");
    ASSERT_TRUE(sim.wait_trace("< C: sim lag 300"));
    z->kill(SIGUSR1);
    ASSERT_TRUE(z->expect("DEBUG: SIGUSR1 received! set continue flag to true\r\n"));
    z->write("echo answered\r");
    ASSERT_TRUE(z->expect("answered\n"));
    std::string trace = sim.trace();
    EXPECT_LT(trace.find("> R: 0", trace.find("< C: sim lag 300")),
              trace.find("< C: echo answered"));
}

}  // namespace
