// Start-up of a session: the checks before anything else, the options, the
// session types and the wait for the application.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "sim_env.h"

namespace {

using namespace zt;

const std::string kUsage =
    "Quorvex API/Debug shell usage: zcon [options]\r\n"
    "  -h hostname/addr Set host name/address for XCOM (default: localhost)\r\n"
    "  -p port          Set port for XCOM (default: 4121)\r\n"
    "  -t type          Set session type - \"api\", \"telnet\"\r\n";
const std::string kWaiting = "Waiting for application to start\r\n";
const std::string kNoEditor =
    "save_term_settings() failed\n: Inappropriate ioctl for device\n"
    "Failed to initialize command-line editor\r\n";
constexpr int kInterrupted = 128 + SIGINT;

struct Startup : ::testing::Test {
    SimEnv sim;
};

// What a session prints before it ends, or while it waits (those rows are
// then ended with Ctrl-C's signal).
TEST_F(Startup, FirstWordsOfASession) {
    sim.start_appd();
    const std::string long_host(128, 'h');
    const struct {
        int ready;       // 1: the service's file, 0: none, -1: a FIFO in its place
        int redirected;  // 1: standard output to a pipe, 2: standard input from /dev/null,
                         // 3: no memory for the buffered output
        Lines args;
        std::string output;
        int status;
    } rows[] = {
        {1, 1, {"--help"}, "Can't get TTY name: Inappropriate ioctl for device\n", 255},
        {1, 2, {"-t", "api"}, kNoEditor, 145},
        {1, 3, {"-t", "api"}, "error: failed to bind stdout_shio to stdout\r\n", 253},
        {1, 0, {"--noecho", "--help", "-x"}, kUsage, 0},
        {1,
         0,
         {"-x", "-hlocalhost", "-h", long_host, "--wait", "-p"},
         "Invalid argument \"-x\"\r\nInvalid argument \"-hlocalhost\"\r\nInvalid argument \"" +
             long_host + "\"\r\nInvalid argument \"-p\"\r\nUsage:\r\n" + kUsage,
         1},
        {1, 0, {"-t", "bogus"}, "Invalid type \"bogus\" specified\r\nUsage:\r\n" + kUsage, 1},
        // 2^32 + 4121: no port, though its low 32 bits are the application's.
        {1, 0, {"-t", "api", "--nobanner", "-p", "4294971417"}, kWaiting, kInterrupted},
        {1,
         0,
         {"--logviewer", "-t", "api"},
         "Log viewer mode (Ctrl-C to quit) ...\r\n",
         kInterrupted},
        // Last: no ready file, then a FIFO, which would hold an open for good.
        {0, 0, {"--help"}, "Fatal: telnet server not running.\n", 1},
        {-1, 0, {"--help"}, "Fatal: telnet server not running.\n", 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args.back());
        if (row.ready < 1) unlink("/tmp/ZconReady");
        if (row.ready < 0) mkfifo("/tmp/ZconReady", 0666);
        PtyOptions options;
        options.stdout_to_pipe = row.redirected == 1;
        options.stdin_null = row.redirected == 2;
        if (row.redirected == 3) {
            options.env = {"LD_PRELOAD=" + bin_path("libzcon_no_memstream.so"),
                           "ASAN_OPTIONS=verify_asan_link_order=0"};
        }
        auto z = sim.zcon(row.args, options);
        if (row.status == kInterrupted) {
            EXPECT_TRUE(z->expect(row.output));
            z->kill(SIGINT);
        }
        EXPECT_EQ(z->wait_exit(), row.status);
        EXPECT_EQ(z->output(), row.output) << term_tokens(z->output());
        EXPECT_EQ(z->pipe_output(), "");
    }
}

TEST_F(Startup, TelnetSessionWaitsForTheApplicationThenRegisters) {
    sim.start_syslogd();
    auto z = sim.zcon({"-h", "127.0.0.1"});
    ASSERT_TRUE(z->expect(kWaiting)) << term_tokens(z->output());
    EXPECT_EQ(z->take(),
              "Quorvex Command Shell\r\nXCOM host:    127.0.0.1 port: 4121\r\n"
              "TTY name:     " +
                  z->tty_name() + "\r\n" + kWaiting);
    sim.start_appd();
    // The next attempt comes within the 5-second pause.
    ASSERT_TRUE(z->expect("Session type: telnet\r\n", 15000ms)) << term_tokens(z->output());
    EXPECT_EQ(z->take(), "Session type: telnet\r\n");
}

// Each session type registers as what it is and greets in its own way: an
// API session asks "whoami" unless told not to, a telnet session does not.
// An api session on an FPGAS terminal is a serial one.
TEST_F(Startup, SessionTypeDecidesRegistrationAndGreeting) {
    sim.start_appd();
    const struct {
        Lines args;
        std::string registered_as;
        bool whoami;
        const char* alias = "";  // the terminal's name
    } rows[] = {
        {{"-t", "telnet24"}, "api", true},
        {{"-t", "rs232"}, "api-serial", true},
        {{"-t", "api", "--nobanner", "-h", "127.0.0.1", "-p", "04121abc"}, "api", false},
        {{"-t", "api", "-t", "telnet"}, "telnet", false},
        {{"-t", "api", "--nobanner"}, "api-serial", false, "/dev/ttyFPGAS0"},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.registered_as + " from " + row.args[1]);
        const size_t before = sim.requests().size();
        PtyOptions options;
        options.alias = row.alias;
        auto z = sim.registered_zcon(row.args, options);
        // A marker command: every request of the start-up has been sent when
        // the application sees it.
        const std::string marker = "echo marker" + std::to_string(++n);
        z->write(marker + "\r");
        const std::string prefix = row.registered_as == "telnet" ? "C: " : "E: ";
        ASSERT_TRUE(sim.wait_trace("< " + prefix + marker)) << sim.trace();
        // A serial line keeps CR: there Enter is echoed LF CR.
        const bool serial = row.registered_as == "api-serial";
        EXPECT_TRUE(z->expect(marker + (serial ? "\n\r" : "\r\n"))) << term_tokens(z->output());
        if (row.registered_as == "telnet") {  // no syslogd here: it says so and goes on
            EXPECT_TRUE(z->expect("logReaderThread: syslogd not running\r\n"));
        }
        if (serial) {  // a refused shell gives the terminal its settings back
            z->write("shell\r");
            EXPECT_TRUE(z->expect("error: command not found\r\n"));
            EXPECT_TRUE(same_attributes(z->attributes(), z->initial_attributes()));
        }
        Lines got = sim.requests();
        got.erase(got.begin(), got.begin() + static_cast<long>(before));
        // The last row's "U" may reach the application after its session ended.
        std::erase(got, "U");
        EXPECT_EQ(got.front(),
                  "R: " + row.registered_as + " /tmp/apiasynclisteners/zcon" + z->tty_tag());
        EXPECT_EQ(std::count(got.begin(), got.end(), "E: whoami"), row.whoami ? 1 : 0);
        // A hang-up must reach the main thread's waits: no other thread takes it.
        const std::string main = std::to_string(z->pid());
        for (const auto& task : std::filesystem::directory_iterator("/proc/" + main + "/task")) {
            const std::string status = read_file(task.path() / "status");
            EXPECT_EQ(std::stoull(status.substr(status.find("SigBlk:") + 7), nullptr, 16) & 1,
                      task.path().filename() == main ? 0u : 1u);
        }
        z->write(serial ? "\x04" : "quit\r");  // given back, the terminal reads lines itself
        EXPECT_EQ(z->wait_exit(), 0);
    }
}

}  // namespace
