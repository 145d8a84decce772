// The command loop as a user meets it: each typed line, what the terminal
// then shows, byte for byte, and the request the application gets; the
// screen kept true while editing; the boot environment commands.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "sim_env.h"

namespace {

using namespace zt;

const std::string kNeedsMore = "error: command needs more parameters to execute successfully\r\n";
const std::string kIllegal = "error: command has illegal parameter(s)\r\n";
const std::string kRange = "error: value out of range. valid range 1..64\r\n";
const std::string kNoEntry = "error: invalid command history reference\r\n";
const std::string kEmpty = "command history:\r\n<empty>\r\n";

struct Loop : ::testing::Test {
    void SetUp() override {
        sim.start_appliance();  // syslogd too, or its absence is told at a random moment
    }
    // Starts a telnet session with the boot environment tools in tools on
    // its path, and drops its greeting.
    void start(const TempDir& tools) {
        PtyOptions options;
        options.env = {"PATH=" + tools.path() + ":" + getenv("PATH")};
        // The session before ends first: its last requests are not this one's.
        if (z) z.reset(), sim.wait_trace(" * closed");
        const size_t before = sim.requests().size();
        z = sim.registered_zcon({}, options);
        // Registered and its login reported: it reads command lines.
        ASSERT_TRUE(wait_until([&] { return sim.requests().size() == before + 3; }));
        z->pump();
        z->take();
    }
    // Types line and Enter: the terminal must show exactly `shown`, and the
    // application get `sent` (or nothing when it is empty).
    void row(const std::string& line, const std::string& shown, const std::string& sent = "") {
        if (HasFailure()) return;  // a later row would only wait out its deadline
        SCOPED_TRACE(line);
        const size_t before = sim.requests().size();
        z->write(line + "\r");
        ASSERT_TRUE(z->expect(shown)) << term_tokens(z->output());
        EXPECT_EQ(term_tokens(z->take(shown)), term_tokens(shown));
        // A request whose answer shows nothing may arrive after the echo.
        wait_until([&] { return sim.requests().size() == before + !sent.empty(); });
        const Lines got = sim.requests();
        EXPECT_EQ(got.size(), before + !sent.empty());
        if (!sent.empty() && !got.empty()) {
            EXPECT_EQ(got.back(), sent);
        }
    }
    // A row whose line is refused or answered locally with one message.
    void local(const std::string& line, const std::string& message) {
        row(line, line + "\r\n" + message);
    }

