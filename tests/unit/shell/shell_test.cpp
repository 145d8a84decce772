// The shell's parts, one table per behaviour: the flood guard, the password
// line, the line printer and its system-log mirror, the
// live log's record shaping, the command-line splitter, and text from
// outside made safe for the terminal; last, the console on a
// pseudo-terminal in this process, with a side thread printing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bad_input.h"
#include "channel.h"
#include "cle.h"
#include "clock.h"
#include "command_parsing.h"
#include "commands.h"
#include "console.h"
#include "flood_guard.h"
#include "listener_socket.h"
#include "log_reader.h"
#include "log_view.h"
#include "login.h"
#include "login_report.h"
#include "seams.h"
#include "session.h"
#include "system_log.h"
#include "terminal_text.h"
#include "test_util.h"
#include "typed_line.h"

namespace {

using namespace zt;

// The flood guard: each row feeds runs of lines, each run at one gap (ms)
// from the line before, to a fresh guard, and expects the line that ends
// the session (0: none).
TEST(FloodGuard, Table) {
    using Runs = std::vector<std::pair<int, long long>>;
    const struct {
        Runs runs;
        int ends_at;
    } rows[] = {
        {{{120, 999}}, 100},                    // every tenth fast line a strike, ten end it
        {{{120, 1000}}, 0},                     // a second apart is not fast
        {{{120, -5000}}, 100},                  // a clock set back is
        {{{90, 1}, {1, 2500}, {20, 1}}, 111},   // a moderate pause forgives a strike
        {{{90, 1}, {1, 2501}, {100, 1}}, 191},  // a longer one clears them all
        {{{9, 1}, {1, 2500}, {91, 1}}, 101},    // a moderate one keeps the fast run
    };
    for (const auto& r : rows) {
        FloodGuard guard;
        long long now = 0;
        int line = 0, ended = 0;
        for (const auto& [lines, gap] : r.runs)
            for (int i = 0; i < lines && ended == 0; ++i)
                if (++line, flood_guard_check(&guard, now += gap)) ended = line;
        EXPECT_EQ(ended, r.ends_at) << r.runs.size() << " runs, first " << r.runs[0].second;
    }
    EXPECT_NEAR(static_cast<double>(wall_clock_ms()) / 1000, static_cast<double>(time(nullptr)), 2);
}

// "!12" becomes "! 12" for the repeat command, as long as the command
// buffer holds the longer line.
TEST(BangRewrite, Table) {
    const std::string ones509(509, '1');
    const struct {
        std::string line, rewritten;
    } rows[] = {
        {"x!12", "x!12"},
        {"!" + ones509, "! " + ones509},   // 510 characters: room for 511
        {"!1" + ones509, "!1" + ones509},  // 511: no room for 512
    };
    for (const auto& r : rows) {
        char buffer[kCmdBuffSize];
        snprintf(buffer, sizeof buffer, "%s", r.line.c_str());
        preprocess_legacy_bang_input_cmd(buffer);
        EXPECT_EQ(buffer, r.rewritten) << r.line.size();
    }
}

// Only the tool's own prefix carries a password, and only one line end
// goes: a CR before the LF stays in it.
TEST(PasswordLine, Table) {
    const std::string p100 = "config sw 0 " + std::string(100, 'p');
    const struct {
        const char* line;
        int size, rc;
        std::string password;
    } rows[] = {
        {"config sw 0 s3cret\n", 64, 0, "s3cret"},   {"config sw 0 \n", 64, 0, ""},
        {"config sw 1 x\n", 64, 0, "unchanged"},     {"config sw 0 pw\r\n", 64, 0, "pw\r"},
        {"config sw 0 12345678", 8, 1, "unchanged"}, {p100.c_str(), 64, 0, std::string(63, 'p')},
    };
    for (const auto& r : rows) {
        char pw[64] = "unchanged";
        EXPECT_EQ(parse_password_line(r.line, pw, r.size), r.rc) << r.line;
        EXPECT_EQ(r.rc == 0 ? std::string(pw) : r.password, r.password) << r.line;
    }
}

std::vector<std::string> logged;  // entries as the system logger got them

void capture_entry(int priority, const char* format, va_list ap) {
    char text[2048];
    vsnprintf(text, sizeof text, format, ap);
    logged.push_back(std::to_string(priority) + " " + text);
}

TEST(Console, PrintsAndMirrors) {
    const std::string x63(63, 'x'), x64(64, 'x'), a600(600, 'a');
    const struct {
        const char* format;
        const char* arg;
        std::string printed;
        int rc;
        std::string mirrored;  // "" when nothing is logged
        int commands = 0;      // command lines counted before the row
        bool mirror = true;
    } rows[] = {
        {"%s", "100%", "100%\r\n", 6, "69 API:telnet%3:0:OUT:100%\r\n"},
        {"error: command not found", "", "error: command not found\r\n", 26,
         "69 API:telnet%3:2:OUT:error: command not found\r\n", 2},
        {x63.c_str(), "", x63 + "\r\n", 65, "69 API:telnet%3:2:OUT:" + x63 + "\r\n"},
        {x64.c_str(), "", "", -1, ""},  // formats are at most 63 characters
        {nullptr, "", "", -1, ""},
        {"two\n\n", "", "two\n\r\n", 6, "69 API:telnet%3:2:OUT:two\n\r\n"},
        {"%s", a600.c_str(), a600 + "\r\n", 602, "69 API:telnet%3:2:OUT:" + a600.substr(0, 507)},
        {"quiet", "", "quiet\r\n", 7, "", 0, false},
    };
    system_log_set_vsyslog(capture_entry);
    SessionSettings settings;
    snprintf(settings.tty_name, sizeof settings.tty_name, "/dev/pts/%%3");
    session_settings_set(settings);
    // The tag, telnet%3 (its % no conversion), built once as start-up builds it.
    system_log_open();
    for (const auto& r : rows) {
        SCOPED_TRACE(r.printed);
        logged.clear();
        settings.traits = r.mirror ? session_traits_of("api") : nullptr;
        session_settings_set(settings);
        for (int i = 0; i < r.commands; ++i)
            system_log_count_command();
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(console_println(r.format, r.arg), r.rc);
        fflush(stdout);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), r.printed);
        EXPECT_EQ(logged, r.mirrored.empty() ? std::vector<std::string>{}
                                             : std::vector<std::string>{r.mirrored});
    }
    EXPECT_EQ(mysyslog(nullptr) + mysyslog("%s", "x"), 0);
    session_settings_set(SessionSettings{});
    system_log_set_vsyslog(nullptr);
}

