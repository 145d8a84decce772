// The console on a pseudo-terminal in the test's own process: what side
// threads print while a line is half typed comes out after the line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "cle.h"
#include "console.h"
#include "log_reader.h"
#include "session.h"
#include "test_util.h"

namespace {

using namespace zt;

TEST(Console, ALogReaderErrorWaitsForTheTypedLine) {
    // The log reader's listener cannot be bound: a directory stands at its path.
    const std::string tag = "console-test-" + std::to_string(getpid());
    const std::string listener = "/tmp/sysloglisteners/zcon" + tag;
    mkdir(listener.c_str(), 0700);
    SessionSettings settings;
    snprintf(settings.tty_name, sizeof settings.tty_name, "/dev/%s", tag.c_str());
    session_settings_set(settings);
    // A process that the log reader takes for the system logger.
    const pid_t syslogd = fork();
    if (syslogd == 0) prctl(PR_SET_NAME, "syslogd"), pause(), _exit(0);

    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    UniqueFd pty(master), pty_slave(slave);
    termios mode{};
    tcgetattr(slave, &mode);
    mode.c_oflag &= ~static_cast<tcflag_t>(ONLCR);  // the bytes as the console wrote them
    tcsetattr(slave, TCSANOW, &mode);
    // The console works on standard input and output; the test's own step
    // aside until the end, so its reports are made afterwards.
    fflush(stdout);
    UniqueFd in(dup(STDIN_FILENO)), out(dup(STDOUT_FILENO));
    dup2(slave, STDIN_FILENO);
    dup2(slave, STDOUT_FILENO);
    const bool started = console_init() == 0 && console_editor_init() == 0;

    std::string shown;
    const auto shown_after = [&](const std::string& text) {
        wait_until([&] { return read_available(master, &shown), shown.size() >= text.size(); });
        return shown;
    };
    char line[kCmdBuffSize];
    std::thread editor([&] { cle_get_command_line("", line, sizeof line - 1); });
    (void)!write(master, "ab", 2);
    const std::string typed = shown_after("ab");
    std::thread(logReaderThread, nullptr).join();
    (void)!write(master, "\r", 1);
    editor.join();
    console_release_held();
    const std::string error = "ab\r\nsetupSocket: bind() error: ";
    const std::string after = shown_after(error);
    console_editor_cleanup();
    dup2(in.get(), STDIN_FILENO);
    dup2(out.get(), STDOUT_FILENO);
    rmdir(listener.c_str());
    kill(syslogd, SIGKILL);
    waitpid(syslogd, nullptr, 0);

    ASSERT_TRUE(started);
    EXPECT_EQ(typed, "ab");
    EXPECT_EQ(after.substr(0, error.size()), error) << term_tokens(after);
}

}  // namespace
