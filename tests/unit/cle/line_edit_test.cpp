// The key actions without a terminal: the exact bytes of each action, and
// for random editing the screen they draw, checked with a terminal model.
#include "line_edit.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>

#include "cle_internal.h"
#include "edit_check.h"
#include "seams.h"
#include "term_tokens.h"

namespace {

std::string sent;  // everything the output primitives flushed

int capture(const char* bytes, size_t n) {
    sent.append(bytes, n);
    return 0;
}

// One line being edited on a screen of known width.
struct Editor {
    Editor(int width, const char* prompt, int max_len = 512) : width(width) {
        cle_set_output_sink(capture);
        sent.clear();
        edit_begin(ed, "", prompt, buf.data(), max_len);
    }
    ~Editor() { cle_set_output_sink(nullptr); }

    // Inserts each character of text.
    void type(std::string_view text) {
        for (char c : text)
            edit_insert(ed, width, c);
    }
    // Returns (as tokens) what was written since the last call.
    std::string out() {
        direct_fflush();
        std::string t = term_tokens(sent);
        sent.clear();
        return t;
    }
    std::string cursor() const {
        return std::to_string(ed.line_x) + "," + std::to_string(ed.line_y);
    }

    int width;
    std::array<char, 512> buf{};
    EditLine ed{};
};

TEST(LineEdit, RedrawsTheTailOfAWrappedLine) {
    // 10 columns, prompt "> ": 16 characters end on row 1, column 8.
    Editor e(10, "> ");
    e.type("abcdefghijklmnop");
    for (int i = 0; i < 12; ++i)
        edit_left(e.ed, e.width);
    e.out();
    ASSERT_EQ(e.cursor(), "6,0");
    // Insertion in the middle redraws to the end and climbs back a row.
    edit_insert(e.ed, e.width, 'X');
    EXPECT_EQ(e.out(), "Xefghijklmnop<cr><up1><right7>");
    // Now the text fills row 1 exactly: the redraw forces the pending wrap.
    edit_insert(e.ed, e.width, 'Y');
    EXPECT_EQ(e.out(), "Yefghijklmnop <bs><up2><right8>");
    EXPECT_EQ(e.cursor(), "8,0");
    edit_backspace(e.ed, e.width);
    EXPECT_EQ(e.out(), "<bs><ceos>efghijklmnop<cr><up1><right7>");
    edit_delete(e.ed, e.width);
    EXPECT_EQ(e.out(), "<ceos>fghijklmnop<cr><up1><right7>");
    EXPECT_STREQ(e.buf.data(), "abcdXfghijklmnop");
    for (int i = 0; i < 3; ++i)
        edit_right(e.ed, e.width);
    EXPECT_EQ(e.out(), "<right1><right1><cr><lf>");
    EXPECT_EQ(e.cursor(), "0,1");
    edit_left(e.ed, e.width);
    EXPECT_EQ(e.out(), "<cr><up1><right9>");
    edit_home(e.ed, e.width);
    EXPECT_EQ(e.out(), "<cr><right2>");
    edit_end(e.ed, e.width);
    EXPECT_EQ(e.out(), "<cr>> abcdXfghijklmnop");
    EXPECT_EQ(e.cursor(), "8,1");
    edit_clear(e.ed, e.width);
    EXPECT_EQ(e.out(), "<cr><up1><right2><ceos>");
    EXPECT_EQ(e.ed.cmdlen, 0);
}

TEST(LineEdit, RefusesAndEdgeCases) {
    Editor e(80, "", 4);
    edit_backspace(e.ed, e.width);
    edit_delete(e.ed, e.width);
    edit_left(e.ed, e.width);
    edit_right(e.ed, e.width);
    edit_clear(e.ed, e.width);
    EXPECT_EQ(e.out(), "<bel><bel><ceos>");
    e.type("abcd");  // room for three
    EXPECT_EQ(e.out(), "abc<bel>");
    EXPECT_STREQ(e.buf.data(), "abc");
    edit_left(e.ed, e.width);
    edit_home(e.ed, e.width);  // empty prompt: no cursor move after the CR
    EXPECT_EQ(e.out(), "<bs><cr>");
}

TEST(LineEdit, SettlesTextTypedBeforeTheWidthWasKnown) {
    Editor e(0, "> ");
    e.type(std::string(100, 'a'));
    EXPECT_EQ(e.out(), std::string(100, 'a'));
    EXPECT_EQ(e.cursor(), "102,0");
    settle_rows(e.ed, 80);
    EXPECT_EQ(e.cursor(), "22,1");
}

TEST(LineEdit, PrimitivesWriteNothingWithEchoOff) {
    Editor e(10, "> ");
    cle_echo_enable(0);
    EXPECT_EQ(echo_putchar('a'), 0);
    EXPECT_EQ(echo_fputs("abc"), 0);
    EXPECT_EQ(echo_write("abc", 3), 0);
    EXPECT_EQ(echo_cursor(3, 'C'), 0);
    EXPECT_EQ(echo_fflush(), 0);
    direct_fputs("%d> ");  // the prompt's path ignores the switch
    EXPECT_EQ(e.out(), "%d> ");
    cle_echo_enable(1);
}

// Random editing on random widths, after text already on the row and
// prompts up to twice the width, with resizes, output from another thread
// and escape sequences between keys: after every step the screen shows the
// text before the input and the line, and the terminal's cursor is where
// the bookkeeping (and the layout of the cursor's character) says.
TEST(LineEdit, RandomEditingKeepsScreenAndCursorTrue) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 400; ++round) {
        const int width = round < 100 ? 1 + round % 12 : 1 + static_cast<int>(rng() % 300);
        const auto text = [&](int most) { return std::string(rng() % (most + 1), 'p'); };
        EditCheck e(width, text(width), text(2 * width) + ">", 2 + static_cast<int>(rng() % 300));
        for (int step = 0; step < 150; ++step) {
            const unsigned r = static_cast<unsigned>(rng());
            std::string failure;
            if (r % 40 == 0)
                failure = e.resize(1 + static_cast<int>(rng() % (rng() % 2 ? 300 : 12)));
            else if (r % 40 == 1)
                failure = e.learn_width();
            else if (r % 40 == 2)
                failure = e.interrupt(text(2 * e.width()) + "o");
            else if (r % 40 == 3)
                e.pause();
            else
                failure = e.type(EditCheck::sample_key(r / 40));
            ASSERT_EQ(failure, "") << "round " << round;
        }
    }
}

}  // namespace
