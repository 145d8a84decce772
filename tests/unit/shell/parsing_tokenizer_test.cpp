// The command-line splitter and its two helpers.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "command_parsing.h"

namespace {

using Words = std::vector<std::string>;

// Splits a copy of line; returns the words, or {"<failed>"} when the split
// fails. Also checks that words point into the line (bar the one empty word
// of a line without words) and that unused entries are NULL.
Words split(const std::string& line, int* count = nullptr) {
    std::vector<char> buf(line.begin(), line.end());
    buf.push_back('\0');
    char* argv[kMaxWords];
    int argc = -1;
    if (tokenizeString(buf.data(), &argc, argv) != 0) return {"<failed>"};
    if (count) *count = argc;
    Words words;
    for (int i = 0; i < argc; ++i) {
        const bool inside = argv[i] >= buf.data() && argv[i] < buf.data() + buf.size();
        EXPECT_TRUE(inside || (argc == 1 && argv[i][0] == '\0')) << line;
        words.emplace_back(argv[i]);
    }
    for (int i = argc; i < kMaxWords; ++i)
        EXPECT_EQ(argv[i], nullptr) << line;
    return words;
}

TEST(Tokenizer, SplitsLines) {
    const struct {
        const char* line;
        Words words;
    } cases[] = {
        {"show add \"a b\"   c", {"show", "add", "a b", "c"}},
        {"\"ab\"cd", {"ab", "cd"}},  // a closing quote ends the word
        {"ab\"cd", {"ab\"cd"}},      // quotes inside a plain word are plain
        {"\"\"", {""}},
        {"say \"\"", {"say", ""}},
        {"echo \"open  wide", {"echo", "open  wide"}},  // unclosed quote
        {"", {""}},
        {" \t ", {""}},
        {"a #b", {"a", "#b"}},
        {"\"#x\"", {"#x"}},
        // A tab ends a word only when no space follows anywhere in the line.
        {"a\tb c", {"a\tb", "c"}},
        {"a\tb\tc", {"a", "b", "c"}},
        // The line ends at its first CR or LF, also inside quotes.
        {"ab\rcd ef", {"ab"}},
        {"ab cd\nef", {"ab", "cd"}},
        {"\"a\rb\" c", {"a"}},
        // Backslash escapes only inside quotes.
        {"a\\tb \\", {"a\\tb", "\\"}},
        {"\"\\101\" \"\\1011\" \"\\777\" \"\\1018\"", {"A", "\x09", "\xFF", "A8"}},
        {"\"\\x41\" \"\\x4142\" \"\\xaB\" \"\\x41g\"", {"A", "B", "\xAB", "Ag"}},
        {"\"\\x123456789abcdefABCDEF41\"", {"A"}},
        {"\"\\a\\b\\f\\n\\r\\t\\v\"", {"\x07\x08\x0C\x0A\x0D\x09\x0B"}},
        {"\"\\\\\\?\\'\\\"\"", {"\\?'\""}},
        {"\"\\u00e9\" \"\\q\\8\\-\\\xE9\"", {"\\u00e9", "q8-\xE9"}},
        // An escaped 0 ends the word for its users; the scan goes on.
        {"\"a\\xzz\" b", {"a", "b"}},
        {"\"a\\0 q\" b", {"a", "b"}},
        // A lone backslash at the end of a quoted word is malformed.
        {"x \"ab\\", {"<failed>"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(split(c.line), c.words) << c.line;
}

TEST(Tokenizer, CommentsAndTheWordLimit) {
    int count = -1;
    EXPECT_EQ(split(" \t# anything", &count), Words{});
    EXPECT_EQ(count, 0);

    std::string line;
    for (int i = 0; i < 45; ++i)
        line += "w" + std::to_string(i) + " ";
    const Words words = split(line, &count);
    EXPECT_EQ(count, kMaxWords);
    EXPECT_EQ(words.back(), "w39");
}

}  // namespace
