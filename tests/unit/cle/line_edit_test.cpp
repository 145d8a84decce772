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
#include "test_util.h"

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
        std::string t = zt::term_tokens(sent);
        sent.clear();
        return t;
    }

    int width;
    std::array<char, 512> buf{};
    EditLine ed{};
};

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
