// Logging in with the appliance password, and the report of failed logins.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "sim_env.h"

namespace {

using namespace std::chrono_literals;
using zt::printable;
using Lines = std::vector<std::string>;

const std::string kGreeting = "Welcome to Orvandel\r\nPassword:\r\n";
const std::string kRetry = "\r\n -- password failed, retry --\r\n";
const std::string kSet = "E: execwithoutecho systemsetting ";
const Lines kFailureReport = {kSet + "telnet_client_23 ", kSet + "telnet_client_23_success False",
                              "U"};

// Whether a thread without CAP_SYS_PTRACE in effect may read pid's memory,
// as any process of the same user may unless pid is not dumpable.
bool readable_by_same_user(pid_t pid) {
    std::string maps = zt::read_file("/proc/" + std::to_string(pid) + "/maps");
    unsigned long start = maps.empty() ? 0 : std::stoul(maps, nullptr, 16);
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
    std::istringstream maps(zt::read_file("/proc/" + std::to_string(pid) + "/maps"));
    zt::UniqueFd mem(open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY));
    std::string line;
    while (std::getline(maps, line)) {
        unsigned long start = 0, end = 0;
        char perms[5] = "";
        if (sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) != 3 || perms[1] != 'w' ||
            end - start >= (64ul << 20)) {
            continue;
        }
        std::string bytes(end - start, '\0');
        ssize_t n = pread(mem.get(), bytes.data(), bytes.size(), static_cast<off_t>(start));
        if (n > 0 && bytes.substr(0, static_cast<size_t>(n)).find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

struct Login : ::testing::Test {
    void SetUp() override {
        sim.start_appd();
        sim.start_syslogd();
        sim.set_password("s3cret");
    }
    zt::SimEnv sim;
};

TEST_F(Login, RightPasswordOpensTheSessionWithoutEchoingIt) {
    auto z = sim.zcon({});
    ASSERT_TRUE(z->expect(kGreeting)) << printable(z->output());
    z->write("s3cret\n");
    ASSERT_TRUE(z->expect("Session type: telnet\r\n")) << printable(z->output());
    EXPECT_EQ(z->output().substr(0, kGreeting.size() + 2 + 21),
              kGreeting + "\r\nQuorvex Command Shell");
    EXPECT_TRUE(sim.wait_trace("< " + kSet + "telnet_client_23_success True"));
}

// Each wrong password costs the guesser two seconds, the last one included.
// While the password is held no other process of the user can read it, and
// once the login is over no copy of it is left in memory.
TEST_F(Login, ThePasswordIsHeldUndumpableAndClearedAfterUse) {
    auto z = sim.zcon({});
    ASSERT_TRUE(z->expect(kGreeting));
    EXPECT_FALSE(readable_by_same_user(z->pid()));
    z->write("s3cret\n");
    ASSERT_TRUE(z->expect("Session type: telnet\r\n")) << printable(z->output());
    EXPECT_TRUE(readable_by_same_user(z->pid()));
    EXPECT_FALSE(memory_holds(z->pid(), "s3cret"));
}

TEST_F(Login, ThreeWrongPasswordsEndTheSessionAndAreReported) {
    auto z = sim.zcon({"-t", "api"});
    ASSERT_TRUE(z->expect(kGreeting));
    auto typed = std::chrono::steady_clock::now();
    z->write("one\ntwo\nS3CRET\n");
    EXPECT_EQ(z->wait_exit(10000ms), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - typed, 6000ms);
    EXPECT_EQ(z->output(), kGreeting + kRetry + "Password:\r\n" + kRetry + "Password:\r\n" + kRetry)
        << printable(z->output());
    // A short-lived connection tells the application of the failure.
    auto lines = sim.requests();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].substr(0, 7), "R: api ");
    EXPECT_EQ(lines[1], kSet + "telnet_client_24 ");
    EXPECT_EQ(lines[2], kSet + "telnet_client_24_success False");
    EXPECT_EQ(lines[3], "U");
    const std::string socket = lines[0].substr(7);
    EXPECT_NE(access(socket.c_str(), F_OK), 0) << socket;  // nothing left behind
}

