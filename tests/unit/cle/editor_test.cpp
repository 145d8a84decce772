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
#include "screen.h"
#include "seams.h"

namespace {

using namespace zt;

struct Options {
    std::string prompt = "> ";
    int cols = 80, max_len = 512;
    bool echo = true, no_cr = false, nonblocking = false;  // nonblocking: standard input
    int hang_up = 0;             // after the editor took the lock this often
    std::string last_line = "";  // read lines until this one (else one line)
    // After hold n of the lock, as another thread would: the window gets
    // each of resize_to columns; the line is taken off the screen and drawn
    // again, as around the shell's output; the row holds row_text; text is
    // left in the stdio stream (n 1).
    int resize_at = 0, refresh_at = 0, row_text_at = 0;
    std::vector<int> resize_to = {};
    const char* row_text = nullptr;
    const char* stdio_text = nullptr;
    // Typed once the editor, done with the keys (in `holds` holds, or one
    // per key and the prompt's), waits for more; first a signal may cut the
    // wait short (no SA_RESTART).
    std::string later = "";
    bool cut_short = false;
    int holds = 0;
    int out = -1;  // standard output instead, written by the editor's own writer
    std::function<void(pid_t editor)> meanwhile = nullptr;  // once the keys are typed
};

// One run: what each hold of the lock wrote (0: the prompt, i: the i-th
// key), the holds as [ ] with the typing state reported as + or - inside,
// and the lines returned ("<end>" for -1).
struct Record {
    Lines held{""}, lines;
    std::string events;
    bool restored = false;  // the terminal's settings were back when the call returned
    std::string out(size_t from = 0, size_t to = SIZE_MAX) const {
        std::string joined;
        for (size_t i = from; i < std::min(to, held.size()); ++i)
            joined += held[i];
        return term_tokens(joined);
    }
};

Record* run;
std::atomic<int> locks, releases;
std::atomic<bool> cut;  // the signal's handler ran
const Options* options;
int master = -1;

void resize(int cols) {
    const winsize size{24, static_cast<unsigned short>(cols), 0, 0};
    ioctl(master, TIOCSWINSZ, &size);
    raise(SIGWINCH);
}

void lock_unlock(int lock, char*) {
    run->events += lock == 1 ? "[" : lock == 0 ? "]" : "?";
    locks += lock == 1;
    if (lock != 0) return;
    run->held.emplace_back();
    const int n = ++releases;
    for (const int cols : n == options->resize_at ? options->resize_to : std::vector<int>{})
        resize(cols);
    if (n == options->refresh_at) {
        run->events += cle_hide_line() ? "h" : "";
        run->events += cle_refresh_line() ? "r" : "";
    }
    if (n == options->row_text_at) cle_set_row_text(options->row_text);
    if (n == 1 && options->stdio_text != nullptr) fputs(options->stdio_text, stdout);
}
void typing(int state) {
    run->events += state == 1 ? "+" : state == 0 ? "-" : "?";
}
void capture(const char* bytes, size_t n) {
    run->events += "w";
    run->held.back().append(bytes, n);
}

// Whether thread tid of this process sleeps in a call that waits.
bool sleeping(pid_t tid) {
    return read_file("/proc/self/task/" + std::to_string(tid) + "/stat").find(") S ") !=
           std::string::npos;
}

// Runs the editor on a fresh terminal while another thread types keys.
Record edit(std::string keys, const Options& o = {}) {
    Record r;
    run = &r;
    locks = releases = 0;
    alarm(30);  // an editor that never returns fails the test, not the run
    options = &o;
    int slave = -1;
    const winsize size{24, static_cast<unsigned short>(o.cols), 0, 0};
    EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, &size), 0);
    // The editor works on standard input and output; the test's own step aside.
    fflush(stdout);
    UniqueFd in(dup(STDIN_FILENO)), out(dup(STDOUT_FILENO)), pty_slave(slave);
    dup2(slave, STDIN_FILENO);
    dup2(o.out >= 0 ? o.out : slave, STDOUT_FILENO);
    if (o.nonblocking) fcntl(slave, F_SETFL, O_NONBLOCK);
    struct sigaction no_restart {};
    no_restart.sa_handler = [](int) { cut = true; };
    sigaction(SIGUSR2, &no_restart, nullptr);
    const pid_t editor = gettid();
    cle_set_output_sink(o.out >= 0 ? nullptr : capture);
    cle_register_sync_callbacks(lock_unlock);
    cle_register_inline_callback(typing);
    cle_echo_enable(o.echo);
    cle_no_cr_translation(o.no_cr);
    termios before{}, after{};
    tcgetattr(STDIN_FILENO, &before);
    void (*theirs)(int) = [](int) {};  // the caller's window-size handler
    signal(SIGWINCH, theirs);
    const bool started = cle_init() == 0;
    std::atomic<bool> done = false;
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
        if (o.meanwhile) o.meanwhile(editor);
        const int holds = o.holds != 0 ? o.holds : static_cast<int>(keys.size()) + 1;
        if (!o.later.empty() && wait_until([&] { return releases == holds && sleeping(editor); })) {
            // The handler runs once the call has returned, before the keys come.
            cut = false;
            if (o.cut_short && tgkill(getpid(), editor, SIGUSR2) == 0)
                wait_until([] { return cut.load(); });
            (void)!write(master, o.later.data(), o.later.size());
        }
        // Keys that never end the line fail the row rather than hang it.
        if (!wait_until([&] { return done.load(); }) && master >= 0)
            close(std::exchange(master, -1));
    });
    std::vector<char> buffer(static_cast<size_t>(o.max_len));  // exactly: the sanitizer watches
    while (started) {
        const int rc = cle_get_command_line(o.prompt.c_str(), buffer.data(), o.max_len);
        r.lines.push_back(rc == 0 ? buffer.data() : rc == -1 ? "<end>" : "<odd result>");
        if (rc != 0 || o.last_line.empty() || r.lines.back() == o.last_line) break;
    }
    done = true;
    typist.join();
    tcgetattr(STDIN_FILENO, &after);
    r.restored = same_attributes(after, before);
    cle_cleanup();
    struct sigaction now {};
    sigaction(SIGWINCH, nullptr, &now);
    EXPECT_EQ(now.sa_handler, theirs) << "the window-size handler was not given back";
    tcgetattr(STDIN_FILENO, &after);
    dup2(in.get(), STDIN_FILENO);
    dup2(out.get(), STDOUT_FILENO);
    if (master >= 0) close(master);
    alarm(0);
    EXPECT_EQ(cle_hide_line() + cle_refresh_line(), 0) << "the line outlived its call";
    EXPECT_EQ(std::count(r.events.begin(), r.events.end(), '['),
              std::count(r.events.begin(), r.events.end(), ']'))
        << "the lock was not given back: " << r.events;
    // Taken off and drawn again, each write at once (with echo off nothing
    // was shown to take off).
    const char* around_output = o.refresh_at == 0 ? "" : o.echo ? "whwr" : "wr";
    EXPECT_NE(r.events.find(around_output), std::string::npos) << r.events;
    EXPECT_TRUE(started);
    EXPECT_TRUE(o.hang_up || same_attributes(after, before)) << "the terminal was not given back";
    return r;
}

