// Logging in with the appliance password. (How a login that fails ends,
// and what it reports, is in e2e_ending.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/uio.h>

#include <filesystem>
#include <sstream>
#include <thread>

#include "sim_env.h"

namespace {

using namespace zt;

const std::string kGreeting = "Welcome to Orvandel\r\nPassword:\r\n";
const std::string kSession = "Session type: telnet\r\n";

// Whether a thread without CAP_SYS_PTRACE in effect may read pid's memory
// (its first readable mapping: an emulator reserves unreadable space first),
// as any process of the same user may unless pid is not dumpable.
bool readable_by_same_user(pid_t pid) {
    const std::string maps = read_file("/proc/" + std::to_string(pid) + "/maps");
    const size_t line = maps.rfind('\n', maps.find(" r")) + 1;  // the first readable one's
    const unsigned long start = maps.empty() ? 0 : std::stoul(maps.substr(line), nullptr, 16);
    bool readable = false;
    std::thread([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2]{};
        syscall(SYS_capget, &header, caps);
        caps[CAP_SYS_PTRACE / 32].effective &= ~(1u << (CAP_SYS_PTRACE % 32));
        if (syscall(SYS_capset, &header, caps) != 0) return;
        char byte;
        iovec local{&byte, 1}, remote{reinterpret_cast<void*>(start), 1};
        readable = process_vm_readv(pid, &local, 1, &remote, 1, 0) == 1;
    }).join();
    return readable;
}

// Whether text occurs in writable memory of pid: its stack, heap and data
// (mappings of 64 MiB or more, a sanitizer's reservations, are passed over).
bool memory_holds(pid_t pid, const std::string& text) {
    std::istringstream maps(read_file("/proc/" + std::to_string(pid) + "/maps"));
    UniqueFd mem(open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY));
    for (std::string line; std::getline(maps, line);) {
        unsigned long start = 0, end = 0;
        char perms[5] = "";
        if (sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) != 3 || perms[1] != 'w' ||
            end - start >= (64ul << 20)) {
            continue;
        }
        std::string bytes(end - start, '\0');
        const ssize_t n = pread(mem.get(), bytes.data(), bytes.size(), static_cast<off_t>(start));
        if (n > 0 && bytes.substr(0, static_cast<size_t>(n)).find(text) != std::string::npos)
            return true;
    }
    return false;
}

struct Login : ::testing::Test {
    void SetUp() override {
        sim.start_appliance();
        sim.set_password("s3cret");
    }
    SimEnv sim;
};

// The password is not echoed; while it is held no other process of the user
// can read it, and once the login is over no copy of it is left in memory.
// A carriage return typed literally is part of what was typed. A password
// longer than the tool's line holds is cut alike on both sides.
TEST_F(Login, RightPasswordOpensTheSession) {
    const std::string password = "s3cret" + std::string(200, 'p');
    sim.set_password(password);
    auto z = sim.zcon({});
    ASSERT_TRUE(z->expect(kGreeting)) << term_tokens(z->output());
    EXPECT_FALSE(readable_by_same_user(z->pid()));
    z->write("s3cret\x16\r\n");  // ^V: the CR reaches the shell as it is
    ASSERT_TRUE(z->expect(kRetry));
    z->write(password + "\n");
    ASSERT_TRUE(z->expect(kSession)) << term_tokens(z->output());
    const std::string shown = kGreeting + kRetry + "Password:\r\n\r\nQuorvex Command Shell\r\n";
    EXPECT_EQ(z->output().substr(0, shown.size()), shown);
    EXPECT_TRUE(readable_by_same_user(z->pid()));
    EXPECT_FALSE(memory_holds(z->pid(), "s3cret"));
    // The password tool's output is closed.
    for (const auto& fd :
         std::filesystem::directory_iterator("/proc/" + std::to_string(z->pid()) + "/fd"))
        EXPECT_NE(std::filesystem::read_symlink(fd).string().rfind("pipe:", 0), 0u);
}

