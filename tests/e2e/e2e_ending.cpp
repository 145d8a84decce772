// Every way a session ends, a hang-up or an ending signal in each state
// (they share one path) and every end of a login included: its exit status
// and how long it took, what the application was told, the terminal given
// back as it was, the listener sockets gone and nothing left running.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "sim_env.h"

namespace {

using namespace zt;

const std::string kSet = "E: execwithoutecho systemsetting ";
const std::string k23 = kSet + "telnet_client_23 ";
const std::string k24 = kSet + "telnet_client_24 ";
const std::string kClosed = "error: session is closed by peer\r\n";
const std::string kPassword = "Password:\r\n";
const Lines kTelnet = {"R: telnet", k23, kSet + "telnet_client_23_success True"};
const Lines kApi = {"R: api", k24, kSet + "telnet_client_24_success True", "E: whoami"};
const Lines kFailed = {"R: telnet", k23, kSet + "telnet_client_23_success False", "U"};
const Lines kUnchecked = {"*"};

// Whether a process of that name runs (and is no zombie) in the test's
// private process table.
bool process_runs(const std::string& name) {
    bool found = false;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string stat = read_file(entry.path().string() + "/stat");
        const size_t at = stat.find(" (" + name + ") ");
        found = found || (at != std::string::npos && stat[at + name.size() + 4] != 'Z');
    }
    return found;
}

const std::map<std::string, int> kSignals = {
    {"!sighup", SIGHUP}, {"!sigusr1", SIGUSR1}, {"!sigterm", SIGTERM}, {"!sigquit", SIGQUIT}};

struct Ending {
    const char* name;
    Lines args = {};
    // Typed in turn, except: "@command" goes to appd's control socket,
    // "?text" waits for text on the terminal, "<line" until appd has
    // received line, "%name" until a process of that name runs, "!hangup"
    // closes the terminal, "!sighup", "!sigterm" and the like send that
    // signal while the terminal stays.
    Lines steps = {};
    int status = 0;
    Lines requests = {};                 // appd's record, the registration's socket left out
    std::string shown = "";              // somewhere in the output
    std::string logged = "";             // somewhere in the system log
    Millis least = 0ms, most = 15000ms;  // from the last step to the end
    const char* password = "";
    bool appd = true;
    const char* before = "";    // a control command before the session starts
    int listener_dirs = 01777;  // their mode, 0: none
    uid_t listener_dirs_owner = 0;
    bool hanging_tools = false;  // the boot environment's tools ignore a hang-up and SIGTERM
    int blocked_signal = 0;      // blocked by the program that starts the session
};

