// Output from the appliance: the application's lines and the live system
// log reach the terminal whole, in order, exactly once, and never inside a
// line the user is typing; a session's output is its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <syslog.h>

#include <filesystem>

#include "sim_env.h"

namespace {

using namespace zt;

// The numbered lines "flood" has appd send to session id, as the terminal
// shows them.
std::string flood_lines(const std::string& id, int count, int width) {
    std::string lines;
    for (int n = 1; n <= count; ++n) {
        std::string line = "flood " + id + " " + std::to_string(n);
        line.append(std::max<size_t>(line.size(), width) - line.size(), '.');
        lines += line + "\n";
    }
    return lines;
}

// Writes one entry to the system log, as any program on the appliance does.
void log_entry(const std::string& text) {
    openlog("probe", 0, LOG_USER);
    syslog(LOG_NOTICE, "%s", text.c_str());
    closelog();
}

// The output as the screen ends up showing it: where the shell took the
// line being typed off the screen (CR, ESC [ J) to let held output out, what
// stood on that row is gone.
std::string without_hidden_rows(const std::string& out) {
    static const std::string hide = "\r\x1b[J";
    std::string shown;
    for (size_t at = 0;;) {
        const size_t next = out.find(hide, at);
        shown.append(out, at, next == std::string::npos ? next : next - at);
        if (next == std::string::npos) return shown;
        const size_t row = shown.rfind('\n');
        shown.erase(row == std::string::npos ? 0 : row + 1);
        at = next + hide.size();
    }
}

struct Output : ::testing::Test {
    void SetUp() override { sim.start_appliance(); }
    // Has appd send count numbered lines of width characters, per_datagram
    // in each, to the one session; returns them as the terminal shows them.
    std::string flood(int count, int width, int per_datagram) {
        const Lines sessions = sim.control("sessions");
        const std::string id = sessions.empty() ? "" : sessions[0].substr(0, sessions[0].find(' '));
        sim.control("flood " + id + " " + std::to_string(count) + " " + std::to_string(width) +
                    " " + std::to_string(per_datagram));
        return flood_lines(id, count, width);
    }
    // Types s one key at a time, each once its echo is back.
    static void type_keys(PtyProcess& z, const std::string& s, std::string* seen) {
        for (const char c : s) {
            if (HasFailure()) return;  // a later key would only wait out its deadline
            z.write(std::string(1, c));
            const std::string echo = c == '\r' ? "\r\n" : std::string(1, c);
            ASSERT_TRUE(z.expect(echo)) << term_tokens(z.output().substr(0, 200));
            *seen += z.take(echo);
        }
    }
    // Logs probe entries until one reaches the session's live log.
    static bool log_reaches(PtyProcess& z, const std::string& tag) {
        int n = 0;
        return wait_until(
            [&] {
                const std::string probe = tag + std::to_string(++n);
                log_entry(probe);
                return z.expect(probe + "\n", 20ms);
            },
            10000ms);
    }
    SimEnv sim;
};

// A hundred thousand lines: most of them come out over a half-typed line
// (more is never held than a bound), which is drawn again below them and
// sent whole; more lines are typed while the rest arrive. Every line shows
// once, in order, and no typed line is broken up.
TEST_F(Output, HundredThousandLinesArriveOnceInOrderAroundTypedLines) {
    auto z = sim.telnet();
    std::string seen;
    type_keys(*z, "ab", &seen);
    std::string expected;
    const struct {
        int count, width, per_datagram;
    } bursts[] = {{40000, 30, 20}, {30000, 90, 1}, {20000, 300, 5}, {10000, 500, 1}};
    for (const auto& b : bursts)
        expected += flood(b.count, b.width, b.per_datagram);
    ASSERT_TRUE(z->read_until([](const std::string& out) { return out.size() > 1000000; }, 60s))
        << "only " << z->output().size() << " bytes";
    type_keys(*z, "c\r", &seen);
    Lines typed = {"abc"};
    // Comment lines: typed and echoed, but they print nothing themselves.
    static const std::string letters = "abceghijkmnpqrstuvwxyz";  // none in a flood line
    for (int n = 0; n < 60; ++n) {
        typed.push_back(std::string("#") + letters[n % 22] + letters[n / 22 % 22] + "x");
        type_keys(*z, typed.back() + "\r", &seen);
        seen += z->take();
    }
    const std::string last = expected.substr(expected.rfind('\n', expected.size() - 2) + 1);
    ASSERT_TRUE(wait_until(
        [&] {
            z->pump();
            seen += z->take();
            return seen.size() > last.size() &&
                   seen.find(last, seen.size() - std::min(seen.size(), size_t{70000})) !=
                       std::string::npos;
        },
        180s))
        << "only " << seen.size() << " bytes";
    seen = without_hidden_rows(seen);
    for (const std::string& own : typed) {
        const size_t at = seen.find(own + "\r\n");
        ASSERT_NE(at, std::string::npos) << own << " was broken up";
        seen.erase(at, own.size() + 2);
    }
    ASSERT_NE(seen.find(kNotFound), std::string::npos);
    seen.erase(seen.find(kNotFound), kNotFound.size());
    EXPECT_TRUE(seen == expected) << "got " << seen.size() << " bytes, expected "
                                  << expected.size();
    EXPECT_EQ(sim.requests().back(), "C: abc");
}

struct LiveLog : Output {
    void SetUp() override {
        // A logger of another user, started first, is not the one told of
        // the session's listener: anyone may name a program syslogd.
        impostor = std::make_unique<Daemon>(
            plus(kAsNobody, {bin_path("syslogd"), "--socket", "/tmp/impostor.log"}));
        const std::string comm = "/proc/" + std::to_string(impostor->pid()) + "/comm";
        ASSERT_TRUE(wait_until([&] { return read_file(comm) == "syslogd\n"; }));
        Output::SetUp();
        // Listener files left by ended sessions, one under the name that the
        // next session takes: they do not keep it from binding.
        for (int n = 0; n < 4; ++n)
            UniqueFd(open(("/tmp/sysloglisteners/zcon" + std::to_string(n)).c_str(),
                          O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        z = sim.telnet();
        EXPECT_TRUE(log_reaches(*z, "ready")) << term_tokens(z->output());
        z->take();
    }
    std::unique_ptr<Daemon> impostor;
    std::unique_ptr<PtyProcess> z;
};

// API sessions copy what they read and print to the system log, which a
// telnet session shows live.
TEST_F(LiveLog, ApiSessionEntriesShowInTheTelnetSession) {
    auto api = sim.registered_zcon({"-t", "api", "--nobanner"});
    const std::string tag = "API:telnet" + api->tty_tag() + ":1:";
    api->write("version\r");
    EXPECT_TRUE(z->expect(" notice zcon: " + tag + "IN:version\n")) << term_tokens(z->output());
    EXPECT_TRUE(sim.wait_message("zcon: " + tag + "OUT:appd 0.1.0"));
}

// Anyone may send to the listener sockets (they are open to every user):
// whatever comes, it is shown harmless or cut, the next good line still
// shows exactly once, and the reader goes on.
TEST_F(LiveLog, HostileDatagramsShowHarmlessAndStopNothing) {
    const std::string cut(16384, 'x'), x64k(65536, 'x');
    const struct {
        const std::string& socket;
        std::string sent, shown;
    } rows[] = {
        {kEvents, "", ""},
        {kEvents, std::string(33000, 'x') + "\n", cut + "\n"},
        {kEvents, x64k + "\nnever seen\n", cut + "\n"},  // the cut ends its line
        {kEvents, "x\n\n", "x\n"},                       // held for a next line that is empty
        {kEvents, "partial", "partial"},                 // the sender's next datagram ends the line
        {kEvents, "x\x1b[2J\x1b[?1049h\x1b[Hy\n", "x^[[2J^[[?1049h^[[Hy\n"},
        {kLog, "", ""},
        {kLog, x64k, std::string(1024, 'x') + "\n"},
        {kLog, "x\x1b[2J\x1b]2;x\x07y! \t", "x^[[2J^[]2;x^Gy!\n"},
    };
    // The warnings go to the system log, which this session shows too.
    z->write("cull add WARNING:\r");
    ASSERT_TRUE(z->expect("cull add WARNING:\r\n"));
    z->take();
    int n = 0;
    for (const auto& r : rows) {
        const std::string path = r.socket + z->tty_tag(), after = "after " + std::to_string(++n);
        SCOPED_TRACE(path + " " + term_tokens(r.sent.substr(0, 40)));
        EXPECT_EQ(std::filesystem::status(path).permissions(), std::filesystem::perms{0666});
        ASSERT_TRUE(send_datagram(path, r.sent));
        ASSERT_TRUE(send_datagram(path, r.socket == kEvents ? after + "\n" : after));
        ASSERT_TRUE(z->expect(after + "\n")) << term_tokens(z->output());
        EXPECT_EQ(z->take(after + "\n"), r.shown + after + "\n");
    }
    EXPECT_TRUE(sim.wait_message("WARNING: event socket: line over 16384 bytes cut (1 since"));
    EXPECT_TRUE(sim.wait_message("WARNING: log socket: record over 1024 bytes cut (1 since"));
}

}  // namespace
