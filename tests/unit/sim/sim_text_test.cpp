// Escapes and line framing shared by the simulator programs.
#include <gtest/gtest.h>

#include "sim_text.h"

TEST(SimEscape, UnescapeDecodesEveryEscapeAndRefusesBadOnes) {
    std::string out;
    ASSERT_EQ(sim_unescape("a\\nb\\r\\t\\0\\\\\\x41\\x7\\xfFz", &out), 0);
    EXPECT_EQ(out, std::string("a\nb\r\t\0\\A\x07\xff"
                               "z",
                               11));
    for (const char* bad : {"\\", "\\q", "\\xg", "end\\x"}) {
        EXPECT_EQ(sim_unescape(bad, &out), -1) << bad;
    }
}

TEST(SimEscape, EscapeRoundTripsEveryByte) {
    std::string all;
    for (int c = 0; c < 256; ++c)
        all.push_back(static_cast<char>(c));
    std::string escaped = sim_escape(all);
    EXPECT_EQ(escaped.find('\n'), std::string::npos);
    std::string back;
    ASSERT_EQ(sim_unescape(escaped, &back), 0);
    EXPECT_EQ(back, all);
    EXPECT_EQ(sim_escape("plain text"), "plain text");
}

TEST(SimLineBuf, CutsLinesAcrossChunksAndStripsOneCr) {
    SimLineBuf buf;
    std::string line;
    sim_linebuf_append(&buf, "one\r\r\ntw", 8);
    ASSERT_EQ(sim_linebuf_take(&buf, &line), 1);
    EXPECT_EQ(line, "one\r");
    EXPECT_EQ(sim_linebuf_take(&buf, &line), 0);
    sim_linebuf_append(&buf, "o\n\n", 3);
    ASSERT_EQ(sim_linebuf_take(&buf, &line), 1);
    EXPECT_EQ(line, "two");
    ASSERT_EQ(sim_linebuf_take(&buf, &line), 1);
    EXPECT_EQ(line, "");
    EXPECT_EQ(sim_linebuf_pending(&buf), 0u);
}

TEST(SimLineBuf, RefusesLinesOverTheLimitCountingTheLf) {
    SimLineBuf buf;
    buf.max_line = 8;
    std::string line;
    sim_linebuf_append(&buf, "1234567\n12345678\n", 17);
    ASSERT_EQ(sim_linebuf_take(&buf, &line), 1);
    EXPECT_EQ(line, "1234567");
    EXPECT_EQ(sim_linebuf_take(&buf, &line), -1);

    SimLineBuf unterminated;
    unterminated.max_line = 8;
    sim_linebuf_append(&unterminated, "1234567", 7);
    EXPECT_EQ(sim_linebuf_take(&unterminated, &line), 0);  // the LF may still come
    sim_linebuf_append(&unterminated, "8", 1);
    EXPECT_EQ(sim_linebuf_take(&unterminated, &line), -1);
}
