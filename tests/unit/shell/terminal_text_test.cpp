// Text from outside on the terminal: every way to drive the terminal shows
// as harmless text, colour passes, and a full buffer cuts only between
// characters.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "terminal_text.h"

namespace {

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
        {"\x1b[2J\x1b[H\x1b[?1049h", "^[[2J^[[H^[[?1049h"},    // clear screen, alternate screen
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

}  // namespace
