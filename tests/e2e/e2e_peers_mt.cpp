// Who may speak in a session, lines across datagrams, and endings that wait
// for nothing. These rows also run with the appliance's build of the shell
// under its emulator (ctest label qemu: ZCON_SHELL and ZCON_EMULATOR), so
// they look at the shell from outside only.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <filesystem>

#include "sim_env.h"

namespace {

using namespace zt;

// Sends bytes to the socket at path from a process of its own, as uid if
// not 0. Returns that process's pid, or -1 when the datagram did not go.
pid_t send_from_child(const std::string& path, const std::string& bytes, uid_t uid = 0) {
    const pid_t pid = fork();
    if (pid == 0) {
        const bool as_uid =
            uid == 0 || (setresgid(uid, uid, uid) == 0 && setresuid(uid, uid, uid) == 0);
        _exit(as_uid && send_datagram(path, bytes) ? 0 : 1);
    }
    int status = -1;
    return waitpid(pid, &status, 0) == pid && status == 0 ? pid : -1;
}

// Whether a thread of process pid is writing to its standard output.
bool writes_to_terminal(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator(tasks, ec))
        if (read_file(task.path().string() + "/syscall")
                .starts_with(std::to_string(SYS_write) + " 0x1 "))
            return true;
    return false;
}

struct Peers : ::testing::Test {
    // A telnet session at its command line, its live log's socket bound.
    std::unique_ptr<PtyProcess> telnet() {
        sim.start_appliance();
        auto z = sim.telnet();
        EXPECT_TRUE(wait_until([&] { return std::filesystem::exists(kLog + z->tty_tag()); }));
        return z;
    }
    SimEnv sim;
};

// A datagram of a user who is none of the session's peers is dropped,
// whichever socket it comes to, and warned of in the system log with its
// sender; the next line of a peer (root, here) shows, alone.
TEST_F(Peers, OnlyTheSessionsPeersAreHeard) {
    auto z = telnet();
    z->write("cull add WARNING:\r");  // the warnings would show in the live log too
    ASSERT_TRUE(z->expect("cull add WARNING:\r\n"));
    z->take();
    for (const std::string& socket : {kEvents, kLog}) {
        const std::string path = socket + z->tty_tag();
        SCOPED_TRACE(path);
        const pid_t stranger = send_from_child(path, "Password:\n", 65534);
        ASSERT_GT(stranger, 0);
        ASSERT_TRUE(send_datagram(path, socket == kEvents ? "after\n" : "after"));
        ASSERT_TRUE(z->expect("after\n")) << term_tokens(z->output());
        EXPECT_EQ(z->take("after\n"), "after\n");
        EXPECT_TRUE(sim.wait_message((socket == kEvents ? "event" : "log") +
                                     std::string(" socket: datagram of another user dropped: "
                                                 "uid 65534, pid ") +
                                     std::to_string(stranger)))
            << sim.messages();
    }
}

// An application that runs as a user of its own is heard: that user owns
// its end of the session's connection, which the kernel's tables tell.
TEST_F(Peers, AnApplicationOfAUserOfItsOwnIsHeard) {
    sim.start_syslogd();
    ASSERT_EQ(chmod(SimEnv::kStateDir, 01777), 0);  // for its control socket and trace
    sim.start_appd(kAsNobody);
    auto z = sim.telnet();
    z->write("echo heard\r");
    EXPECT_TRUE(z->expect("\nheard\n")) << term_tokens(z->output());
}

// Each sender's datagrams are one stream of lines: a line may span them,
// and the pieces of two senders never join; a piece still waiting when the
// session ends is shown alone.
TEST_F(Peers, ALineSpansDatagramsButNeverTwoSenders) {
    auto z = telnet();
    const std::string path = kEvents + z->tty_tag();
    ASSERT_TRUE(send_datagram(path, "alpha-"));     // from a, this process
    ASSERT_GT(send_from_child(path, "beta\n"), 0);  // and b
    ASSERT_TRUE(z->expect("beta\n"));
    ASSERT_TRUE(send_datagram(path, "omega\n"));
    ASSERT_TRUE(z->expect("alpha-omega\n"));
    EXPECT_EQ(z->take("alpha-omega\n"), "beta\nalpha-omega\n");
    ASSERT_TRUE(send_datagram(path, "left waiting"));
    z->write("quit\r");
    EXPECT_EQ(z->wait_exit(), 0);
    EXPECT_NE(z->output().find("quit\r\nleft waiting\n"), std::string::npos)
        << term_tokens(z->output());
}

// SIGTERM while nobody reads the terminal, which the application's output
// has filled: the session still ends at once, its sockets removed and "U"
// sent, what the terminal could not take dropped.
TEST_F(Peers, SigtermWhileTheTerminalIsNotReadEndsWithinASecond) {
    auto z = telnet();
    const Lines sessions = sim.control("sessions");
    ASSERT_FALSE(sessions.empty());
    sim.control("flood " + sessions[0].substr(0, sessions[0].find(' ')) + " 20000 100 20");
    ASSERT_TRUE(wait_until([&] { return writes_to_terminal(z->pid()); }));
    z->kill(SIGTERM);
    EXPECT_TRUE(wait_until([&] { return !z->running(); }, 1000ms));  // the terminal unread
    EXPECT_EQ(z->wait_exit(), 143);
    for (const std::string& socket : {kEvents, kLog})
        EXPECT_FALSE(std::filesystem::exists(socket + z->tty_tag())) << socket;
    EXPECT_TRUE(wait_until([&] { return sim.requests().back() == "U"; }));
}

// A hang-up while --wait holds the start-up, before the options are even
// read whole: the session ends as its ending says, neither killed by the
// signal nor failing to start an editor on a terminal it no longer has.
TEST_F(Peers, AHangUpEarlyInStartUpEndsAsTheDesignSays) {
    const struct {
        Lines args;
        int status;
    } rows[] = {
        {{"--wait", "-t", "api-serial"}, 0},  // cut short before it connects
        {{"--wait"}, 1},                      // the login given up
    };
    for (const auto& r : rows) {
        auto z = sim.zcon(r.args);
        ASSERT_TRUE(z->expect("DEBUG: waiting for SIGUSR1 to start...\r\n"));
        z->hang_up();
        EXPECT_EQ(z->wait_exit(), r.status) << r.args.size();
    }
}

}  // namespace