    SimEnv sim;
    std::unique_ptr<PtyProcess> z;
};

TEST_F(Loop, EachLineShowsAndSendsWhatItShould) {
    TempDir tools;
    const std::string setenv_log = tools.file("setenv.log");
    tools.script("fw_setenv", "printf '[%s]' \"$@\" >>" + setenv_log + "\necho >>" + setenv_log +
                                  "\necho not shown\n");
    tools.script("fw_printenv", "printf 'baudrate=115200\\nmsg=100%%s done\\n'\n");
    start(tools);
    row("   \t", "   \r\n-> ");  // an empty line shows the mark; a tab is no key
    // Editing after the mark keeps the cursor where the line is.
    row("echo abcdef\x1b[D\x1b[D\x1b[DZ\x7f",
        "echo abcdef\b\b\bZdef\r\x1b[12C\b\x1b[Jdef\r\x1b[11C\r\nabcdef\n", "C: echo abcdef");
    // A terminal string that reaches its bound is dropped up to the next
    // CR, which goes with it; it is never typed.
    row("echo ab\x1b]" + std::string(4096, 'x') + "\rc", "echo abc\r\nabc\n", "C: echo abc");
    local("test a \"b c\"", "argc=3\r\nargv[0]=test\r\nargv[1]=a\r\nargv[2]=b c\r\n");
    local("test \"a\\x41\" \"b\\", "Invalid command\r\n");
    row("api  echo   x", "api  echo   x\r\nx\n", "E: echo x");
    row("api", "api\r\n");  // nothing to send
    // The application's settings, and a command of its run without its output.
    for (const auto& [words, shown] : {std::pair{"version", "appd 0.1.0 (appliance simulator)\n"},
                                       {"systemsetting tz UTC", "tz=UTC\n"},
                                       {"systemsetting tz", "tz=UTC\n"},
                                       {"systemsetting zone", "zone is not set\n"},
                                       {"execwithoutecho help", ""}})
        row("qtool " + std::string(words), "qtool " + std::string(words) + "\r\n" + shown,
            "D: " + std::string(words));
    row("sys echo y", "sys echo y\r\ny\n", "D: echo y");
    local("session foo", kIllegal);
    local("session name", kNeedsMore);
    row("session name kitchen", "session name kitchen\r\n", "N: name kitchen");
    local("session name a b", kIllegal);
    row("session find x", "session find x\r\n" + kNotFound, "N: find x");
    // A word holding a line break would put a second request on the wire.
    local("api \"y\\nN: name smuggled\"", kIllegal);
    local("session name \"y\\x0dN: name smuggled\"", kIllegal);
    // A forwarded line too long for a request is refused, and the next is read.
    z->write(std::string(509, 'e') + "\r");
    ASSERT_TRUE(z->expect("error: command line too long\r\n")) << term_tokens(z->output());
    z->take();
    row("echo own answer", "echo own answer\r\nown answer\n", "C: echo own answer");
    local("cmdecho", kNeedsMore);
    for (const char* line : {"cmdecho ON", "cmdecho on off"})
        local(line, "error: command has illegal parameters\r\n");
    local("cmdecho off", "cmdecho off\r\n");
    row("", "\r\n-> ");  // nothing typed is echoed, not even the line end
    row("cmdecho on", "cmdecho on\r\n");
    local("prompt", "prompt disabled\r\n");
    local("history", kEmpty + "history success\r\n");
    for (const char* line : {"repeat", "repeat 1 2", "!"})
        local(line, kIllegal);
    for (const char* line : {"repeat 0", "repeat 65", "repeat x", "! 4294967296"})
        local(line, kRange);
    local("!12", kNoEntry);
    // The live log's filters and format.
    const auto listing = [](const std::string& title, const std::string& filters) {
        return "Active " + title + " filters:\r\n--------------------\r\n" + filters;
    };
    const std::string usage =
        "usage: [log] cull add <filterstring> [<filterstring>...]\r\n"
        "       [log] cull del <filterstring> [<filterstring>...]\r\n"
        "       [log] cull del *\r\n       [log] cull\r\n";
    row("show add ERR WARN", "show add ERR WARN\r\n");
    row("show del ERR", "show del ERR\r\n");
    row("log show add X", "log show add X\r\n");
    for (const std::string line : {"show add", "cull del", "log bogus"})  // nothing to do
        row(line, line + "\r\n");
    local("show", listing("show", "\"X\"\r\n\"WARN\"\r\n"));
    row("cull add a a b", "cull add a a b\r\n");
    row("cull del a nothing", "cull del a nothing\r\n");
    local("log cull", listing("cull", "\"a\"\r\n\"b\"\r\n"));
    row("cull del * b", "cull del * b\r\n");
    local("cull", listing("cull", ""));
    local("cull remove x", usage);
    local("log", "valid log commands: format show cull\r\n");
    local("printenv extra", "baudrate=115200\n\rmsg=100%s done\n\r\n\r");
    // A new session: a hundred lines in a row this fast would be a flood.
    start(tools);
    const std::string longest(485, 'v');  // composes the longest command line, 511 characters
    for (const std::string& line :
         Lines{"setenv bootdelay 3", "setenv bootdelay", "setenv Ver.x-y_9 \"\"",
               "setenv msg \"it's 100% ok; a|b & c > (d) *? ~ #!\"", "setenv n " + longest})
        row(line, line + "\r\n");
    // What the shell or the tool would read as more than one name and value.
    for (const std::string& line :
         Lines{"setenv a b c", "setenv a;reboot 1", "setenv $(id) 1", "setenv -c 1",
               "setenv \"\" 1", "setenv \"a\\nb\"", "setenv x \"\\\"; reboot; \\\"\"",
               "setenv x $(reboot)", "setenv x `reboot`", "setenv x a\\", "setenv x \"a\\nreboot\"",
               "setenv x \"\\x7f\"", "setenv x -s/etc/passwd", "setenv n " + longest + "v",
               "setenv " + std::string(490, 'n')})
        local(line, kIllegal);
    EXPECT_EQ(read_file(setenv_log),
              "[bootdelay][3]\n[bootdelay]\n[Ver.x-y_9][]\n"
              "[msg][it's 100% ok; a|b & c > (d) *? ~ #!]\n[n][" +
                  longest + "]\n");
    row("reboot", "reboot\r\nreboot, are you sure? <y,n> ");
    row("", "\r\n-> ");  // an empty line is no answer
    row("n", "n\r\n");   // "n" cancels silently
    row("reboot", "reboot\r\nreboot, are you sure? <y,n> ");
    row("no\x01", "no\r\x1b[28C\r\ninfo: reboot command aborted\r\n");  // typed after the question
    row("reboot", "reboot\r\nreboot, are you sure? <y,n> ");
    local("quit", "info: reboot command aborted\r\n");

    // Customer-API-only mode: the normal-mode-only words go to the
    // application; the others, and quit, stay local.
    local("apicmds", "Entering sticky customer api commands *ONLY* mode...\r\n");
    for (const std::string word :
         {"test", "api", "apicmds", "cull", "devcmds", "log", "qtool", "prompt", "show", "sys"})
        row(word + " x", word + " x\r\n" + kNotFound, "E: " + word + " x");
    // The words that work in every mode work here as they do in normal mode.
    const std::pair<std::string, std::string> everywhere[] = {
        {"shell", kNotFound},    {"cmdecho on", "cmdecho on\r\n"},
        {"repeat", kIllegal},    {"hist", kEmpty + "hist success\r\n"},
        {"!", kIllegal},         {"printenv", "baudrate=115200\n\rmsg=100%s done\n\r\n\r"},
        {"session", kNeedsMore}, {"setenv", kNeedsMore}};
    for (const auto& [line, message] : everywhere)
        local(line, message);
    row("quit", "quit\r\nExiting customer api *ONLY* mode\n");
    row("echo normal", "echo normal\r\nnormal\n", "C: echo normal");
    // Internal-only mode, which quit does not leave; "exit now" works there.
    local("devcmds", "Entering sticky internal commands *ONLY* mode...\r\n");
    row("apicmds", "apicmds\r\n" + kNotFound, "D: apicmds");
    z->write("exit now\r");
    EXPECT_EQ(z->wait_exit(), 0);
    EXPECT_EQ(term_tokens(z->output()), term_tokens("exit now\r\n"));
}

// Whatever another user planted at /tmp/env, printenv shows the listing,
// writes nowhere else and does not hang; /tmp/env then holds the listing,
// readable by this user only, unless the planted name cannot be replaced;
// no descriptor is left open.
TEST_F(Loop, PrintenvTrustsNothingPlantedAtItsListingPath) {
    TempDir tools;
    tools.script("fw_printenv", "echo x=1\n");
    start(tools);
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
    const int fds = open_fds(z->pid());
    for (const auto& r : rows) {
        SCOPED_TRACE(r.planted);
        std::filesystem::remove_all("/tmp/env");
        std::ofstream("/tmp/victim") << "untouched";
        ASSERT_EQ(r.plant(), 0);
        z->write("printenv\r");
        ASSERT_TRUE(z->expect("\n\r\n\r")) << term_tokens(z->output());
        std::string listing = z->take().substr(10);  // after "printenv\r\n"
        std::erase(listing, '\r');
        listing.pop_back();
        EXPECT_EQ(read_file("/tmp/victim"), "untouched");
        struct stat st {};
        ASSERT_EQ(lstat("/tmp/env", &st), 0);
        EXPECT_EQ(static_cast<bool>(S_ISREG(st.st_mode)), r.replaced);
        if (r.replaced) {
            EXPECT_EQ(st.st_mode & 0777, 0600u);
            EXPECT_EQ(read_file("/tmp/env"), listing);
        }
        for (const auto& entry : std::filesystem::directory_iterator("/tmp"))
            EXPECT_EQ(entry.path().string().rfind("/tmp/env."), std::string::npos) << entry.path();
    }
    EXPECT_EQ(open_fds(z->pid()), fds);
}

}  // namespace
