// Who speaks in a session, and how its lines come together: each sender's
// datagrams are one stream of lines, kept apart from the others'; and, found
// in the kernel's TCP tables, the owner of the application's end of the
// connection and the session's client.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "client_lookup.h"
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
    // Nine senders' pieces: the first sender's is shown to make room for the ninth's.
    std::vector<Datagram> nine;
    Lines ninth = {"p1", "|"};
    for (int n = 1; n <= 9; ++n) {
        nine.push_back({n, "p" + std::to_string(n)});
        if (n > 1) ninth.push_back(nine.back().bytes);
    }
    const struct {
        std::vector<Datagram> datagrams;
        Lines shown;
        int kinds = 0;
    } rows[] = {
        {{{1, "a\nb\r\n\nc"}, {1, "d\n"}}, {"a+", "b+", "", "cd", "|"}},
        {{{1, "\t sp"}, {1, "lit \r\n"}}, {" split ", "|"}},  // trimmed whole, not in pieces
        {{{1, x}, {1, "yz\nok\n"}}, {x + "+", "ok", "|"}, SOCKET_BAD_LONG_LINE},
        {{{1, "x"}, {1, x + "y\n"}}, {x, "|"}, SOCKET_BAD_LONG_LINE},
        {{{1, x}, {1, "yz"}}, {"|", x}},  // cut where it waits, told when shown
        {{{1, "cut "}, {1, "short", true}, {1, "next\n"}}, {"cut short", "next", "|"}},
        {{{1, "left"}, {2, "over"}}, {"|", "left", "over"}},
        {nine, ninth, kEventTooManySenders},
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

const std::string kHeading =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
    "inode\n";

// A line of the kernel's tables.
std::string tcp_entry(const std::string& local, const std::string& remote, int state, unsigned uid,
                      unsigned inode) {
    char line[300];
    snprintf(line, sizeof line,
             "   0: %s %s %02X 00000000:00000000 00:00000000 00000000 %5u        0 %u 1 "
             "0000000000000000 20 4 30 10 -1\n",
             local.c_str(), remote.c_str(), state, uid, inode);
    return line;
}

// The shell's connection (its socket 900) is in the IPv4 table; the row's
// entries are the application's end, or others that are not. The addresses'
// words as a little-endian machine prints them, and as a big-endian one
// does: 127.0.0.1 as 7F000001, and its IPv4-mapped form so too.
TEST(PeerOwner, TheFarEndOfTheConnectionIsFoundInEitherTable) {
    const std::string little = "0100007F", big = "7F000001", mapped = "0000000000000000";
    const struct {
        bool big_endian;
        std::string v4, v6;  // what the tables hold besides the shell's connection
        int uid;             // -1: none found
    } rows[] = {
        {false, tcp_entry(little + ":1019", little + ":C350", 1, 0, 901), "", 0},
        {false, "",
         tcp_entry(mapped + "FFFF0000" + little + ":1019", mapped + "FFFF0000" + little + ":C350",
                   1, 2001, 902),
         2001},
        {true, "",
         tcp_entry(mapped + "0000FFFF" + big + ":1019", mapped + "0000FFFF" + big + ":C350", 1,
                   2002, 903),
         2002},
        {false,
         tcp_entry(little + ":1019", little + ":C350", 0x0A, 7, 904) +
             tcp_entry(little + ":C350", little + ":1019", 1, 8, 905),
         "", -1},  // not established; the shell's own way round
        {false, tcp_entry("0200007F:1019", little + ":C350", 1, 9, 906), "", -1},  // elsewhere
    };
    for (const auto& r : rows) {
        const std::string local = r.big_endian ? big : little;
        std::string v4 =
            kHeading + tcp_entry(local + ":C350", local + ":1019", 1, 1000, 900) + r.v4;
        std::string v6 = kHeading + r.v6;
        FILE* tables[] = {fmemopen(v4.data(), v4.size(), "r"), fmemopen(v6.data(), v6.size(), "r")};
        unsigned uid = 12345;
        const bool found = client_lookup_peer_owner_in(tables, 2, 900, &uid);
        EXPECT_EQ(found ? static_cast<int>(uid) : -1, r.uid) << r.v4 << r.v6;
        EXPECT_FALSE(client_lookup_peer_owner_in(tables, 2, 999, &uid));  // no such socket
        for (FILE* table : tables)
            fclose(table);
    }
}

// An address as the kernel of this machine prints it: each 32-bit word in
// the machine's own byte order; the IPv4 table's are one word.
using Address = std::vector<unsigned char>;
std::string words(const Address& bytes) {
    std::string text;
    for (size_t i = 0; i < bytes.size(); i += 4) {
        unsigned int value;
        memcpy(&value, &bytes[i], 4);
        char word[9];
        snprintf(word, sizeof word, "%08X", value);
        text += word;
    }
    return text;
}

std::string client_of(std::string text, unsigned port, const HeldSockets* held = nullptr,
                      bool swapped = false) {
    FILE* f = fmemopen(text.data(), text.size(), "r");
    ClientFound found{.swapped = swapped};
    client_lookup_table(f, port, held, &found);
    fclose(f);
    return found.address;
}

// Without the sockets the session holds, the first established connection
// on the port; with them, the one whose holder is nearest the shell. A table
// of the other byte order has each word's bytes read the other way round.
TEST(ClientLookup, FindsTheClientInTheKernelsTables) {
    // A connection from remote to local port (23, 24 or 25, in hex).
    const auto entry = [](const Address& remote, const char* port, int state, unsigned inode) {
        return tcp_entry(words(Address(remote.size())) + port, words(remote) + ":D431", state, 0,
                         inode);
    };
    const Address mapped = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 168, 7, 20};
    const Address native = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x42};
    const Address any4 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 0, 0};
    std::string table = kHeading + entry(native, ":0017", 0x0A, 1) +
                        entry(mapped, ":0018", 0x06, 2) + entry(mapped, ":0017", 0x01, 3) +
                        entry(native, ":0018", 0x01, 4) + entry(any4, ":0019", 0x01, 5);
    EXPECT_EQ(client_of(table, 23), "192.168.7.20");
    EXPECT_EQ(client_of(table, 24), "2001:db8::42");
    EXPECT_EQ(client_of(table, 25), "::ffff:0.0.0.0");
    EXPECT_EQ(client_of(table, 22), "");
    EXPECT_EQ(client_of(kHeading + "garbage line\n" + entry(mapped, ":0017", 1, 6), 23),
              "192.168.7.20");
    HeldSockets held;
    for (const auto& [inode, depth] : {std::pair{4, 2}, {8, 1}, {9, 3}}) {
        held.inode[held.count] = static_cast<unsigned>(inode);
        held.depth[held.count++] = depth;
    }
    const std::string v4 = kHeading + entry({10, 0, 0, 7}, ":0018", 1, 7) +
                           entry({10, 0, 0, 9}, ":0018", 1, 9) +
                           entry({10, 0, 0, 8}, ":0018", 1, 8);
    EXPECT_EQ(client_of(v4, 24, &held), "10.0.0.8");
    EXPECT_EQ(client_of(v4, 24, &held, true), "8.0.0.10");  // words of the other byte order
    EXPECT_EQ(client_of(table, 24, &held), "2001:db8::42");
    EXPECT_EQ(client_of(table, 23, &held), "");
}

}  // namespace
