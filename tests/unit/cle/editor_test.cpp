// The line editor on a pseudo-terminal, in this process: keys go in at the
// terminal's far end; what the editor writes, its calls of the output lock
// and the typing state, and the lines it returns are recorded exactly.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include "cle.h"
#include "pty_process.h"
#include "seams.h"

namespace {

using namespace zt;

struct Options {
    std::string prompt = "> ";
    int cols = 80;
    int max_len = 512;
    bool echo = true, no_cr = false;
    int hang_up = 0;             // after the editor took the lock this often
    std::string last_line = "";  // read lines until this one (else one line)
    // Runs after the n-th release of the lock, as another thread would.
    std::function<void(int n)> between = nullptr;
    bool nonblocking = false;  // standard input that does not block
    // Typed once the editor, done with the keys, waits for more; first a
    // signal may cut the wait short (no SA_RESTART).
    std::string later = "";
    bool cut_short = false;
};

// What one run recorded. Output is cut into segments at each release of
// the lock: segment 0 is the first prompt, segment i what the i-th key
// action wrote.
struct Record {
    Lines segments{""}, events, lines;  // lines: as returned, "<end>" for -1
    std::string out(size_t from = 0, size_t to = SIZE_MAX) const {
        std::string joined;
        for (size_t i = from; i < std::min(to, segments.size()); ++i)
            joined += segments[i];
        return term_tokens(joined);
    }
};

Record* run;
std::atomic<int> locks;
std::atomic<bool> cut;  // the signal's handler ran
const Options* options;
int master = -1;

void lock_unlock(int lock, char*) {
    run->events.push_back(lock ? "lock 1" : "lock 0");
    if (lock) {
        ++locks;
        return;
    }
    run->segments.emplace_back();
    if (options->between) options->between(static_cast<int>(run->segments.size()) - 1);
}
void typing(int state) {
    run->events.push_back("typing " + std::to_string(state));
}
int capture(const char* bytes, size_t n) {
    run->segments.back().append(bytes, n);
    return 0;
}

// Whether thread tid of this process sleeps in a call that waits.
bool sleeping(pid_t tid) {
    return read_file("/proc/self/task/" + std::to_string(tid) + "/stat").find(") S ") !=
           std::string::npos;
}

void resize(int cols, int rows = 24) {
    const winsize size{static_cast<unsigned short>(rows), static_cast<unsigned short>(cols), 0, 0};
    ioctl(master, TIOCSWINSZ, &size);
    raise(SIGWINCH);
}

// Runs the editor on a fresh terminal while another thread types keys.
Record edit(std::string keys, const Options& o = {}) {
    Record r;
    run = &r;
    locks = 0;
    options = &o;
    int slave = -1;
    const winsize size{24, static_cast<unsigned short>(o.cols), 0, 0};
    EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, &size), 0);
    // The editor works on standard input and output; the test's own step aside.
    fflush(stdout);
    UniqueFd in(dup(STDIN_FILENO)), out(dup(STDOUT_FILENO)), pty_slave(slave);
    dup2(slave, STDIN_FILENO);
    dup2(slave, STDOUT_FILENO);
    if (o.nonblocking) fcntl(slave, F_SETFL, O_NONBLOCK);
    struct sigaction no_restart {};
    no_restart.sa_handler = [](int) { cut = true; };
    sigaction(SIGUSR2, &no_restart, nullptr);
    const pid_t editor = gettid();
    cle_set_output_sink(capture);
    cle_register_sync_callbacks(lock_unlock);
    cle_register_inline_callback(typing);
    cle_echo_enable(o.echo);
    cle_no_cr_translation(o.no_cr);
    termios before{};
    tcgetattr(STDIN_FILENO, &before);
    const bool started = cle_init() == 0;
    std::thread typist([&] {
        for (std::string_view left = keys; !left.empty();) {
            const ssize_t n = write(master, left.data(), std::min<size_t>(left.size(), 512));
            if (n <= 0) break;
            left.remove_prefix(static_cast<size_t>(n));
        }
        // A hang-up drops what was not read yet: it comes once the editor
        // is inside the last key's action.
        if (o.hang_up && wait_until([&] { return locks == o.hang_up; }))
            close(std::exchange(master, -1));
        if (o.later.empty()) return;
        wait_until([&] { return locks == static_cast<int>(keys.size()) + 1 && sleeping(editor); });
        // The handler runs once the call has returned, before the keys come.
        cut = false;
        if (o.cut_short && tgkill(getpid(), editor, SIGUSR2) == 0)
            wait_until([] { return cut.load(); });
        (void)!write(master, o.later.data(), o.later.size());
    });
    std::vector<char> buffer(static_cast<size_t>(o.max_len));  // exactly: the sanitizer watches
    while (started) {
        const bool ended = cle_get_command_line(o.prompt.c_str(), buffer.data(), o.max_len) == 0;
        r.lines.push_back(ended ? buffer.data() : "<end>");
        if (!ended || o.last_line.empty() || r.lines.back() == o.last_line) break;
    }
    typist.join();
    cle_cleanup();
    termios after{};
    tcgetattr(STDIN_FILENO, &after);
    dup2(in.get(), STDIN_FILENO);
    dup2(out.get(), STDOUT_FILENO);
    if (master >= 0) close(master);
    cle_set_output_sink(nullptr);
    cle_register_sync_callbacks(nullptr);
    cle_register_inline_callback(nullptr);
    cle_echo_enable(1);
    cle_no_cr_translation(0);
    EXPECT_TRUE(started);
    EXPECT_TRUE(o.hang_up || same_attributes(after, before)) << "the terminal was not given back";
    return r;
}