TEST_F(Login, EndOfInputAtThePromptFailsAtOnce) {
    auto z = sim.zcon({});
    ASSERT_TRUE(z->expect(kGreeting));
    z->write("\x04");  // end of input on a terminal in line mode
    EXPECT_EQ(z->wait_exit(), 1);
    EXPECT_EQ(z->output(), kGreeting);
    zt::wait_until([&] { return sim.requests().size() == 4; });
    auto lines = sim.requests();
    EXPECT_EQ(Lines(lines.begin() + 1, lines.end()), kFailureReport);
}

// Wrong passwords are reported however the login then ends; giving up with
// Ctrl-C before any guess leaves nothing to report.
TEST_F(Login, CtrlCReportsTheWrongPasswordsGivenBefore) {
    struct Case {
        const char* name;
        Lines guesses;
        Lines report;
    };
    for (const Case& c : {Case{"after two wrong passwords", {"one\n", "two\n"}, kFailureReport},
                          Case{"before any", {}, {}}}) {
        SCOPED_TRACE(c.name);
        size_t before = sim.requests().size();
        auto z = sim.zcon({});
        ASSERT_TRUE(z->expect(kGreeting));
        for (const auto& guess : c.guesses) {
            z->write(guess);
            ASSERT_TRUE(z->expect(kRetry)) << printable(z->output());
            z->take(kRetry);
        }
        z->write("\x03");
        EXPECT_EQ(z->wait_exit(), 1);
        // A report's registration is answered before the process ends.
        if (!c.report.empty()) {
            zt::wait_until([&] { return sim.requests().size() == before + 1 + c.report.size(); });
        }
        auto lines = sim.requests();
        lines.erase(lines.begin(), lines.begin() + static_cast<long>(before));
        if (!lines.empty()) lines.erase(lines.begin());  // the registration
        EXPECT_EQ(lines, c.report);
    }
}

TEST_F(Login, CarriageReturnStaysPartOfTheTypedPassword) {
    auto z = sim.zcon({});
    ASSERT_TRUE(z->expect(kGreeting));
    z->write("s3cret\x16\r\n");  // ^V: the CR reaches the shell as it is
    ASSERT_TRUE(z->expect(kRetry));
    z->write("s3cret\n");
    EXPECT_TRUE(z->expect("Session type: telnet\r\n"));
}

// The password tool is started from the shell's own folder, whatever the
// folder's name; one too long to name is a failure, never another folder.
TEST_F(Login, PasswordToolOfAnyInstallFolder) {
    const struct {
        std::string folder;
        bool asks;  // else the start-up ends with status 1
    } rows[] = {
        {"/tmp/with space", true},
        {"/tmp/semi;colon", true},
        {"/tmp/" + std::string(150, 'a') + "/" + std::string(149, 'b'), false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.folder);
        std::filesystem::create_directories(row.folder);
        for (const char* program : {"zcon", "qtool"})
            std::filesystem::copy_file(zt::bin_path(program), row.folder + "/" + program);
        zt::PtyOptions options;
        options.argv = {row.folder + "/zcon"};
        options.env = {std::string("ZCON_SIM_DIR=") + zt::SimEnv::kStateDir};
        zt::PtyProcess z(options);
        if (row.asks) {
            EXPECT_TRUE(z.expect(kGreeting)) << printable(z.output());
            z.kill(SIGTERM);
        } else {
            EXPECT_EQ(z.wait_exit(), 1);
            EXPECT_EQ(z.output(), "");
        }
    }
}

TEST_F(Login, SerialSessionsNeverAskAndNoPasswordMeansNoQuestion) {
    auto serial = sim.registered_zcon({"-t", "rs232"});
    EXPECT_TRUE(serial->running());
    sim.set_password("");
    auto z = sim.zcon({});
    ASSERT_TRUE(z->expect("Session type: telnet\r\n"));
    EXPECT_EQ(z->output().find("Password"), std::string::npos);
    EXPECT_EQ(serial->output().find("Password"), std::string::npos);
}

}  // namespace
