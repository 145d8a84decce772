// Fuzzes the reading of the system tool's password line, parse_password_line,
// against a plain model: the line must begin with "config sw 0 " exactly; at
// most 63 characters after it count; one trailing line feed or carriage
// return is removed; a password that does not fit the given size gives 1 and
// leaves the buffer alone. The buffer is allocated at exactly that size.
//
// Input: byte 0 (its low seven bits) is the buffer size, 64 ('@') in the
// real call; the rest is the tool's output, of which the line is what fgets
// delivers into 128 bytes: up to the first line feed, at most 127 characters.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>
#include <string_view>

#include "login.h"

namespace {

constexpr size_t kLineRoom = 128;  // the caller's fgets buffer
constexpr std::string_view kPrefix = "config sw 0 ";
constexpr size_t kMaxPassword = 63;
constexpr char kUntouched = '\x7f';

// Names the broken expectation, then stops with a crash the fuzzer records.
[[noreturn]] void fail(int line, const char* what) {
    fprintf(stderr, "%s:%d: expected %s\n", __FILE__, line, what);
    __builtin_trap();
}
#define CHECK(condition) ((condition) ? (void)0 : fail(__LINE__, #condition))

// The first line as fgets hands it over, read as a C string.
std::string first_line(std::string_view output) {
    std::string line(output.substr(0, kLineRoom - 1));
    const size_t feed = line.find('\n');
    if (feed != std::string::npos) line.resize(feed + 1);
    line.resize(strlen(line.c_str()));
    return line;
}

}  // namespace

// Parses one tool line into a buffer of the chosen size and compares with the model.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const int room = data[0] & 0x7F;
    const std::string line =
        first_line(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));

    const size_t room_bytes = static_cast<size_t>(room);
    std::unique_ptr<char[]> password(new char[room_bytes]);
    memset(password.get(), kUntouched, room_bytes);
    const int rc = parse_password_line(line.c_str(), password.get(), room);

    auto untouched = [&] {
        for (size_t i = 0; i < room_bytes; ++i) {
            if (password[i] != kUntouched) return false;
        }
        return true;
    };
    if (line.compare(0, kPrefix.size(), kPrefix) != 0) {
        // No prefix: no password is set, and nothing is written.
        CHECK(rc == 0);
        CHECK(untouched());
        return 0;
    }
    std::string expected = line.substr(kPrefix.size(), kMaxPassword);
    if (!expected.empty() && (expected.back() == '\n' || expected.back() == '\r')) {
        expected.pop_back();
    }
    if (expected.size() >= room_bytes) {
        CHECK(rc == 1);
        CHECK(untouched());
        return 0;
    }
    CHECK(rc == 0);
    CHECK(memcmp(password.get(), expected.c_str(), expected.size() + 1) == 0);
    return 0;
}
