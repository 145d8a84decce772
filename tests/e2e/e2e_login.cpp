// Logging in with the appliance password, and the report of failed logins.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include "sim_env.h"

namespace {

using zt::printable;
using Lines = std::vector<std::string>;

const std::string kGreeting = "Welcome to Orvandel\r\nPassword:\r\n";
const std::string kRetry = "\r\n -- password failed, retry --\r\n";
const std::string kSet = "E: execwithoutecho systemsetting ";

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

TEST_F(Login, ThreeWrongPasswordsEndTheSessionAndAreReported) {
    auto z = sim.zcon({"-t", "api"});
    ASSERT_TRUE(z->expect(kGreeting));
    z->write("one\ntwo\nS3CRET\n");
    EXPECT_EQ(z->wait_exit(), 1);
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
