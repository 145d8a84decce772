// The pure parts of the session driver: the flood guard's arithmetic, line
// trimming and the bang rewrite, and the parsers behind the login.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "login.h"
#include "login_report.h"
#include "main_loop.h"
#include "session.h"
#include "test_util.h"

namespace {

// The flood guard: each row feeds lines at one gap (ms) to a fresh guard
// (a row without count continues the previous one) and expects the line
// that ends the session (0: none) and the strikes and fast count after.
TEST(FloodGuard, Table) {
    const struct {
        int lines;
        long long gap;
        int ends_at, strikes, fast;
        bool fresh = false;
    } rows[] = {
        {120, 999, 100, 10, 10, true},  // a hundred fast lines end it at the hundredth
        {10, 10, 0, 1, 0, true},        // the tenth fast line: a strike
        {1, 1500, 0, 0, 0},             // a moderate pause forgives one
        {9, 10, 0, 0, 9},
        {1, 2500, 0, 0, 9},  // a pause of up to 2500 ms keeps the count
        {1, 10, 0, 1, 0},    // so the next fast line strikes
        {1, 2501, 0, 0, 0},  // a longer pause clears everything
        {90, 1, 0, 9, 0, true},
        {9, 1, 0, 9, 9},
        {1, 2000, 0, 8, 9},  // forgiven: nine strikes never end it
    };
    FloodGuard guard;
    long long now = 0;
    for (const auto& r : rows) {
        if (r.fresh) guard = FloodGuard{}, now = 0;
        int ended = 0;
        for (int i = 1; i <= r.lines && ended == 0; ++i)
            if (flood_guard_check(&guard, now += r.gap)) ended = i;
        EXPECT_EQ(ended, r.ends_at) << r.lines << "x" << r.gap;
        EXPECT_EQ(guard.DoSattempts, r.strikes) << r.lines << "x" << r.gap;
        EXPECT_EQ(guard.DoSCount, r.fast) << r.lines << "x" << r.gap;
    }
    // A clock set back counts as fast.
    guard = FloodGuard{};
    guard.lastTime = now = 100000;
    int lines = 0;
    while (lines < 200 && !flood_guard_check(&guard, now -= 5000))
        ++lines;
    EXPECT_EQ(lines, 99);
}

TEST(PasswordLine, OnlyTheToolsPrefixCarriesAPassword) {
    char pw[64] = "unchanged";
    EXPECT_EQ(parse_password_line("config sw 0 s3cret\n", pw, 64), 0);
    EXPECT_STREQ(pw, "s3cret");
    EXPECT_EQ(parse_password_line("config sw 0 \n", pw, 64), 0);
    EXPECT_STREQ(pw, "");
    strcpy(pw, "unchanged");
    EXPECT_EQ(parse_password_line("config sw 1 x\n", pw, 64), 0);
    EXPECT_STREQ(pw, "unchanged");
    // Only one line end goes: a CR before the LF stays in the password.
    EXPECT_EQ(parse_password_line("config sw 0 pw\r\n", pw, 64), 0);
    EXPECT_STREQ(pw, "pw\r");
    EXPECT_EQ(parse_password_line("config sw 0 12345678", pw, 8), 1);
    std::string long_line = "config sw 0 " + std::string(100, 'p');
    EXPECT_EQ(parse_password_line(long_line.c_str(), pw, 64), 0);
    EXPECT_EQ(strlen(pw), 63u);
}

// A table as the kernel of this machine prints it: each 32-bit word of an
// address in the machine's own byte order.
std::string word(const unsigned char* bytes) {
    unsigned int value;
    memcpy(&value, bytes, 4);
    char text[9];
    snprintf(text, sizeof text, "%08X", value);
    return text;
}

std::string entry(int n, const unsigned char (&remote)[16], unsigned port, unsigned state) {
    static const unsigned char local[16] = {};
    char head[64];
    snprintf(head, sizeof head, "%4d: ", n);
    std::string text = head;
    for (int i = 0; i < 16; i += 4)
        text += word(local + i);
    char rest[160];
    snprintf(rest, sizeof rest, ":%04X ", port);
    text += rest;
    for (int i = 0; i < 16; i += 4)
        text += word(remote + i);
    snprintf(rest, sizeof rest,
             ":D431 %02X 00000000:00000000 02:000A3A1E 00000000     0        0 51202 2 "
             "0000000000000000 20 4 28 10 -1\n",
             state);
    return text + rest;
}

std::string client_of(const std::string& table, unsigned port) {
    FILE* f = fmemopen(const_cast<char*>(table.data()), table.size(), "r");
    char ip[56] = "junk";
    parse_tcp6_client(f, port, ip);
    fclose(f);
    return ip;
}

TEST(Tcp6Table, FindsTheEstablishedClientOfThePort) {
    const std::string header =
        "  sl  local_address                         remote_address                        st "
        "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
    const unsigned char mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 168, 7, 20};
    const unsigned char native[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0,
                                      0,    0,    0,    0,    0, 0, 0, 0x42};
    const unsigned char any4[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 0, 0};
    std::string table = header + entry(0, native, 23, 0x0A) + entry(1, mapped, 24, 0x06) +
                        entry(2, mapped, 23, 0x01) + entry(3, native, 24, 0x01) +
                        entry(4, any4, 25, 0x01);
    EXPECT_EQ(client_of(table, 23), "192.168.7.20");
    EXPECT_EQ(client_of(table, 24), "2001:db8::42");
    EXPECT_EQ(client_of(table, 25), "::ffff:0.0.0.0");
    EXPECT_EQ(client_of(table, 22), "");
    EXPECT_EQ(client_of(header + "garbage line\n" + entry(0, mapped, 23, 1), 23), "192.168.7.20");
    EXPECT_EQ(client_of("", 23), "");
}

}  // namespace
