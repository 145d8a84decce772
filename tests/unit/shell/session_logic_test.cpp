// The pure parts of the session driver: the flood guard's arithmetic, line
// trimming and the bang rewrite, and the parsers behind the login.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>

#include "login.h"
#include "login_report.h"
#include "main_loop.h"
#include "session.h"
#include "test_util.h"

namespace {

// Feeds lines at the given gaps (ms); returns the 1-based line that ended the
// session, or 0.
int flood(FloodGuard* guard, long long* now, int lines, long long gap) {
    for (int i = 1; i <= lines; ++i) {
        *now += gap;
        if (flood_guard_check(guard, *now)) return i;
    }
    return 0;
}

TEST(FloodGuard, HundredFastLinesEndTheSessionAtTheHundredth) {
    FloodGuard guard;
    long long now = 0;
    EXPECT_EQ(flood(&guard, &now, 120, 999), 100);
}

TEST(FloodGuard, PausesForgiveAndClear) {
    FloodGuard guard;
    long long now = 0;
    EXPECT_EQ(flood(&guard, &now, 10, 10), 0);  // the tenth fast line: a strike
    EXPECT_EQ(guard.DoSattempts, 1);
    EXPECT_EQ(guard.DoSCount, 0);
    EXPECT_EQ(flood(&guard, &now, 1, 1500), 0);  // a moderate pause forgives one
    EXPECT_EQ(guard.DoSattempts, 0);
    EXPECT_EQ(flood(&guard, &now, 9, 10), 0);
    EXPECT_EQ(flood(&guard, &now, 1, 2500), 0);  // a moderate pause keeps the count
    EXPECT_EQ(guard.DoSCount, 9);
    EXPECT_EQ(flood(&guard, &now, 1, 10), 0);  // so the next fast line strikes
    EXPECT_EQ(guard.DoSattempts, 1);
    EXPECT_EQ(flood(&guard, &now, 1, 2501), 0);  // a long pause clears everything
    EXPECT_EQ(guard.DoSattempts, 0);
    EXPECT_EQ(guard.DoSCount, 0);
}

TEST(FloodGuard, ClockSetBackCountsAsFast) {
    FloodGuard guard;
    guard.lastTime = 100000;
    long long now = 100000;
    EXPECT_EQ(flood(&guard, &now, 100, -5000), 100);
}

TEST(FloodGuard, NineStrikesThenSlowLinesNeverEnd) {
    FloodGuard guard;
    long long now = 0;
    EXPECT_EQ(flood(&guard, &now, 90, 1), 0);
    EXPECT_EQ(guard.DoSattempts, 9);
    EXPECT_EQ(flood(&guard, &now, 9, 1), 0);
    EXPECT_EQ(flood(&guard, &now, 1, 2000), 0);  // forgiven: count below ten
    EXPECT_EQ(guard.DoSattempts, 8);
}

std::string trimmed(std::string line) {
    trim_command_line(line.data());
    return line.c_str();
}

TEST(CommandLine, TrimmingRemovesSpacesAndControlsAtBothEnds) {
    EXPECT_EQ(trimmed(" \t quit \r"), "quit");
    EXPECT_EQ(trimmed(" \t  \x01"), "");
    EXPECT_EQ(trimmed("\x7f"
                      "a\x80"),
              "\x7f"
              "a\x80");  // DEL and high bytes stay
    EXPECT_EQ(trimmed("a b"), "a b");
}

TEST(CommandLine, BangRewrite) {
    char line[kCmdBuffSize] = "!12";
    preprocess_legacy_bang_input_cmd(line);
    EXPECT_STREQ(line, "! 12");
    strcpy(line, "!");
    preprocess_legacy_bang_input_cmd(line);
    EXPECT_STREQ(line, "!");
    std::string longest(510, 'x');
    longest[0] = '!';
    strcpy(line, longest.c_str());
    preprocess_legacy_bang_input_cmd(line);
    EXPECT_EQ(strlen(line), 511u);
    EXPECT_EQ(std::string(line, 3), "! x");
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

// The folder is taken from the whole link: one cut to the buffer would end
// in a wrong, shorter folder whose own qtool would then run.
TEST(ExeFolder, FolderOfTheWholeLinkOrNone) {
    const std::string f254(254, 'f'), a150(150, 'a'), b149(149, 'b');
    const struct {
        std::string target;
        std::optional<std::string> folder;  // none: refused with ERANGE
    } rows[] = {
        {"/opt/zcon/bin/zcon", "/opt/zcon/bin"},
        {"zcon", "zcon"},
        {"/" + f254 + "/zcon", "/" + f254},  // 255 characters
        {"/" + f254 + "f/zcon", std::nullopt},
        {"/" + a150 + "/" + b149 + "/zcon", std::nullopt},
        {"/" + std::string(4091, 'e') + "/zz", std::nullopt},  // the longest link
    };
    zt::TempDir dir;
    const std::string link = dir.file("exe");
    for (const auto& row : rows) {
        unlink(link.c_str());
        ASSERT_EQ(symlink(row.target.c_str(), link.c_str()), 0) << row.target.size();
        char folder[256];
        errno = 0;
        const char* got = folder_of_link(link.c_str(), folder, sizeof folder);
        if (row.folder) {
            EXPECT_EQ(got, folder) << row.target.size();
            EXPECT_EQ(got ? std::string(got) : "", *row.folder);
        } else {
            EXPECT_EQ(got, nullptr) << row.target.size();
            EXPECT_EQ(errno, ERANGE);
        }
    }
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

// A table read as a stream that counts its reads: the kernel walks its whole
// table again for each one.
struct CountedTable {
    std::string text;
    size_t at = 0;
    int reads = 0;
};

ssize_t read_counted(void* cookie, char* buf, size_t size) {
    auto* table = static_cast<CountedTable*>(cookie);
    ++table->reads;
    const size_t n = std::min(size, table->text.size() - table->at);
    memcpy(buf, table->text.data() + table->at, n);
    table->at += n;
    return static_cast<ssize_t>(n);
}

std::string client_of(const std::string& text, unsigned port, int* reads = nullptr) {
    CountedTable table{text};
    FILE* f =
        fopencookie(&table, "r", cookie_io_functions_t{read_counted, nullptr, nullptr, nullptr});
    char ip[56] = "junk";
    parse_tcp6_client(f, port, ip);
    fclose(f);
    if (reads != nullptr) *reads = table.reads;
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
    // The entry found ends the reading, even as the last one read.
    int reads = 0;
    EXPECT_EQ(client_of(header + entry(0, mapped, 23, 1), 23, &reads), "192.168.7.20");
    EXPECT_EQ(reads, 1);
}

}  // namespace