// Bad input on a listener socket is warned of at most once a second per
// kind, with the count met since the last warning.
TEST(BadInput, WarnsOncePerKindASecond) {
    static constexpr BadInputWarnings::Kind kinds[] = {{1, "long"}, {2, "cut"}};
    BadInputWarnings warnings("event socket", kinds, 2);
    const struct {
        int kinds;
        long long at;
        std::vector<std::string> logged;
    } rows[] = {
        {1, 5000, {"long (1 since the last warning)"}},
        {1, 5999, {}},
        {3, 6000, {"long (2 since the last warning)", "cut (1 since the last warning)"}},
        {2, 6500, {}},
        {0, 9000, {}},
    };
    system_log_set_vsyslog(capture_entry);
    for (const auto& r : rows) {
        logged.clear();
        warnings.note(r.kinds, r.at);
        for (auto& entry : logged)
            entry.erase(0, entry.find(":WARNING: event socket: ") + 24);
        EXPECT_EQ(logged, r.logged) << r.at;
    }
    system_log_set_vsyslog(nullptr);
}

// Local commands run in this process. The history listing numbers entries by
// their slot, oldest first, and a full ring wraps its numbers; repeat refers
// to an entry by that number.
// Without a descriptor to spare, printenv fails and the login asks nothing.
TEST(LocalCommands, HistoryRepeatPrintenvAndALoginWithoutDescriptors) {
    Channel unconnected;
    CommandContext context{kFmtNormal, unconnected};
    const auto run = [&](const auto& action) {
        ::testing::internal::CaptureStdout();
        action();
        return ::testing::internal::GetCapturedStdout();
    };
    const auto line = [&](const char* text) {
        return run([&] { process_command(text, context); });
    };
    cle_cleanup();
    cle_history_test_add("status");
    EXPECT_EQ(line("hist"),
              "command history:\r\n 1  status\r\n"
              "1 commands (only the last 64 shown)\r\nhist success\r\n");
    EXPECT_EQ(line("! 1"), "error: invalid command history reference\r\n");
    cle_history_test_add("show add x");
    EXPECT_EQ(line("repeat 1"),
              "error: unknown error executing a command\r\n");  // status, sent again
    for (int n = 3; n <= 66; ++n)
        cle_history_test_add(("line " + std::to_string(n)).c_str());
    const std::string full = line("history");
    EXPECT_NE(full.find("64  line 64\r\n 1  line 65\r\n 2  line 66\r\n64 commands"),
              std::string::npos);
    EXPECT_EQ(line("! 64"), "error: unknown error executing a command\r\n");
    cle_cleanup();
    // With no descriptor to spare, printenv says it failed.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlimit none{0, limit.rlim_max};
    // Nor can the password tool start: that means no password, and standard
    // input is neither read nor closed.
    const auto without_descriptors = [&] {
        setrlimit(RLIMIT_NOFILE, &none);
        process_command("printenv", context);
        EXPECT_FALSE(run_login());
        setrlimit(RLIMIT_NOFILE, &limit);
    };
    UniqueFd in(dup(STDIN_FILENO)), null(open("/dev/null", O_RDONLY | O_CLOEXEC));
    dup2(null.get(), STDIN_FILENO);
    EXPECT_EQ(run(without_descriptors), "printenv failed\r\n");
    EXPECT_NE(fcntl(STDIN_FILENO, F_GETFD), -1);
    dup2(in.get(), STDIN_FILENO);
}

