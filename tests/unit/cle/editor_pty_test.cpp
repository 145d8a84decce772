// The editor on a real pseudo-terminal: the exact bytes each key writes, the
// width learnt lazily and on resize, the line-end modes, the callbacks'
// order, and what other threads see of the output lock.
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "pty_process.h"
#include "term_tokens.h"

namespace {

using namespace std::chrono_literals;
constexpr std::string_view kFence = "\x1b]fence\a";

// How many key actions (reads that take the lock) keys make, and how many
// of them end a line, after which the editor takes the lock once more to
// begin the next. An escape sequence is one action: ESC [ up to its final
// byte (0x40-0x7e), or up to a byte that cannot be in it, which then counts
// with the sequence; ESC O and one byte; ESC and any other byte.
struct KeyCount {
    int actions = 0;
    int line_ends = 0;
};
KeyCount count_keys(std::string_view keys, bool lf_ignored) {
    KeyCount n;
    auto ends_line = [&](char c) { return c == '\r' || (c == '\n' && !lf_ignored); };
    for (size_t i = 0; i < keys.size(); ++n.actions) {
        char c = keys[i++];
        while (c == '\x1b' && i < keys.size()) {
            const char intro = keys[i++];
            c = 0;
            if (intro == 'O' && i < keys.size()) ++i;
            if (intro != '[') break;
            if (i + 1 < keys.size() && keys[i] == '[') {  // the console's ESC [ [ A
                i += 2;
                break;
            }
            while (i < keys.size() && keys[i] >= 0x20 && keys[i] < 0x40)
                ++i;
            if (i < keys.size()) c = keys[i++];
            if (c >= 0x40 && c <= 0x7e) c = 0;
        }
        if (ends_line(c)) ++n.line_ends;
    }
    return n;
}

// Command line of a program: through the target's emulator in a cross build.
std::vector<std::string> driver_argv(std::vector<std::string> args,
                                     const char* program = CLE_PTY_DRIVER) {
    std::vector<std::string> argv;
    std::string launcher = CLE_PTY_LAUNCHER;
    for (size_t at; !launcher.empty(); launcher.erase(0, at == std::string::npos ? at : at + 1)) {
        at = launcher.find('|');
        argv.push_back(launcher.substr(0, at));
    }
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// The driver on a pty of `cols` columns, with its event channel.
class EditorSession {
  public:
    explicit EditorSession(std::vector<std::string> args, int cols = 80, bool translate = false)
        : pty_(options(args, cols, translate, channel_.child)) {
        channel_.child.reset();
        lf_ignored_ = has(args, "--no-cr") && !has(args, "--noecho");
        if (has(args, "--roundtrip")) return;
        if (!wait_event("ready")) ADD_FAILURE() << "driver not ready";
        if (!has(args, "--quiet")) first_output = collect(1);
    }

    // Types keys, waits until the editor has acted on all of them (and
    // printed the next prompt after a line end), returns the output as tokens.
    std::string keys(std::string_view keys) {
        pty_.write(keys);
        const KeyCount n = count_keys(keys, lf_ignored_);
        return collect(n.actions + n.line_ends);
    }
    // Types keys without waiting; they count as `actions` key actions.
    void send(std::string_view keys, int actions) {
        pty_.write(keys);
        expected_unlocks_ += actions;
    }
    // Waits until the editor holds the output lock.
    bool wait_locked() {
        while (locks_ == unlocks_) {
            if (!read_event()) return false;
        }
        return true;
    }
    // Takes in the events that have arrived, without waiting.
    void drain_events() {
        while (read_event(0ms)) {
        }
    }
    // Asks the driver's side thread to run cmd under the output lock.
    void command(const std::string& cmd) {
        const std::string line = cmd + "\n";
        ASSERT_EQ(::send(channel_.get(), line.data(), line.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(line.size()));
    }
    // Waits for text in the output; returns the output up to it as tokens.
    std::string output_until(std::string_view text) {
        EXPECT_TRUE(pty_.expect(text, 5s)) << term_tokens(pty_.output());
        return term_tokens(pty_.take(text));
    }
    // The next "line ..." or "end ..." event (or one starting with kind).
    std::string result(std::string_view kind = "") {
        for (size_t i = 0;; ++i) {
            if (i == events_.size() && !read_event()) return "(no result)";
            const std::string& e = events_[i];
            if (kind.empty() ? e.rfind("line ", 0) == 0 || e.rfind("end ", 0) == 0
                             : e.rfind(kind, 0) == 0) {
                std::string r = e;
                events_.erase(events_.begin() + static_cast<long>(i));
                return r;
            }
        }
    }
    // Lock, typing and result events so far, oldest first; consumes them.
    std::vector<std::string> take_events() {
        std::vector<std::string> out;
        for (const auto& e : events_) {
            if (e.rfind("done ", 0) != 0) out.push_back(e);
        }
        events_.clear();
        return out;
    }
    zt::PtyProcess& pty() { return pty_; }

    std::string first_output;

  private:
    // The event socket: our end, and the driver's (its descriptor 3).
    struct Channel {
        Channel() {
            int sv[2] = {-1, -1};
            socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
            ours.reset(sv[0]);
            child.reset(sv[1]);
        }
        int get() const { return ours.get(); }
        zt::UniqueFd ours, child;
    };
    static zt::PtyOptions options(const std::vector<std::string>& args, int cols, bool translate,
                                  const zt::UniqueFd& child) {
        zt::PtyOptions o;
        o.argv = driver_argv(args);
        o.cols = cols;
        o.translate_output = translate;
        o.child_fds = {child.get()};
        return o;
    }
    static bool has(const std::vector<std::string>& args, std::string_view option) {
        for (const auto& a : args) {
            if (a == option) return true;
        }
        return false;
    }

    // Reads one event line into events_, counting releases of the lock and
    // expecting the next prompt after each line. False at the deadline.
    bool read_event(std::chrono::milliseconds timeout = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (size_t nl = buffer_.find('\n'); nl != std::string::npos) {
                events_.push_back(buffer_.substr(0, nl));
                buffer_.erase(0, nl + 1);
                if (events_.back() == "lock 1") ++locks_;
                if (events_.back() == "lock 0") ++unlocks_;
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd in{channel_.get(), POLLIN, 0};
            if (poll(&in, 1, static_cast<int>(std::max<long>(left.count(), 0))) <= 0) return false;
            char buf[4096];
            const ssize_t n = read(channel_.get(), buf, sizeof buf);
            if (n <= 0) return false;
            buffer_.append(buf, static_cast<size_t>(n));
        }
    }
    bool wait_event(const std::string& event) {
        for (;;) {
            for (auto it = events_.begin(); it != events_.end(); ++it) {
                if (*it == event) {
                    events_.erase(it);
                    return true;
                }
            }
            if (!read_event()) return false;
        }
    }
    // Waits for `actions` more releases of the lock, then fences the output.
    std::string collect(int actions) {
        expected_unlocks_ += actions;
        while (unlocks_ < expected_unlocks_) {
            if (!read_event()) {
                ADD_FAILURE() << "the editor did not act on every key";
                break;
            }
        }
        command("fence");
        std::string out = output_until(kFence);
        return out.substr(0, out.size() - term_tokens(kFence).size());
    }

    Channel channel_;
    zt::PtyProcess pty_;
    std::string buffer_;
    std::deque<std::string> events_;
    bool lf_ignored_ = false;
    int locks_ = 0;
    int unlocks_ = 0;
    int expected_unlocks_ = 0;
};

TEST(EditorPty, WrapsAtTheMarginOfAnEightyColumnTerminal) {
    EditorSession s({"--prompt=twenty-chars-prompt>"});
    EXPECT_EQ(s.first_output, "twenty-chars-prompt>");
    EXPECT_EQ(s.keys("\x02"), "");  // learns the width; nothing to move over
    EXPECT_EQ(s.keys(std::string(59, 'a')), std::string(59, 'a'));
    EXPECT_EQ(s.keys("b"), "b <bs>");
    EXPECT_EQ(s.keys("\x7f"), "<cr><up1><right79><ceos>");
    EXPECT_EQ(s.keys("\r"), "<cr><lf>twenty-chars-prompt>");
    EXPECT_EQ(s.result(), "line " + std::string(59, 'a'));
}

TEST(EditorPty, LearnsTheWidthOnFirstNeedAndOnResize) {
    EditorSession s({"--prompt=> "}, 20);
    // Unknown width: 25 characters go out without wrapping.
    EXPECT_EQ(s.keys(std::string(25, 'a')), std::string(25, 'a'));
    // Home measures 20 columns: the 27 columns typed were rows 0 and 1.
    EXPECT_EQ(s.keys("\x01"), "<cr><up1><right2>");
    s.pty().resize(24, 10);
    EXPECT_EQ(s.keys("\x05"), "<cr>> " + std::string(25, 'a'));
    EXPECT_EQ(s.keys("aaa"), "aaa <bs>");  // 30 columns: row 2 is full
    EXPECT_EQ(s.keys("\x01"), "<cr><up3><right2>");
    // Text typed before the width was known ends at the margin, where the
    // terminal parks the cursor: it is taken to the next row before the
    // Backspace, or before the next character once a resize told the width.
    for (const bool resized : {false, true}) {
        EditorSession parked({"--prompt=> "}, 20);
        parked.keys(std::string(18, 'a'));
        if (resized) parked.pty().resize(30, 20);  // a new height: same width
        EXPECT_EQ(parked.keys(resized ? "b" : "\x7f"),
                  resized ? " <bs>b" : " <bs><cr><up1><right19><ceos>");
    }
    // A terminal that reports 0 or 1 columns counts as 80 wide.
    for (const int cols : {0, 1}) {
        EditorSession narrow({"--prompt=> "}, cols);
        narrow.keys("\x02");
        EXPECT_EQ(narrow.keys(std::string(78, 'a')), std::string(78, 'a') + " <bs>");
    }
}

TEST(EditorPty, DecodesKeysAndSequences) {
    struct Case {
        std::string keys, output, line;
    };
    // Each case starts from "abc" with the cursor before the "c".
    const std::vector<Case> cases = {
        {"\x01", "<cr><right2>", "abc"},
        {"\x1b[H", "<cr><right2>", "abc"},
        {"\x1b[1~", "<cr><right2>", "abc"},
        {"\x1bOH", "<cr><right2>", "abc"},
        {"\x05", "<cr>> abc", "abc"},
        {"\x1b[F", "<cr>> abc", "abc"},
        {"\x1b[4~", "<cr>> abc", "abc"},
        {"\x1bOF", "<cr>> abc", "abc"},
        {"\x1b[K", "<cr>> abc", "abc"},
        {"\x06", "<right1>", "abc"},
        {"\x1b[C", "<right1>", "abc"},
        {"\x1bOC", "<right1>", "abc"},
        {"\x02", "<bs>", "abc"},
        {"\x1b[D", "<bs>", "abc"},
        {"\x1bOD", "<bs>", "abc"},
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
    EditorSession s({"--prompt=> "});
    for (const Case& c : cases) {
        SCOPED_TRACE(term_tokens(c.keys));
        s.keys("abc\x02");
        EXPECT_EQ(s.keys(c.keys), c.output);
        s.keys("\r");
        EXPECT_EQ(s.result(), "line " + c.line);
    }
}

TEST(EditorPty, BracketsEveryActionWithTheLockAndReportsTyping) {
    EditorSession s({"--prompt=> "});
    EXPECT_EQ(s.keys("a"), "a");
    EXPECT_EQ(s.keys("\x03"), "<cr><right2><ceos>");
    EXPECT_EQ(s.keys("\x03"), "<ceos>");
    s.keys("b\r");
    EXPECT_EQ(s.result(), "line b");
    // Typing 1 once per line, with the first key and before the lock goes,
    // so no other thread can print behind that key; 0 at the line end, even
    // after the line was emptied.
    const std::vector<std::string> first = {
        "lock 1", "lock 0",                                   // prompt
        "lock 1", "typing 1", "lock 0",                       // a
        "lock 1", "lock 0",   "lock 1", "lock 0",             // Ctrl-C twice
        "lock 1", "lock 0",                                   // b
        "lock 1", "typing 0", "lock 0", "lock 1", "lock 0"};  // CR, next prompt
    EXPECT_EQ(s.take_events(), first);
    s.keys("\r");
    EXPECT_EQ(s.result(), "line ");
    s.send("x\x04", 2);  // the driver ends: no fence
    EXPECT_EQ(s.result(), "end -1 restored=yes");
    EXPECT_TRUE(s.pty().expect("x\r\n")) << "Ctrl-D leaves the terminal on a fresh row";
    const std::vector<std::string> second = {"lock 1", "typing 0", "lock 0", "lock 1", "lock 0",
                                             "lock 1", "typing 1", "lock 0", "lock 1", "lock 0"};
    EXPECT_EQ(s.take_events(), second);
}

TEST(EditorPty, EchoOffWritesOnlyThePrompt) {
    EditorSession s({"--prompt=%d%s> ", "--noecho"});
    EXPECT_EQ(s.first_output, "%d%s> ");
    EXPECT_EQ(s.keys("ab\x7f\x7f\x7f"
                     "cd\x1b[D\x1b[3~\r"),
              "%d%s> ");
    EXPECT_EQ(s.result(), "line c");
}

TEST(EditorPty, LineEndsOnSerialAndOrdinaryTerminals) {
    {
        // CR arrives untranslated and is echoed LF CR; the LF after it is dropped.
        EditorSession s({"--prompt=> ", "--no-cr"}, 80, true);
        EXPECT_EQ(s.keys("ab\r\n"), "ab<lf><cr>> ");
        EXPECT_EQ(s.keys("c\r"), "c<lf><cr>> ");
        EXPECT_EQ(s.result(), "line ab");
        EXPECT_EQ(s.result(), "line c");
    }
    {
        // With echo off the LF is the only line end some clients send.
        EditorSession s({"--prompt=> ", "--no-cr", "--noecho"}, 80, true);
        EXPECT_EQ(s.keys("ab\r\n"), "> > ");
        EXPECT_EQ(s.result(), "line ab");
        EXPECT_EQ(s.result(), "line ");
    }
    {
        // Ordinarily the terminal turns CR into LF and the echoed LF into CR LF.
        EditorSession s({"--prompt=> "}, 80, true);
        EXPECT_EQ(s.keys("ab\r"), "ab<cr><cr><lf>> ");
        EXPECT_EQ(s.result(), "line ab");
    }
}

TEST(EditorPty, StopsAtTheBufferLimit) {
    EditorSession s({"--prompt=> ", "--max-len=511"});
    EXPECT_EQ(s.keys(std::string(511, 'x')), std::string(510, 'x') + "<bel>");
    s.keys("\r");
    EXPECT_EQ(s.result(), "line " + std::string(510, 'x'));
}

TEST(EditorPty, OtherThreadsWriteBetweenActions) {
    EditorSession s({"--prompt=> "});
    s.keys("abc");
    s.command("refresh");
    EXPECT_EQ(s.output_until("abc"), "> abc");
    // A sequence cut short holds the lock only briefly, and does nothing.
    s.send("\x1b[", 1);
    ASSERT_TRUE(s.wait_locked());
    s.command("print <async>");
    EXPECT_EQ(s.output_until("<async>"), "<lt>async>");
    EXPECT_EQ(s.keys("C\r"), "C<cr><lf>> ");
    EXPECT_EQ(s.result(), "line abcC");
    // Input that ends inside a sequence ends the call at the next read.
    s.send("x\x1b[1", 2);
    s.pty().hang_up();
    EXPECT_EQ(s.result().rfind("end -1", 0), 0u);
    EXPECT_EQ(s.pty().wait_exit(), 0);
}

TEST(EditorPty, TheManualToolReadsLines) {
    zt::PtyOptions o;
    o.argv = driver_argv({"--prompt=$ "}, CLE_TRY);
    zt::PtyProcess tool(o);
    tool.write("ab\r");
    EXPECT_TRUE(tool.expect("$ ab\r\nread 2 characters: \"ab\"")) << term_tokens(tool.output());
    tool.write("\x04");
    EXPECT_EQ(tool.wait_exit(), 0);
}

TEST(EditorPty, CleanupRestoresTerminalAndSignalHandler) {
    for (const bool no_cr : {false, true}) {
        std::vector<std::string> args = {"--roundtrip"};
        if (no_cr) args.push_back("--no-cr");
        // Entries added before init are not counted after it, yet freed.
        EditorSession s(args, 80, true);
        EXPECT_EQ(s.result("roundtrip"),
                  no_cr
                      ? "roundtrip raw=yes icrnl=0 onlcr=0 history=0/0 restored=yes winch=theirs"
                      : "roundtrip raw=yes icrnl=1 onlcr=1 history=0/0 restored=yes winch=theirs");
        EXPECT_EQ(s.pty().wait_exit(), 0);
    }
}

TEST(EditorPty, SurvivesABinaryBurst) {
    EditorSession s({"--prompt=", "--max-len=16", "--quiet"});
    std::mt19937 rng(7);
    std::string burst;
    while (burst.size() < 100 * 1024) {
        const auto c = static_cast<char>(rng() & 0xff);
        // Ctrl-D would end the session; ^Q/^S are the terminal's flow control.
        if (c != '\x04' && c != '\x11' && c != '\x13') burst += c;
    }
    // In pieces, taking in the driver's reports meanwhile so that it never
    // waits on a full event socket.
    for (size_t at = 0; at < burst.size(); at += 512) {
        s.pty().write(std::string_view(burst).substr(at, 512));
        s.drain_events();
    }
    // Two CRs finish whatever sequence the burst ended in, and a line.
    s.pty().write(
        "\r\r\x03"
        "end\r");
    ASSERT_TRUE(s.pty().expect("end\r\n", 20s)) << "the editor stalled";
    for (std::string r; (r = s.result()) != "line end";) {
        ASSERT_EQ(r.rfind("line ", 0), 0u) << r;
        ASSERT_LE(r.size(), 5u + 15u) << r;
    }
    s.pty().hang_up();
    EXPECT_EQ(s.pty().wait_exit(), 0);
}

}  // namespace