TEST(Editor, WidthAndWrapping) {
    const std::string a25(25, 'a'), a59(59, 'a');
    // 80 columns after a 20-column prompt: the 60th column is the margin.
    Record r = edit("\x02" + a59 + "b\x7f\r", {.prompt = "twenty-chars-prompt>"});
    EXPECT_EQ(r.out(), "twenty-chars-prompt>" + a59 + "b <bs><cr><up1><right79><ceos><cr><lf>");
    EXPECT_EQ(r.lines, Lines{a59});
    // Unknown width: 25 characters go out unwrapped; Home measures 20 columns;
    // the window narrows to 10 before End.
    r = edit(a25 +
                 "\x01\x05"
                 "aaa\x01\r",
             {.cols = 20, .between = [](int n) {
                  if (n == 27) resize(10);
              }});
    EXPECT_EQ(r.out(26, 32), "<cr><up1><right2><cr>> " + a25 + "aaa <bs><cr><up3><right2>");
    // Text typed up to the margin before the width was known: the cursor is
    // taken to the next row before the Backspace, or before the next
    // character once a resize told the width.
    r = edit(std::string(18, 'a') + "\x7f\r", {.cols = 20});
    EXPECT_EQ(r.out(19, 20), " <bs><cr><up1><right19><ceos>");
    r = edit(std::string(18, 'a') + "b\r", {.cols = 20, .between = [](int n) {
                                                if (n == 19) resize(20, 30);
                                            }});
    EXPECT_EQ(r.out(19, 20), " <bs>b");
    // A terminal that reports 0 or 1 columns counts as 80 wide.
    for (const int cols : {0, 1}) {
        r = edit("\x02" + std::string(78, 'a') + "\r", {.cols = cols});
        EXPECT_EQ(r.out(79, 80), "a <bs>");
    }
    // Editing inside a line wrapped on a 10-column terminal; Enter on its
    // first row ends it below its last.
    r = edit("abcdefghijklmnop" + std::string(12, '\x02') +
                 "XY\x7f\x1b[3~\x06\x06\x06\x02\x01\x05\x01\r",
             {.cols = 10});
    EXPECT_EQ(r.out(29),
              "Xefghijklmnop<cr><up1><right7>Yefghijklmnop <bs><up2><right8>"
              "<bs><ceos>efghijklmnop<cr><up1><right7><ceos>fghijklmnop<cr><up1><right7>"
              "<right1><right1><cr><lf><cr><up1><right9><cr><right2><cr>> abcdXfghijklmnop"
              "<cr><up1><right2><down1><cr><lf>");
    EXPECT_EQ(r.lines, Lines{"abcdXfghijklmnop"});
}