const Ending kEndings[] = {
    {.name = "quit, with output held while it was typed",
     .steps = {"qui", "?qui", "@notify held while typing", "t\r"},
     .requests = plus(kTelnet, {k23, "U"}),
     .shown = "held while typing"},
    {.name = "exit in an api session, with blanks around",
     .args = {"-t", "api"},
     .steps = {"  exit \r"},
     .requests = plus(kApi, {k24, "U"})},
    {.name = "exit with words after it: no login report cleared",
     .args = {"-t", "api"},
     .steps = {"exit now\r"},
     .requests = plus(kApi, {"U"})},
    {.name = "quit in an api-serial session, which asks no password and reports no login",
     .args = {"-t", "api-serial"},
     .steps = {"quit\r"},
     .requests = {"R: api-serial", "E: whoami", "U"},
     .password = "s3cret"},
    {.name = "reboot confirmed",
     .steps = {"reboot\r", "?<y,n> ", "y\r"},
     .requests = plus(kTelnet, {"E: reboot now", "U"})},
    {.name = "reboot answered with another single character",
     .steps = {"reboot\r", "?<y,n> ", "x\r"},
     .requests = plus(kTelnet, {k23, "U"})},
    {.name = "application gone while a request waits, in an api session, which logs it",
     .args = {"-t", "api"},
     .steps = {"?socket /tmp/apiasynclisteners/", "sim close\r"},  // whoami's answer first
     .requests = plus(kApi, {"E: sim close"}),
     .shown = kClosed + kClosed,
     .logged = "ERROR:Unable to send command to appd. Quitting. Current command: sim close"},
    {.name = "empty line from the application",
     .steps = {"sim answer\r"},
     .requests = plus(kTelnet, {"C: sim answer"}),
     .shown = kClosed + kClosed},
    {.name = "registration refused",
     .args = {"-t", "api"},
     .status = 255,
     .requests = {"R: api"},
     .before = "register-result 1"},
    {.name = "no listener directories, in an api session, which mirrors what it prints",
     .args = {"-t", "api"},
     .status = 255,
     .shown = "setupSocket: bind() error: No such file or directory\r\n"
              "error: zcon failed to setup async listener\r\n",
     .logged = "OUT:setupSocket: bind() error: No such file or directory",
     .listener_dirs = 0},
    // Whoever may change the directory could put their own file where the
    // socket is to be.
    {.name = "listener directories of another user",
     .args = {"-t", "api"},
     .status = 255,
     .shown = "setupSocket: bind() error: listener directory of another user\r\n"
              "error: zcon failed to setup async listener\r\n",
     .listener_dirs = 01777,
     .listener_dirs_owner = 65534},
    {.name = "listener directories writable by others, not sticky",
     .args = {"-t", "api"},
     .status = 255,
     .shown = "setupSocket: bind() error: listener directory writable by others\r\n",
     .listener_dirs = 0777},
    {.name = "flood of lines, after a ten-second pause, in an api session, which logs it",
     .args = {"-t", "api"},
     .steps = {"?type api", std::string(120, '\r')},
     .requests = plus(kApi, {k24, "U"}),
     .shown = "Terminating session due to persistent, excessive command arrival.\n",
     .logged = ":Terminating session due to persistent",
     .least = 10000ms},
    {.name = "hang-up at the command line",
     .steps = {"half a li", "?half a li", "!hangup"},
     .requests = plus(kTelnet, {k23, "U"}),
     .most = 1000ms},
    {.name = "quit after --wait, a SIGUSR1 at the command line cutting no read short",
     .args = {"--wait", "-t", "api", "--nobanner"},
     .steps = {"?start...\r\n", "!sigusr1", "?to true\r\n", "version\r", "?appd 0.1.0", "!sigusr1",
               "history\r", "?history success", "quit\r"},
     .requests = kUnchecked},
    {.name = "hang-up at the password prompt, nothing to report",
     .steps = {"?" + kPassword, "!hangup"},
     .status = 1,
     .most = 1000ms,
     .password = "s3cret"},
    {.name = "end of input at the password prompt",
     .steps = {"?" + kPassword, "\x04"},
     .status = 1,
     .requests = kFailed,
     .most = 1000ms,
     .password = "s3cret"},
    {.name = "SIGTERM at the command line, though the starter blocked it",
     .steps = {"half a li", "?half a li", "!sigterm"},
     .status = 143,
     .requests = plus(kTelnet, {k23, "U"}),
     .most = 1000ms,
     .blocked_signal = SIGTERM},
    {.name = "SIGQUIT by kill while an answer is awaited (as SIGTERM)",
     .steps = {"echo ready\r", "?ready\n", "@hold on", "echo held\r", "<C: echo held", "!sigquit"},
     .status = 131,
     .requests = plus(kTelnet, {"C: echo ready", "C: echo held", k23, "U"}),
     .most = 1000ms},
    {.name = "SIGTERM while waiting for the application",
     .steps = {"?Waiting for application to start\r\n", "!sigterm"},
     .status = 143,
     .most = 1000ms,
     .appd = false},
    {.name = "ctrl-c in log viewer mode, its quit key",
     .args = {"--logviewer"},
     .steps = {"?Log viewer mode (Ctrl-C to quit) ...\r\n", "\x03"},
     .most = 1000ms,
     .appd = false},
    {.name = "SIGTERM after a wrong password",
     .steps = {"?" + kPassword, "guess\n", "?" + kRetry, "!sigterm"},
     .status = 143,
     .requests = kFailed,
     .most = 1000ms,
     .password = "s3cret"},
    {.name = "ctrl-\\ after a wrong password",
     .steps = {"?" + kPassword, "guess\n", "?" + kRetry, "\x1c"},
     .status = 1,
     .requests = kFailed,
     .most = 1000ms,
     .password = "s3cret"},
    {.name = "hang-up while the password tool hangs",
     .steps = {"%qtool", "!hangup"},
     .status = 1,
     .most = 1000ms,
     .password = "<fifo>"},
    {.name = "SIGHUP while printenv's tool runs, the terminal still there",
     .steps = {"printenv\r", "%sleep", "!sighup"},
     .requests = plus(kTelnet, {k23, "U"}),
     .most = 1000ms,
     .hanging_tools = true},
    {.name = "three wrong passwords, each costing two seconds, a SIGUSR1 cutting no pause short",
     .args = {"--wait", "-t", "api"},
     .steps = {"?start...\r\n", "!sigusr1", "?" + kPassword, "one\ntwo\nS3CRET\n", "?" + kRetry,
               "!sigusr1"},
     .status = 1,
     .requests = {"R: api", k24, kSet + "telnet_client_24_success False", "U"},
     .shown = kRetry + "DEBUG: SIGUSR1 received! set continue flag to true\r\n" + kPassword +
              kRetry + kPassword + kRetry,
     .logged = "End of session",
     .least = 5500ms,  // from the signal inside the first pause
     .password = "s3cret"},
};