// The password tool is started from the shell's own folder, whatever the
// folder's name, up to 255 bytes; one too long to name is a failure, never
// another folder; a folder without the tool means no password is set.
TEST_F(Login, PasswordToolOfAnyInstallFolder) {
    const struct {
        std::string folder;
        std::vector<const char*> programs;
        std::string shown;  // "" when the start-up ends with status 1 (in an api session)
    } rows[] = {
        {"/tmp/with space;semicolon/" + std::string(229, 'a'), {"zcon", "qtool"}, kGreeting},
        {"/tmp/" + std::string(150, 'a') + "/" + std::string(149, 'b'), {"zcon", "qtool"}, ""},
        {"/tmp/no-tool", {"zcon"}, kSession},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.folder);
        std::filesystem::create_directories(row.folder);
        for (const char* program : row.programs)
            std::filesystem::copy_file(bin_path(program), row.folder + "/" + program);
        PtyOptions options;
        options.argv = {row.folder + "/zcon", "-t", row.shown.empty() ? "api" : "telnet"};
        PtyProcess z(options);
        if (!row.shown.empty()) {
            EXPECT_TRUE(z.expect(row.shown)) << term_tokens(z.output());
        } else {
            EXPECT_EQ(z.wait_exit(), 1);
            EXPECT_EQ(z.output(), "");
            EXPECT_TRUE(sim.wait_message("Password access failure."));
        }
    }
}

// The login report names the session's own client: the one whose
// connection its service process holds (here a service on IPv4 only, each
// session under a process of its own), or the one sshd names. A session
// that no connection leads to reports the first client of its port that
// the IPv6 table lists, which may be anyone's.
TEST_F(Login, ReportNamesTheSessionsOwnClient) {
    sim.set_password("");
    unsetenv("SSH_CONNECTION");  // of whoever runs the test
    std::string zcon;            // the shell under test, its options to follow
    for (const std::string& word : shell_command())
        zcon += word + " ";
    Daemon telnet({"/usr/bin/socat", "TCP4-LISTEN:23,bind=127.0.0.1,reuseaddr,fork",
                   "EXEC:" + zcon + "-h 127.0.0.1,pty,setsid,ctty,stderr"});
    Daemon other({"/usr/bin/socat", "TCP6-LISTEN:23,bind=[::1],ipv6only=1",
                  "SYSTEM:touch /tmp/accepted; cat"});
    const std::string report = "< E: execwithoutecho systemsetting telnet_client_23 ";
    // A client from address from to address to (socat's syntax), kept
    // connected; it tries until the service listens.
    const auto client = [](const std::string& from, const std::string& to) {
        return std::make_unique<Daemon>(Lines{"/usr/bin/socat", "-u",
                                              to + ":23,bind=" + from + ",retry=99,interval=0.05",
                                              "/dev/null"});
    };
    auto first = client("127.0.0.2", "TCP4:127.0.0.1");
    EXPECT_TRUE(sim.wait_trace(report + "127.0.0.2\n")) << sim.trace();
    auto second = client("127.0.0.3", "TCP4:127.0.0.1");
    EXPECT_TRUE(sim.wait_trace(report + "127.0.0.3\n")) << sim.trace();
    auto elsewhere = client("[::1]", "TCP6:[::1]");
    ASSERT_TRUE(wait_until([] { return access("/tmp/accepted", F_OK) == 0; }));
    // Under sshd its client; an overlong address names none.
    for (const auto& [connection, address] :
         {std::pair<std::string, std::string>{"192.0.2.9 50022 127.0.0.1 22", "192.0.2.9"},
          {std::string(64, '1') + " 50022 127.0.0.1 22", "::1"}}) {
        PtyOptions options;
        options.env = {"SSH_CONNECTION=" + connection};
        auto z = sim.registered_zcon({"-h", "127.0.0.1"}, options);
        EXPECT_TRUE(sim.wait_trace(report + address + "\n")) << sim.trace();
    }
}

}  // namespace