TEST(Editor, DecodesKeysAndSequences) {
    // Each case starts from "abc" with the cursor before the "c".
    const struct {
        std::string keys, output, line;
    } cases[] = {
        {"\x01", "<cr><right2>", "abc"},
        {"\x1b[H", "<cr><right2>", "abc"},
        {"\x05", "<cr>> abc", "abc"},
        {"\x1bOF", "<cr>> abc", "abc"},
        {"\x1b[K", "<cr>> abc", "abc"},
        {"\x06", "<right1>", "abc"},
        {"\x1b[C", "<right1>", "abc"},
        {"\x02", "<bs>", "abc"},
        {"\x02\x1b[3~", "<bs><ceos>c<cr><right3>", "ac"},
        {"\x1b[3~\x1b[3~", "<ceos><bel>", "ab"},
        {"\x7f", "<bs><ceos>c<cr><right3>", "ac"},
        {"\x08", "<bs><ceos>c<cr><right3>", "ac"},
        {"\x03", "<cr><right2><ceos>", ""},
        {"\x1b[A\x1b[B\x1b[2~\x1b[5~\x1b[6~", "", "abc"},
        // Sequences are read whole; those of keys the editor has no use for
        // (F5, F12, Ctrl-Up, the console's F1, SS3 F1, a mouse report, a
        // private mode) do nothing.
        {"\x1b[15~\x1b[24~\x1b[1;5A\x1b[[A\x1bOP\x1b[<0;3;4M\x1b[?25h", "", "abc"},
        // Modified keys act as the plain key.
        {"\x1b[1;5D\x1b[1;2C\x1b[1;5H", "<bs><right1><cr><right2>", "abc"},
        {"\x1b[3;5~", "<ceos>", "ab"},
        // A byte that cannot be in a sequence ends it and is a key again.
        {"\x1b[1\x7f", "<bs><ceos>c<cr><right3>", "ac"},
        {std::string("\0\t\a\x0b\x0c\x0e\x10\x12\x1a\x1c\x1f\x80\xff", 13), "", "abc"},
        // Incomplete sequences do nothing; the previous one is not repeated.
        {"\x1b[D\x1bxZ", "<bs>Zbc<cr><right4>", "aZbc"},
        {"\x1b\x1b[C", "[c<cr><right5>Cc<cr><right6>", "ab[Cc"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(term_tokens(c.keys));
        const Record r = edit("abc\x02" + c.keys + "\r");
        EXPECT_EQ(r.out(5, r.segments.size() - 2), c.output);
        EXPECT_EQ(r.lines, Lines{c.line});
    }
}

// The first key of a line reports typing while the lock is still held, so
// no other thread prints behind it; the line end reports its end, even of a
// line emptied meanwhile. Ctrl-D leaves the terminal on a fresh row.
TEST(Editor, LockAndTypingStateOrder) {
    const Record r = edit(
        "a\x03\x03"
        "b\r\rx\x04",
        {.last_line = "<never>"});
    EXPECT_EQ(r.events, (Lines{"lock 1", "lock 0",                        // prompt
                               "lock 1", "typing 1", "lock 0",            // a
                               "lock 1", "lock 0",   "lock 1", "lock 0",  // Ctrl-C twice
                               "lock 1", "lock 0",                        // b
                               "lock 1", "typing 0", "lock 0",            // CR
                               "lock 1", "lock 0",                        // prompt
                               "lock 1", "typing 0", "lock 0",            // CR
                               "lock 1", "lock 0",                        // prompt
                               "lock 1", "typing 1", "lock 0",            // x
                               "lock 1", "lock 0"}));                     // Ctrl-D
    EXPECT_EQ(r.lines, (Lines{"b", "", "<end>"}));
    EXPECT_EQ(r.out(r.segments.size() - 3), "x<cr><lf>");
}

TEST(Editor, EchoLineEndsLimitAndRedraw) {
    const struct {
        std::string keys;
        Options options;
        std::string output;
        Lines lines;
    } rows[] = {
        // Echo off: only the prompt shows, as it is.
        {"ab\x7f\x7f\x7f"
         "cd\x1b[D\x1b[3~\r",
         {.prompt = "%d%s> ", .echo = false},
         "%d%s> ",
         {"c"}},
        // A serial line keeps CR: echoed LF CR; the LF after it is no line end.
        {"ab\r\nc\r", {.no_cr = true, .last_line = "c"}, "> ab<lf><cr>> c<lf><cr>", {"ab", "c"}},
        // With echo off the LF is the only line end some clients send.
        {"ab\r\nc\n", {.echo = false, .no_cr = true, .last_line = "c"}, "> > > ", {"ab", "", "c"}},
        // Ordinarily the terminal turns CR into LF.
        {"ab\r", {}, "> ab<cr><lf>", {"ab"}},
        {std::string(511, 'x') + "\r",
         {.max_len = 511},
         "> " + std::string(510, 'x') + "<bel><cr><lf>",
         {std::string(510, 'x')}},
        // Another thread draws the line again between two keys.
        {"abc\r",
         {.between =
              [](int n) {
                  if (n == 3) cle_refresh_line();
              }},
         "> ab> abc<cr><lf>",
         {"abc"}},
        // Output left text on the row: the line is laid out after it.
        {"xy\x01Z\r",
         {.prompt = "",
          .cols = 10,
          .between =
              [](int n) {
                  if (n == 1) cle_set_row_text("N1 -> 1234");
              }},
         "xy<cr>Zxy<cr><right1><cr><lf>",
         {"Zxy"}},
        // A signal cutting the wait for a key short is no end of input, nor is
        // standard input that does not block.
        {"ab", {.later = "c\r", .cut_short = true}, "> abc<cr><lf>", {"abc"}},
        {"ab", {.nonblocking = true, .later = "c\r"}, "> abc<cr><lf>", {"abc"}},
        // A hang-up ends the call, also inside a sequence.
        {"x\x1b[1", {.hang_up = 3}, "> x", {"<end>"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(term_tokens(row.keys));
        const Record r = edit(row.keys, row.options);
        EXPECT_EQ(row.output.empty() ? "" : r.out(), row.output);
        EXPECT_EQ(r.lines, row.lines);
    }
}

// Init and clean-up leave the terminal and the SIGWINCH handler as found,
// and history entries added before init are not counted after it, yet freed;
// the history ring keeps the newest 64 lines.
TEST(Editor, InitAndCleanupAndTheHistoryRing) {
    void (*theirs)(int) = [](int) {};
    signal(SIGWINCH, theirs);
    cle_history_test_add("before");
    edit("\r");
    struct sigaction now {};
    sigaction(SIGWINCH, nullptr, &now);
    EXPECT_EQ(now.sa_handler, theirs);
    signal(SIGWINCH, SIG_DFL);
    EXPECT_EQ(cle_history_size(), 0);
    for (int i = 0; i < 70; ++i)  // 64 slots: the oldest go
        ASSERT_EQ(cle_history_test_add(std::to_string(i).c_str()), 0);
    EXPECT_STREQ(cle_history(cle_history_get_start()), "6");
    cle_cleanup();
    cle_cleanup();  // frees nothing twice
    EXPECT_EQ(cle_history_size(), 0);
    EXPECT_EQ(cle_history(5), nullptr);
}

}  // namespace