// Each row sets the filters and switches, then shows one record: the text
// printed, or "-" when the record is dropped.
TEST(LiveLog, FiltersAndFormat) {
    const std::string rec = "2026-12-05 23:51:58 notice zcon: API:telnet3:1:IN:status";
    using Args = std::vector<const char*>;
    const std::string all = "date time level";
    const Args ten_then_status = {"q1", "q2", "q3", "q4",  "q5",    "q6",
                                  "q7", "q8", "q9", "q10", "status"};
    const struct {
        Args show, cull;
        std::string format;  // the words after "log format"
        std::string record, shown;
    } rows[] = {
        {{}, {}, all, rec, rec},
        {{"2026"}, {}, all, rec, "-"},  // filters search from the level word on
        {{"nothing", "status"}, {}, all, rec, rec},
        {{"STATUS"}, {}, all, rec, "-"},
        {ten_then_status, {}, all, rec, "-"},      // the eleventh of a full table is dropped
        {{"status"}, {"telnet3"}, all, rec, "-"},  // cull wins
        {{"nothing"}, {"short"}, all, "a short record of 24 chr", "a short record of 24 chr"},
        {{"nothing"}, {"short"}, all, "a short record of 25 chrs", "-"},
        {{}, {}, "level time", rec, "23:51:58 notice zcon: API:telnet3:1:IN:status"},
        {{}, {}, "time date", rec, "2026-12-05 23:51:58 zcon: API:telnet3:1:IN:status"},
        {{}, {}, "date", "2026-12-05 23:51:58   two spaces", "2026-12-05  two spaces"},
        {{}, {}, "date", "2026-12-05 23:51:58 oneword", "2026-12-05 "},
    };
    Channel unconnected;
    CommandContext context{kFmtNormal, unconnected};
    LogView& view = session_log_view();
    for (const auto& r : rows) {
        SCOPED_TRACE(r.shown);
        view.clear_filters();
        view.add_filters(LogView::Filters::kShow, static_cast<int>(r.show.size()),
                         const_cast<char**>(r.show.data()));
        view.add_filters(LogView::Filters::kCull, static_cast<int>(r.cull.size()),
                         const_cast<char**>(r.cull.data()));
        process_command(("log format " + r.format).c_str(), context);
        char out[1100];
        EXPECT_EQ(view.format_record(r.record.c_str(), out, sizeof out) ? out : "-", r.shown);
    }
}