// Where the keys leave the line on a terminal of the row's width: what the
// screen shows and its cursor, once the editor's bytes went through a model
// of the screen. An Enter, not shown, ends the call unless the row's own
// keys end with it. reports: the columns the terminal reports, if not its
// width.
TEST(Editor, WhatTheScreenShows) {
    const auto as = [](size_t n) { return std::string(n, 'a'); };
    const std::string wrapped = "abcdefghijklmnop" + std::string(12, '\x02'),
                      abc = "abcdefghijklmnopqrs";
    const struct {
        std::string keys;
        int width;
        std::string shows;
        int x, y;
        Options o = {};
        int reports = -1;
    } rows[] = {
        // clang-format off
        // Typed before the width was known: laid out once a key needs it,
        // and drawn again for a narrower window.
        {as(25) + "\x01\x05" + as(3) + "\x01", 20, "> " + as(8) + "\n" + as(10) + "\n" + as(10), 2, 0,
         {.resize_at = 27, .resize_to = {10}}},
        {as(18) + "\x7f", 20, "> " + as(17), 19, 0},
        {as(18) + "\x02", 20, "> " + as(18), 19, 0},  // laid out with the end in column 0
        {as(18) + "b", 20, "> " + as(18) + "\nb", 1, 1, {.resize_at = 19, .resize_to = {20}}},
        // Drawn again whole for a wider window, exactly filling its row.
        {"\x02" + as(18) + "b", 10, "> " + as(18) + "\nb", 1, 1, {.resize_at = 20, .resize_to = {20}}},
        // A window made narrower and wider again cut the rows: drawn again.
        {"\x02" + as(30) + "\x02\x02" + "b", 20, "> " + as(18) + "\n" + as(10) + "baa", 11, 1,
         {.resize_at = 34, .resize_to = {10, 20}}},
        // The width known, the prompt is laid out before any key: a window
        // change before the first key draws it again.
        {"\x01\rb", 10, "12345\n12345\n678b", 4, 2,
         {.prompt = "12345678", .last_line = "b", .resize_at = 4, .resize_to = {5}}},
        // A terminal that reports 0 or 1 columns counts as 80 wide; 2 are 2.
        {"\x02" "abc\x01", 2, ">\nab\nc", 0, 1},
        {"\x02" + as(78), 80, "> " + as(78), 0, 1, {}, 0},
        {"\x02" + as(78), 80, "> " + as(78), 0, 1, {}, 1},
        // Editing a line wrapped on a 10-column terminal.
        {wrapped + "XY", 10, "> abcdXYef\nghijklmnop", 8, 0},
        {wrapped + "XY\x7f", 10, "> abcdXefg\nhijklmnop", 7, 0},
        {wrapped + "XY\x7f\x1b[3~", 10, "> abcdXfgh\nijklmnop", 7, 0},
        {wrapped + "XY\x7f\x1b[3~\x06\x06\x06", 10, "> abcdXfgh\nijklmnop", 0, 1},
        {wrapped + "XY\x7f\x1b[3~\x06\x06\x06\x02" + "Z", 10, "> abcdXfgZ\nhijklmnop", 0, 1},
        {wrapped + "XY\x7f\x1b[3~\x01\x05", 10, "> abcdXfgh\nijklmnop", 8, 1},
        {abc.substr(0, 10) + "\x02\x02\x7f\x7f" + "Z", 10, "> abcdefZi\nj", 9, 0},
        {abc + "\x02\x7f", 10, "> abcdefgh\nijklmnopqs", 9, 1},
        {abc.substr(0, 9) + "\x7f", 10, "> abcdefgh", 0, 1},
        {abc + "\x01\x1b[3~", 10, "> bcdefghi\njklmnopqrs", 2, 0},
        {abc + "\x02\x02\x02\x03", 10, ">", 2, 0},
        {"abc\x02\x02\x01", 80, "> abc", 2, 0},  // Home from the second character
        // Enter from the first row ends below the last row: one alone on
        // its row, and a full one.
        {abc.substr(0, 9) + "\x01\r", 10, "> abcdefgh\ni", 0, 2},
        {abc.substr(0, 18) + "\x01\r", 10, "> abcdefgh\nijklmnopqr", 0, 2},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(term_tokens(row.keys));
        Options o = row.o;
        o.cols = row.reports >= 0 ? row.reports : row.width;
        const bool ends = row.keys.back() == '\r';
        const Record r = edit(ends ? row.keys : row.keys + "\r", o);
        Screen screen(row.width);
        screen.show("\n");  // a row above the prompt's, as on a used screen
        for (size_t i = 0; i + (ends ? 0 : 2) < r.held.size(); ++i) {
            for (const int cols :
                 i == static_cast<size_t>(o.resize_at) ? o.resize_to : std::vector<int>{})
                screen.resize(cols);
            EXPECT_TRUE(screen.show(r.held[i])) << term_tokens(r.held[i]);
        }
        EXPECT_EQ(screen.text(), "\n" + row.shows) << r.out();
        EXPECT_EQ(std::make_pair(screen.x(), screen.y()), std::make_pair(row.x, row.y + 1));
        EXPECT_FALSE(screen.wrap_pending());
    }
}