struct Endings : ::testing::TestWithParam<Ending> {
    // The requests appd received, the registration's socket path left out.
    Lines requests() {
        Lines lines = sim.requests();
        for (auto& line : lines)
            if (line.rfind("R: ", 0) == 0) line.resize(line.find(' ', 3));
        return lines;
    }
    SimEnv sim;
};

TEST_P(Endings, EndAsTheyShould) {
    const Ending& e = GetParam();
    SCOPED_TRACE(e.name);
    sim.start_syslogd();
    if (e.appd) sim.start_appd();
    sim.set_password(e.password);
    if (std::string_view(e.password) == "<fifo>") {
        const std::string file = std::string(SimEnv::kStateDir) + "/password";
        unlink(file.c_str());
        mkfifo(file.c_str(), 0600);  // the tool waits for a writer that never comes
    }
    PtyOptions options;
    options.blocked_signal = e.blocked_signal;
    TempDir tools;
    if (e.hanging_tools) {
        for (const char* tool : {"fw_setenv", "fw_printenv"})
            tools.script(tool, "trap '' HUP TERM\nsleep 60\n");
        options.env.push_back("PATH=" + tools.path() + ":" + getenv("PATH"));
    }
    if (*e.before) sim.control(e.before);
    for (const char* dir : {"/tmp/sysloglisteners", "/tmp/apiasynclisteners"}) {
        if (e.listener_dirs == 0) std::filesystem::remove_all(dir);
        ASSERT_TRUE(e.listener_dirs == 0 ||
                    (chown(dir, e.listener_dirs_owner, 0) == 0 &&
                     chmod(dir, static_cast<mode_t>(e.listener_dirs)) == 0));
    }
    const bool early = e.steps.empty() || e.steps[0][0] == '?' || e.steps[0][0] == '%';
    auto z = early ? sim.zcon(e.args, options) : sim.registered_zcon(e.args, options);
    size_t seen = 0;  // output looked at by the waits
    bool terminal_kept = true;
    auto last_step = std::chrono::steady_clock::now();
    for (const std::string& step : e.steps) {
        const std::string rest = step.substr(1);
        if (step[0] == '@') {
            sim.control(rest);
        } else if (step[0] == '?') {
            ASSERT_TRUE(z->read_until([&](const std::string& out) {
                return out.find(rest, seen) != std::string::npos;
            })) << rest
                << " in " << term_tokens(z->output());
            seen = z->output().find(rest, seen) + rest.size();
        } else if (step[0] == '<') {
            ASSERT_TRUE(sim.wait_trace("< " + rest)) << sim.trace();
        } else if (step[0] == '%') {
            ASSERT_TRUE(wait_until([&] { return process_runs(rest); })) << rest;
        } else {
            last_step = std::chrono::steady_clock::now();
            if (step == "!hangup") {
                z->hang_up();
                terminal_kept = false;
            } else if (step[0] == '!') {
                wait_until([&] { return waits_for_input(z->pid()); });
                z->kill(kSignals.at(step));
            } else {
                z->write(step);
            }
        }
    }
    EXPECT_EQ(z->wait_exit(20000ms), e.status) << term_tokens(z->output());
    const auto took = std::chrono::steady_clock::now() - last_step;
    EXPECT_GE(took, e.least);
    EXPECT_LE(took, e.most);
    EXPECT_TRUE(!terminal_kept || same_attributes(z->attributes(), z->initial_attributes()));
    for (const char* dir : {"/tmp/apiasynclisteners/zcon", "/tmp/sysloglisteners/zcon"})
        EXPECT_FALSE(std::filesystem::exists(dir + z->tty_tag())) << dir;
    EXPECT_NE(z->output().find(e.shown), std::string::npos) << term_tokens(z->output());
    EXPECT_TRUE(sim.wait_message(e.logged)) << sim.messages();
    // What the session ended may take a moment to go.
    for (const char* name : {"zcon", "sleep", "qtool"})
        EXPECT_TRUE(wait_until([&] { return !process_runs(name); }, 1000ms)) << name;
    for (const auto& entry : std::filesystem::directory_iterator("/tmp"))
        EXPECT_NE(entry.path().filename().string().rfind("env.", 0), 0u) << entry.path();
    // The application may still be taking in the last lines the session
    // sent, or holding them back behind a withheld answer.
    if (e.appd) sim.control("hold off");
    if (e.requests != kUnchecked) {
        wait_until([&] { return requests() == e.requests; });
        EXPECT_EQ(requests(), e.requests);
    }
}

INSTANTIATE_TEST_SUITE_P(All, Endings, ::testing::ValuesIn(kEndings),
                         [](const auto& info) { return "row" + std::to_string(info.index); });

}  // namespace
