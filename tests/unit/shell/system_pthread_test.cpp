// Running command lines through /bin/sh, and the boot environment commands
// end to end with the real fw_setenv and fw_printenv on the simulator's
// environment file.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "channel_fixture.h"
#include "commands.h"
#include "seams.h"
#include "session.h"
#include "test_util.h"

namespace {

int fake_runner(const char*) {
    return 42;
}

TEST(SystemPthread, RunsThroughTheShellAndReturnsTheWaitStatus) {
    EXPECT_EQ(WEXITSTATUS(system_pthread("[ \"$0\" = /bin/sh ] && exit 3")), 3);
    const int status = system_pthread("kill -TERM $$");
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_EQ(system_pthread(nullptr), -1);

    zt::TempDir dir;  // returns only once the command has finished
    EXPECT_EQ(system_pthread(("echo ok > " + dir.file("done")).c_str()), 0);
    EXPECT_EQ(zt::read_file(dir.file("done")), "ok\n");

    const CommandRunnerT before = system_pthread_set_runner(fake_runner);
    EXPECT_EQ(system_pthread("exit 3"), 42);
    EXPECT_EQ(system_pthread_set_runner(before), fake_runner);
}

// A simulated boot environment in a fresh directory, reached through the
// simulator's fw_setenv/fw_printenv wrappers first on PATH.
class BootEnv : public ::testing::Test {
  protected:
    void SetUp() override {
        // A missing tool is a failure: scripts/install-deps installs both.
        ASSERT_EQ(access("/usr/bin/fw_setenv", X_OK), 0) << "libubootenv-tool is not installed";
        ASSERT_EQ(access("/usr/bin/mkenvimage", X_OK), 0) << "u-boot-tools is not installed";
        const std::string sim = zt::source_path("sim/fw_env");
        newline_string = serial_newline_string;
        old_path_ = getenv("PATH") ? getenv("PATH") : "";
        setenv("ZCON_SIM_DIR", dir_.path().c_str(), 1);
        setenv("PATH", (sim + "/bin:" + old_path_).c_str(), 1);
        ASSERT_EQ(system_pthread((sim + "/fw-env-setup").c_str()), 0);
    }
    void TearDown() override {
        if (!old_path_.empty()) setenv("PATH", old_path_.c_str(), 1);
        unsetenv("ZCON_SIM_DIR");
    }
    static std::string type(const std::string& line) {
        zt::StdoutCapture capture;
        EXPECT_EQ(process_command(line.c_str()), -1) << line;
        return capture.text();
    }

    zt::TempDir dir_;
    std::string old_path_;
};

TEST_F(BootEnv, SetenvChangesWhatPrintenvLists) {
    const std::string before = type("printenv");
    EXPECT_NE(before.find("\n\rbootdelay=3\n\r"), std::string::npos) << before;
    EXPECT_EQ(before.substr(before.size() - 4), "\n\r\n\r");

    EXPECT_EQ(type("setenv bootdelay 7"), "");
    EXPECT_EQ(type("setenv bootargs \"console=ttyS0,115200 root=/dev/mtdblock2\""), "");
    EXPECT_EQ(type("setenv baudrate"), "");  // deletes
    const std::string after = type("printenv");
    EXPECT_NE(after.find("\n\rbootdelay=7\n\r"), std::string::npos) << after;
    EXPECT_NE(after.find("\n\rbootargs=console=ttyS0,115200 root=/dev/mtdblock2\n\r"),
              std::string::npos);
    EXPECT_EQ(after.find("baudrate="), std::string::npos);
}

TEST_F(BootEnv, InjectionAttemptsRunNothing) {
    const std::string before = type("printenv");
    const std::string m = dir_.file("owned");
    for (const std::string& line :
         {"setenv a;touch${IFS}" + m, "setenv a|touch${IFS}" + m, "setenv $(touch${IFS}" + m + ")",
          "setenv `touch${IFS}" + m + "`", "setenv \"a b;touch " + m + "\" 1",
          "setenv x \"\\\"; touch " + m + "; \\\"\"", "setenv x \"$(touch " + m + ")\"",
          "setenv x \"`touch " + m + "`\"", "setenv x \"a\\ntouch " + m + "\"",
          "setenv x \"-s " + m + "\""}) {
        EXPECT_EQ(type(line), "error: command has illegal parameter(s)\r\n") << line;
        EXPECT_NE(access(m.c_str(), F_OK), 0) << line;
    }
    EXPECT_EQ(type("printenv"), before);
}

}  // namespace