// Each key's bytes, from "abc" with the cursor before the "c".
TEST(Editor, DecodesKeysAndSequences) {
    const struct {
        std::string keys, output, line;
    } cases[] = {
        // clang-format off
        {"\x01", "<cr><right2>", "abc"},
        {"\x1b[H", "<cr><right2>", "abc"},
        {"\x1b[1~", "<cr><right2>", "abc"},
        {"\x05", "<cr>> abc", "abc"},
        {"\x1bOF", "<cr>> abc", "abc"},
        {"\x1b[K", "<cr>> abc", "abc"},
        {"\x1b[4~", "<cr>> abc", "abc"},
        {"\x06\x06", "<right1>", "abc"},
        {"\x1b[C", "<right1>", "abc"},
        {"\x02", "<bs>", "abc"},
        {"\x02\x1b[3~", "<bs><ceos>c<cr><right3>", "ac"},
        {"\x1b[3~\x1b[3~", "<ceos><bel>", "ab"},
        {"\x08", "<bs><ceos>c<cr><right3>", "ac"},
        {"\x02\x03", "<bs><cr><right2><ceos>", ""},
        {"\x01\x7f", "<cr><right2><bel>", "abc"},
        {"\x1b[A\x1b[B\x1b[2~\x1b[5~\x1b[6~\x1b[~\x1b[@", "", "abc"},
        // Sequences are read whole; those of keys the editor has no use for
        // (F5, F12, Ctrl-Up, the console's F1, SS3 F1, a mouse report, a
        // private mode) do nothing.
        {"\x1b[15~\x1b[24~\x1b[1;5A\x1b[[A\x1bOP\x1b[<0;3;4M\x1b[?25h", "", "abc"},
        // Modified keys (Meta-Left, Shift-Right, Ctrl-Home, Meta-Alt-Delete)
        // act as the plain key.
        {"\x1b[1;9D\x1b[1;2C\x1b[1;5H", "<bs><right1><cr><right2>", "abc"},
        {"\x1b[3;10~", "<ceos>", "ab"},
        // A byte that cannot be in a sequence ends it and is a key again.
        {"\x1b[1\x7f", "<bs><ceos>c<cr><right3>", "ac"},
        {std::string("\0\t\a\x0b\x0c\x0e\x10\x12\x1a\x1c\x1f\x80\xff", 13), "", "abc"},
        // Incomplete sequences do nothing; the previous one is not repeated.
        {"\x1b[D\x1bxZ", "<bs>Zbc<cr><right4>", "aZbc"},
        {"\x1b\x1b[C", "[c<cr><right5>Cc<cr><right6>", "ab[Cc"},
        // Terminal answers are swallowed whole, in 7-bit, 8-bit and UTF-8
        // encoded form: a DECRQSS answer, title reports (one holding CR, one
        // U+015C, whose C5 9C is no ST, then a 9D inside U+0100 that is no
        // OSC), APC, PM, SOS, a colour, a cursor report; an ESC inside a
        // string begins the next key. Past 4096 bytes the rest of a string
        // goes to its end, or else to a CR, dropped with it.
        {"\x1bP1$r0m\x1b\\Z", "Zc<cr><right5>", "abZc"},
        {"\x1b]lhostile\r; id\x1b\\\x1b]lx\xc5\x9c id\x1b\\\xc4\x80\x9dZ", "Zc<cr><right5>", "abZc"},
        {"\x1b_a\x1b\\\x1b^b\x1b\\\x1bXc\x1b\\\x1b]11;rgb:0/0/0\aZ", "Zc<cr><right5>", "abZc"},
        {"\x90$r0m\x9c\xc2\x9dlx\xc2\x9c\x9b;1RZ", "Zc<cr><right5>", "abZc"},
        {"\x1b]l\x1b[DZ", "<bs>Zbc<cr><right4>", "aZbc"},
        {"\x1b]" + std::string(5000, 'x') + "Z\r\x1b]" + std::string(5000, 'y') + "\aZ",
         "Zc<cr><right5>", "abZc"},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(term_tokens(c.keys.substr(0, 80)));
        const Record r = edit("abc\x02" + c.keys + "\r");
        EXPECT_EQ(r.out(5, r.held.size() - 2), c.output);
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
    // Prompt, a, Ctrl-C twice, b, CR, prompt, CR, prompt, x, Ctrl-D; each
    // hold that writes, writes once (w).
    EXPECT_EQ(r.events, "[w][w+][w][w][w][w-][w][w-][w][w+][w]");
    EXPECT_TRUE(r.restored);
    EXPECT_EQ(r.lines, (Lines{"b", "", "<end>"}));
    EXPECT_EQ(r.out(r.held.size() - 3), "x<cr><lf>");
}

TEST(Editor, EchoLineEndsLimitAndRedraw) {
    const std::string a59(59, 'a'), x510(510, 'x'), p20 = "twenty-chars-prompt>";
    const struct {
        std::string keys;
        Options options;
        std::string output;  // "*": not compared
        Lines lines;
    } rows[] = {
        // clang-format off
        // Echo off: only the prompt shows, as it is.
        {"ab\x7f\x7f\x7f" "cd\x1b[D\x1b[3~\r", {.prompt = "%d%s> ", .echo = false}, "%d%s> ", {"c"}},
        // A serial line keeps CR: echoed LF CR; the LF after it is no line
        // end. The CR ends the dropping of an overlong terminal string.
        {"ab\r\nc\x1b]" + std::string(5000, 'x') + "\rd\r", {.no_cr = true, .last_line = "cd"},
         "> ab<lf><cr>> cd<lf><cr>", {"ab", "cd"}},
        // With echo off the LF is the only line end some clients send.
        {"ab\r\nc\n", {.echo = false, .no_cr = true, .last_line = "c"}, "> > > ", {"ab", "", "c"}},
        // Across a row's end, the bytes: after a 20-column prompt the 60th
        // character fills the row, and a backspace goes back over the end;
        // on 10 columns a cursor left does.
        {"\x02" + a59 + "b\x7f\r", {.prompt = p20}, p20 + a59 + "b <bs><cr><up1><right79><ceos><cr><lf>", {a59}},
        {"abcdefghij\x02\x02\x02\r", {.cols = 10}, "> abcdefghij<bs><bs><cr><up1><right9><down1><cr><lf>", {"abcdefghij"}},
        // Ctrl-D ends no line that shows nothing; one that shows a byte, it does.
        {"\x04", {.prompt = ""}, "", {"<end>"}},
        {"a\x04", {.prompt = ""}, "a<cr><lf>", {"<end>"}},
        // Inserted into a line that then fills the buffer, and deleted from it
        // (the buffer's size is exact: a byte moved past it stops the test).
        {x510.substr(1) + "\x02yz\x1b[3~\r", {.max_len = 511}, "*", {x510.substr(2) + "y"}},
        {x510 + "x\r", {.max_len = 511}, "> " + x510 + "<bel><cr><lf>", {x510}},
        // Another thread takes the line off the screen and draws it again
        // between two keys, also when it is one column wide.
        {"abc\r", {.refresh_at = 3}, "> ab<cr><ceos>> abc<cr><lf>", {"abc"}},
        {"a\r", {.prompt = "", .refresh_at = 2}, "a<cr><ceos>a<cr><lf>", {"a"}},
        {"ab\r", {.prompt = "", .echo = false, .refresh_at = 2}, "a", {"ab"}},  // as it stands
        // Output left text on the row: the line is laid out after it.
        {"xy\x01Z\ra\x01\r", {.prompt = "", .cols = 10, .last_line = "a", .row_text_at = 1, .row_text = "-> "}, "xy<cr><right3>Zxy<cr><right4><cr><lf>a<cr><cr><lf>", {"Zxy", "a"}},
        {"xy\x01Z\r", {.prompt = "", .cols = 10, .row_text_at = 2, .row_text = "-> "}, "xy<cr>Zxy<cr><right1><cr><lf>", {"Zxy"}},  // too late: typed
        // A signal cutting the wait for a key short is no end of input, nor is
        // standard input that does not block.
        {"ab", {.later = "c\r", .cut_short = true}, "> abc<cr><lf>", {"abc"}},
        {"ab", {.nonblocking = true, .later = "c\r"}, "> abc<cr><lf>", {"abc"}},
        // A signal in the wait for the rest of a sequence does not cut it.
        {"abc\x1b[", {.later = "D\r", .cut_short = true, .holds = 4}, "> abc<bs><cr><lf>", {"abc"}},
        // A pause ends a string: a stray ESC ] does not swallow what follows.
        {"ab\x1b]", {.later = "c\r", .holds = 4}, "> abc<cr><lf>", {"abc"}},
        // A hang-up ends the call, also inside a sequence.
        {"x\x1b[1", {.hang_up = 3}, "> x", {"<end>"}},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(term_tokens(row.keys));
        const Record r = edit(row.keys, row.options);
        EXPECT_EQ(row.output == "*" ? "*" : r.out(), row.output);
        EXPECT_EQ(r.lines, row.lines);
    }
}

// The editor's own writer, on a pipe that is full: a signal in the blocked
// write or in the wait for room loses and repeats nothing, and the writer
// sleeps rather than spins; a terminal stuck for good is given up on. Text
// other code left in the stdio stream goes out first.
TEST(Editor, WriterOnAFullTerminal) {
    const struct {
        bool blocks, stuck, room;
    } rows[] = {
        {true, false, false}, {false, false, false}, {false, true, false}, {true, false, true}};
    for (const auto& [blocks, stuck, room] : rows) {
        int ends[2];
        ASSERT_EQ(pipe2(ends, O_NONBLOCK), 0);
        UniqueFd from(ends[0]), to(ends[1]);
        const auto capacity = static_cast<size_t>(fcntl(to.get(), F_SETPIPE_SZ, 4096));
        const std::string full(room ? 0 : capacity, '.');
        ASSERT_EQ(write(to.get(), full.data(), full.size()), static_cast<ssize_t>(full.size()));
        if (blocks) fcntl(to.get(), F_SETFL, 0);
        bool slept = true;
        std::string shown;
        const auto terminal = [&](pid_t editor) {
            if (room) return;
            if (!stuck) {
                slept = wait_until([&] { return locks == 2 && sleeping(editor); });  // echoing x
                cut = false;
                if (tgkill(getpid(), editor, SIGUSR2) == 0) wait_until([] { return cut.load(); });
            }
            // Stuck: room comes only when the editor has not given up in time.
            slept = wait_until([&] { return stuck ? releases == 3 : sleeping(editor); }) && slept;
            read_available(from.get(), &shown);
        };
        const char* stdio_text = room ? "stdio" : nullptr;
        const Record r =
            edit("x\r",
                 {.prompt = "", .stdio_text = stdio_text, .out = to.get(), .meanwhile = terminal});
        read_available(from.get(), &shown);
        EXPECT_TRUE(slept) << "the writer spins or never gives up";
        EXPECT_EQ(r.lines, Lines{"x"});
        EXPECT_EQ(shown, stuck ? full : full + (room ? "stdio" : "") + "x\r\n");
    }
}

// The history store, filled through the tests' way in: each row adds the
// lines "1", "2", ... and then repeats the newest and the oldest entry as the
// shell's repeat does (a copy of it replaces the newest). The ring keeps its
// size and oldest slot; the newest slot gets the copies, nothing else does.
TEST(History, RingOfSixtyFour) {
    const auto text = [](int slot) {
        const char* t = cle_history(slot);
        return std::string(t != nullptr ? t : "<none>");
    };
    const int rows[][4] = {{1, 1, 0, 0}, {10, 10, 0, 9}, {64, 64, 0, 63}, {65, 64, 1, 0}};
    for (const auto& [added, size, oldest, newest] : rows) {
        cle_cleanup();
        for (int n = 1; n <= added; ++n)
            cle_history_test_add(std::to_string(n).c_str());
        for (const std::string& again : {text(newest), text(oldest)}) {
            const std::vector<char> exact(again.c_str(), again.c_str() + again.size() + 1);
            EXPECT_EQ(cle_history_replace_last_entry(exact.data()), 0);  // read to its end only
        }
        const std::string first = std::to_string(added - size + 1);
        EXPECT_EQ(std::make_tuple(cle_history_size(), cle_history_get_start(),
                                  text(newest) + text(oldest), text((newest + 1) % 64)),
                  std::make_tuple(size, oldest, first + first, size == 64 ? first : "<none>"))
            << added;
    }
    // Empty, the store puts a replacement in slot 0 without counting it.
    cle_cleanup();
    EXPECT_EQ(text(5), "<none>");
    EXPECT_EQ((std::vector{cle_history_replace_last_entry(nullptr),
                           cle_history_replace_last_entry("x"), cle_history_size()}),
              (std::vector{-1, 0, 0}));
    EXPECT_EQ(text(0), "x");
    cle_cleanup();
    EXPECT_EQ((std::vector{cle_history_command_filter(7), cle_history_command_filter(0),
                           cle_history_command_filter(0)}),
              (std::vector{1, 1, 0}));
}

}  // namespace
