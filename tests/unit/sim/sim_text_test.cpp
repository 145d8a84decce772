// The C escapes of control lines and traces: every byte written escaped
// reads back as itself, and a broken escape is refused.
#include <gtest/gtest.h>

#include "sim_text.h"

TEST(SimText, EscapesReadBack) {
    std::string every_byte, back;
    for (int c = 0; c < 256; ++c)
        every_byte += static_cast<char>(c);
    EXPECT_EQ(sim_unescape(sim_escape(every_byte), &back), 0);
    EXPECT_EQ(back, every_byte);
    EXPECT_EQ(sim_unescape("\\0\\x4\\x41B\\xfF", &back), 0);
    EXPECT_EQ(back, std::string("\0\4AB\377", 5));
    for (const char* broken : {"a\\", "\\q", "\\xg"})
        EXPECT_EQ(sim_unescape(broken, &back), -1) << broken;
}
