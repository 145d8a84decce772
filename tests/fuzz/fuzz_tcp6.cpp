// Fuzzes the TCP table parser behind the login report, parse_tcp6_client,
// with arbitrary table text, asking for the client on local ports 23 and 24.
// Whatever the text, it must end, stay inside the caller's 56-byte address
// buffer and leave either nothing or a valid address: dotted IPv4 for an
// IPv4-mapped client, IPv6 text otherwise. When the text has exactly the
// kernel's layout, the address must be the first established entry's.
#include <arpa/inet.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "login_report.h"

namespace {

constexpr size_t kAddressBuffer = 56;  // what the login report passes
constexpr size_t kHeadingWords = 12;
constexpr unsigned kEstablished = 1;

using Address = std::array<unsigned char, 16>;

// Names the broken expectation, then stops with a crash the fuzzer records.
[[noreturn]] void fail(int line, const char* what) {
    fprintf(stderr, "%s:%d: expected %s\n", __FILE__, line, what);
    __builtin_trap();
}
#define CHECK(condition) ((condition) ? (void)0 : fail(__LINE__, #condition))

// True for a hexadecimal digit of either case.
bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Takes count hex digits from the front of text into *value.
bool take_hex(std::string_view* text, size_t count, unsigned* value) {
    if (text->size() < count) return false;
    *value = 0;
    for (size_t i = 0; i < count; ++i) {
        const char c = (*text)[i];
        if (!is_hex(c)) return false;
        const unsigned digit = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        *value = *value << 4 | digit;
    }
    text->remove_prefix(count);
    return true;
}

// Takes the character c from the front of text, if it is there.
bool take(std::string_view* text, char c) {
    if (text->empty() || (*text)[0] != c) return false;
    text->remove_prefix(1);
    return true;
}

struct Entry {
    unsigned local_port;
    Address remote;
    unsigned state;
};

// Reads one entry line in the kernel's exact layout: "%4d: " local
// address:port, remote address:port, state, then the rest of the fields.
std::optional<Entry> strict_entry(std::string_view line) {
    while (take(&line, ' ')) {
    }
    if (line.empty() || line[0] < '0' || line[0] > '9') return std::nullopt;
    while (!line.empty() && line[0] >= '0' && line[0] <= '9')
        line.remove_prefix(1);
    Entry entry{};
    unsigned ignored;
    if (!take(&line, ':') || !take(&line, ' ')) return std::nullopt;
    for (int word = 0; word < 4; ++word) {
        if (!take_hex(&line, 8, &ignored)) return std::nullopt;
    }
    if (!take(&line, ':') || !take_hex(&line, 4, &entry.local_port) || !take(&line, ' ')) {
        return std::nullopt;
    }
    for (int word = 0; word < 4; ++word) {
        unsigned value;
        if (!take_hex(&line, 8, &value)) return std::nullopt;
        // The kernel prints each word from memory in the machine's own byte
        // order; storing it back the same way gives the address bytes.
        const uint32_t stored = value;
        memcpy(entry.remote.data() + 4 * word, &stored, 4);
    }
    if (!take(&line, ':') || !take_hex(&line, 4, &ignored) || !take(&line, ' ') ||
        !take_hex(&line, 2, &entry.state) || !take(&line, ' ')) {
        return std::nullopt;
    }
    // The rest: printable up to 'z', and more than spaces.
    if (line.find_first_not_of(' ') == std::string_view::npos) return std::nullopt;
    for (char c : line) {
        if (c < ' ' || c > 'z') return std::nullopt;
    }
    return entry;
}

// The entries of a table in the kernel's exact layout (a heading of 12
// words, then entry lines), or nothing for any other text.
std::optional<std::vector<Entry>> strict_table(std::string_view text) {
    if (text.empty() || text.back() != '\n') return std::nullopt;
    text.remove_suffix(1);
    std::vector<Entry> entries;
    bool heading = true;
    while (true) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        if (heading) {
            size_t words = 0;
            for (size_t i = 0; i < line.size(); ++i) {
                if (line[i] < ' ' || line[i] > '~') return std::nullopt;  // no tabs, no controls
                if (i == 0 || line[i - 1] == ' ') words += line[i] != ' ';
            }
            if (words != kHeadingWords) return std::nullopt;
            heading = false;
        } else {
            const std::optional<Entry> entry = strict_entry(line);
            if (!entry) return std::nullopt;
            entries.push_back(*entry);
        }
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return entries;
}

// Runs the parser over text for port and checks the address it leaves.
void check_port(const uint8_t* data, size_t size, unsigned port,
                const std::optional<std::vector<Entry>>& table) {
    std::vector<char> text(data, data + size);
    text.push_back('\0');  // fmemopen needs a non-empty buffer; the NUL reads as a byte
    FILE* stream = fmemopen(text.data(), size == 0 ? 1 : size, "r");
    CHECK(stream != nullptr);
    std::vector<char> ip(kAddressBuffer, '\x7f');
    parse_tcp6_client(stream, port, ip.data());
    fclose(stream);

    CHECK(memchr(ip.data(), '\0', ip.size()) != nullptr);
    const std::string found = ip.data();
    CHECK(found.size() < INET6_ADDRSTRLEN);
    Address parsed{};
    static constexpr unsigned char kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (!found.empty() && inet_pton(AF_INET, found.c_str(), parsed.data() + 12) == 1) {
        // Dotted form only for a mapped client with a real IPv4 address.
        memcpy(parsed.data(), kMappedPrefix, sizeof kMappedPrefix);
        CHECK(found != "0.0.0.0");
    } else if (!found.empty()) {
        CHECK(inet_pton(AF_INET6, found.c_str(), parsed.data()) == 1);
        const bool mapped = memcmp(parsed.data(), kMappedPrefix, sizeof kMappedPrefix) == 0;
        static constexpr unsigned char kAny4[4] = {};
        CHECK(!mapped || memcmp(parsed.data() + 12, kAny4, 4) == 0);
    }

    if (!table) return;
    std::optional<Address> expected;
    for (const Entry& entry : *table) {
        if (entry.state == kEstablished && entry.local_port == port) {
            expected = entry.remote;
            break;
        }
    }
    CHECK(found.empty() == !expected.has_value());
    if (expected) CHECK(parsed == *expected);
}

}  // namespace

// Parses one table for both login ports.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto table = strict_table(std::string_view(reinterpret_cast<const char*>(data), size));
    check_port(data, size, 23, table);
    check_port(data, size, 24, table);
    return 0;
}
