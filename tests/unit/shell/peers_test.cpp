// How a session's lines come together: each sender's datagrams are one
// stream of lines, kept apart from the others'.
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "event_stream.h"
#include "libxcom.h"
#include "test_util.h"

namespace {

using namespace zt;

// The lines shown, "+" after one that another whole line followed.
struct Shown final : EventLineSink {
    void on_line(const char* line, int length, bool more) override {
        lines.push_back(std::string(line, static_cast<size_t>(length)) + (more ? "+" : ""));
    }
    Lines lines;
};

// Each row feeds datagrams (sender, bytes, whether cut) to a fresh stream,
// then ends it: "|" stands for the end in the lines shown.
TEST(EventStream, EachSendersLinesAreItsOwn) {
    struct Datagram {
        pid_t pid;
        std::string bytes;
        bool truncated = false;
    };
    const std::string x(XCOM_MAX_LINE, 'x');
    Lines nine, ninth = {"p1", "|"};
    for (int n = 1; n <= 9; ++n)
        nine.push_back("p" + std::to_string(n));
    ninth.insert(ninth.end(), nine.begin() + 1, nine.end());
    const struct {
        std::vector<Datagram> datagrams;
        Lines shown;
        int kinds = 0;
    } rows[] = {
        {{{1, "a\nb\r\n\nc"}, {1, "d\n"}}, {"a+", "b+", "", "cd", "|"}},
        {{{1, "alpha-"}, {2, "beta\n"}, {1, "omega\n"}}, {"beta", "alpha-omega", "|"}},
        {{{1, "\t sp"}, {1, "lit \r\n"}}, {" split ", "|"}},  // trimmed whole, not in pieces
        {{{1, x}, {1, "yz\nok\n"}}, {x + "+", "ok", "|"}, SOCKET_BAD_LONG_LINE},
        {{{1, "x"}, {1, x + "y\n"}}, {x, "|"}, SOCKET_BAD_LONG_LINE},
        {{{1, "cut "}, {1, "short", true}, {1, "next\n"}}, {"cut short", "next", "|"}},
        {{{1, "left"}, {2, "over"}}, {"|", "left", "over"}},
        {{{1, "p1"},
          {2, "p2"},
          {3, "p3"},
          {4, "p4"},
          {5, "p5"},
          {6, "p6"},
          {7, "p7"},
          {8, "p8"},
          {9, "p9"}},
         ninth,
         kEventTooManySenders},
    };
    std::vector<char> line(XCOM_MAX_LINE + 1);
    for (const auto& r : rows) {
        EventStream stream(line.data());
        Shown shown;
        int kinds = 0;
        for (const Datagram& d : r.datagrams)
            kinds |= stream.feed(d.pid, d.bytes.data(), static_cast<int>(d.bytes.size()),
                                 d.truncated, shown);
        shown.lines.push_back("|");
        stream.drain(shown);
        EXPECT_EQ(shown.lines, r.shown) << r.datagrams[0].bytes.substr(0, 20);
        EXPECT_EQ(kinds, r.kinds) << r.datagrams[0].bytes.substr(0, 20);
    }
}

}  // namespace