using Words = std::vector<std::string>;

// Splits a copy of line; returns the words, or {"<failed>"}.
Words split(const std::string& line) {
    std::vector<char> buf(line.begin(), line.end());
    buf.push_back('\0');
    char* argv[kMaxWords];
    int argc = -1;
    if (tokenizeString(buf.data(), &argc, argv) != 0) return {"<failed>"};
    return Words(argv, argv + argc);
}

TEST(Tokenizer, SplitsLines) {
    const struct {
        const char* line;
        Words words;
    } cases[] = {
        {"\"ab\"cd", {"ab", "cd"}},                     // a closing quote ends the word
        {"ab\"cd", {"ab\"cd"}},                         // quotes inside a plain word are plain
        {"echo \"open  wide", {"echo", "open  wide"}},  // unclosed quote
        {" \t ", {""}},
        {"a #b", {"a", "#b"}},
        {" \t# anything", {}},
        {"\"#x\"", {"#x"}},
        // A tab ends a word only when no space follows anywhere in the line.
        {"a\tb c", {"a\tb", "c"}},
        {"a\tb\tc", {"a", "b", "c"}},
        // The line ends at its first CR or LF, also inside quotes.
        {"ab\rcd ef", {"ab"}},
        {"\"a\rb\" c", {"a"}},
        // Backslash escapes only inside quotes.
        {"a\\tb \\", {"a\\tb", "\\"}},
        {"\"\\101\" \"\\1011\" \"\\777\" \"\\1018\"", {"A", "\x09", "\xFF", "A8"}},
        {"\"\\x41\" \"\\x4142\" \"\\xaB\" \"\\x41g\"", {"A", "B", "\xAB", "Ag"}},
        {"\"\\a\\b\\f\\n\\r\\t\\v\"", {"\x07\x08\x0C\x0A\x0D\x09\x0B"}},
        {"\"\\\\\\?\\'\\\"\"", {"\\?'\""}},
        {"\"\\u00e9\" \"\\q\\8\\-\\\xE9\"", {"\\u00e9", "q8-\xE9"}},
        // An escaped 0 ends the word for its users; the scan goes on.
        {"\"a\\xzz\" b", {"a", "b"}},
        {"\"a\\0 q\" b", {"a", "b"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(split(c.line), c.words) << c.line;
    // At most 40 words: the rest of the line is left out.
    std::string line;
    for (int i = 0; i < 45; ++i)
        line += "w" + std::to_string(i) + " ";
    EXPECT_EQ(split(line).size(), size_t{kMaxWords});
    EXPECT_EQ(split(line).back(), "w39");
}

// The on/off word: on is -1, off 0, anything else toggles the flag.
TEST(Tokenizer, OnOffWord) {
    const std::tuple<const char*, int, int> rows[] = {
        {"prompt ON", 0, -1}, {"prompt Off", 1, 0}, {"prompt maybe", -1, 0}, {"prompt", 0, 1}};
    for (const auto& [line, flag, result] : rows) {
        Words words = split(line);
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        EXPECT_EQ(get_bool_parm(static_cast<int>(argv.size()), argv.data(), flag), result) << line;
    }
}

// The safe form of text in a buffer of size bytes (0: one that holds it
// whole). The text is a heap block of its exact size, so the sanitizer stops
// a read past its end.
std::string shown(const std::string& text, size_t size) {
    if (size == 0) size = terminal_text_size(text.size());
    const std::vector<char> exact(text.begin(), text.end());
    std::vector<char> out(size);  // written past its end, the checking allocator stops
    const size_t n = terminal_safe_text(exact.data(), exact.size(), out.data(), size);
    EXPECT_EQ(n, strlen(out.data()));
    return std::string(out.data(), n);
}

// Rows {text, shown, size}: "=" shows the text as it is.
TEST(TerminalText, EveryInjectionShowsAsTextColourPassesAndCutsAreWhole) {
    const std::string s32 = "\x1b[" + std::string(31, '0') + "9m", s33 = "\x1b[1" + s32.substr(2);
    const struct {
        std::string text, shown;
        size_t size = 0;
    } rows[] = {
        {"plain\ttext ~\x1b[1;39;41mERROR\x1b[0m\x1b[31m\x1b[00;m\x1b[m", "="},  // colour passes
        {"\x1b]0;title\x07ok\rFAKE", "^[]0;title^Gok^MFAKE"},  // window title, bare CR
        {"\x1b]52;c;cm0K\x1b\\\x1bP$qm\x1b\\\x1b[21t", "^[]52;c;cm0K^[\\^[P$qm^[\\^[[21t"},
        {"\x9b\x32J \xc2\x9b\x32J\x1b[8m", "\\x9b2J \\xc2\\x9b2J\x1b[8m\x1b[0m"},  // C1 CSI; reset
        {"\xff\xc0\xaf\xed\xa0\x80\xf5\x80\x80\x80",
         "\\xff\\xc0\\xaf\\xed\\xa0\\x80\\xf5\\x80\\x80\\x80"},
        {"\xf4\x90\x80\x80\xe2\x82(\xe2\x82\xc0", "\\xf4\\x90\\x80\\x80\\xe2\\x82(\\xe2\\x82\\xc0"},
        {"\xc2\xa0\xdf\xbf\xe0\xa0\x80\xe1\x80\x80", "="},  // UTF-8 at the edges of its ranges
        {"\xed\x9f\xbf\xef\xbf\xbd\xf0\x90\x80\x80\xf4\x8f\xbf\xbf", "="},
        {std::string("\0\x1f\x7f\n\x1b[3:1m\x1bX1m\x1b[31\x1b", 19), "^@^_^?^J^[[3:1m^[X1m^[[31^["},
        {s32 + s33, s32 + "^[" + s33.substr(1) + "\x1b[0m"},
        {"abc", "ab", 3},
        {"a\x1bZ", "a", 3},
        {"a\xc3\xa9", "a", 3},
        {"\x1b[31mred", "", 9},
        {"\x1b[31mred", "\x1b[31mr\x1b[0m", 11},
    };
    for (const auto& r : rows)
        EXPECT_EQ(shown(r.text, r.size), r.shown == "=" ? r.text : r.shown) << r.shown << r.size;
    // The longest line at the worst expansion fits whole.
    EXPECT_EQ(shown(std::string(16384, '\xff'), 0).size(), kTerminalTextExpansion * 16384);
    EXPECT_EQ(terminal_safe_text("abc", 3, nullptr, 0), 0u);
}

std::atomic<bool> winched;  // the window-size handler ran

// The wait for an answer outlasts a signal that a handler takes (a window
// resize) and a line that is no answer: the result is the application's
// answer. A request holding a line break is refused, a fixed-format one
// too, and one the connection does not take is told.
TEST(Channel, AnswerWaitOutlastsASignalAndBadRequestsAreTold) {
    Listener listener;
    Channel channel, unconnected;
    ASSERT_TRUE(channel.init_semaphores());
    ASSERT_TRUE(channel.connect("127.0.0.1", listener.port));
    UniqueFd application(accept(listener.fd.get(), nullptr, nullptr));
    signal(SIGWINCH, [](int) { winched = true; });
    std::atomic<bool> returned = false;
    std::thread answer([&] {
        std::string request;
        wait_until([&] { return read_available(application.get(), &request), !request.empty(); });
        const pid_t waiter = getpid();  // the main thread
        wait_until([&] { return waits_for_input(waiter); });
        tgkill(waiter, waiter, SIGWINCH);
        wait_until([&] { return winched && (waits_for_input(waiter) || returned); });
        (void)!write(application.get(), "N: no answer\nR: 7\n", 19);
    });
    const RequestResult result = channel.send_command(kFmtNormal, "status");
    returned = true;
    answer.join();
    signal(SIGWINCH, SIG_DFL);
    EXPECT_TRUE(winched);
    using enum RequestStatus;
    EXPECT_EQ(std::make_pair(result.status, result.value), std::make_pair(kAnswered, 7));
    ::testing::internal::CaptureStdout();
    const std::vector<RequestStatus> statuses = {channel.send_command(kFmtNormal, "a\nb").status,
                                                 unconnected.send_api_cmd("x").status,
                                                 unconnected.send_api_cmd("a\rb").status};
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "error: request holds a line break, not sent\r\nXCOM send error\r\n"
              "error: request holds a line break, not sent\r\n");
    EXPECT_EQ(statuses, (std::vector{kRefused, kNotSent, kRefused}));
}

TEST(Console, ALogReaderErrorWaitsForTheTypedLine) {
    // The log reader's listener cannot be bound: a directory stands at its path
    // (made with its parent, which a new machine does not have yet).
    const std::string tag = "console-test-" + std::to_string(getpid());
    const std::string listener = "/tmp/sysloglisteners/zcon" + tag;
    std::filesystem::create_directories(listener);
    SessionSettings settings;
    snprintf(settings.tty_name, sizeof settings.tty_name, "/dev/%s", tag.c_str());
    session_settings_set(settings);
    // A process that the log reader takes for the system logger, once named.
    const pid_t syslogd = fork();
    if (syslogd == 0) prctl(PR_SET_NAME, "syslogd"), pause(), _exit(0);
    const std::string stat = "/proc/" + std::to_string(syslogd) + "/stat";
    wait_until([&] { return read_file(stat).find("(syslogd)") != std::string::npos; });

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
    shown_after("ab");
    const int fds = open_fds(getpid());
    std::thread(logReaderThread, nullptr).join();
    EXPECT_EQ(open_fds(getpid()), fds);  // the socket it could not bind is closed
    (void)!write(master, "\r", 1);
    editor.join();
    console_show_mark();  // as after an empty line: what was held goes first
    const std::string error = "ab\r\nsetupSocket: bind() error: ";
    const std::string after = shown_after(error);
    console_editor_cleanup();
    dup2(in.get(), STDIN_FILENO);
    dup2(out.get(), STDOUT_FILENO);
    rmdir(listener.c_str());
    // A listener another session has put in the place of the one bound here
    // is not this session's to remove.
    UniqueFd bound(setupSocket("sysloglisteners/", nullptr));
    unlink(listener.c_str());
    UniqueFd(open(listener.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    remove_listener_sockets();
    EXPECT_TRUE(std::filesystem::exists(listener));
    unlink(listener.c_str());
    // Once the session's sockets are removed, a log reader late to start
    // binds none.
    remove_listener_sockets();
    const int open_before = open_fds(getpid());
    EXPECT_EQ(setupSocket("sysloglisteners/", nullptr), -1);
    EXPECT_EQ(open_fds(getpid()), open_before);
    EXPECT_FALSE(std::filesystem::exists(listener));
    kill(syslogd, SIGKILL);
    waitpid(syslogd, nullptr, 0);

    ASSERT_TRUE(started);
    EXPECT_EQ(after.substr(0, error.size()), error) << term_tokens(after);
}

}  // namespace
