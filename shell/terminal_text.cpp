// Text from outside made safe for the terminal; what passes and how the
// rest is shown is in the header.
#include "terminal_text.h"

#include <stdint.h>
#include <string.h>

#include <algorithm>

namespace {

constexpr size_t kMaxSgrParameters = 32;
constexpr char kReset[] = "\x1b[0m";
constexpr size_t kResetSize = sizeof kReset - 1;
constexpr char kHexDigits[] = "0123456789abcdef";

bool is_plain(unsigned char byte) {
    return (byte >= 0x20 && byte <= 0x7E) || byte == '\t';
}

// Where the run of plain bytes that starts at from ends: a word at a time
// while whole words are printable ASCII (no byte with its top bit set, none
// that reaches it when 1 is added, all that reach it when 0x60 is added),
// then a byte at a time.
size_t plain_end(const unsigned char* s, size_t from, size_t len) {
    constexpr uint64_t kOnes = 0x0101010101010101, kTops = 0x8080808080808080;
    size_t i = from;
    for (; i + sizeof(uint64_t) <= len; i += sizeof(uint64_t)) {
        uint64_t word;
        memcpy(&word, s + i, sizeof word);
        if (((word | (word + kOnes)) & kTops) | (~(word + 0x60 * kOnes) & kTops)) break;
    }
    while (i < len && is_plain(s[i]))
        ++i;
    return i;
}

// Length of the well-formed UTF-8 character at s (2 to 4), or 0.
size_t utf8_length(const unsigned char* s, size_t left) {
    const unsigned char lead = s[0];
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    size_t n;
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (left < n || s[1] < low || s[1] > high) return 0;
    for (size_t k = 2; k < n; ++k) {
        if (s[k] < 0x80 || s[k] > 0xBF) return 0;
    }
    return n;
}

// Whether s starts with a colour or attribute setting (ESC [ digits and ';'
// m); if so, *length is its length and *sets tells whether it leaves an
// attribute set.
bool is_sgr(const unsigned char* s, size_t left, size_t* length, bool* sets) {
    if (left == 1 || s[1] != '[') return false;
    *sets = false;
    const size_t end = std::min(left, kMaxSgrParameters + 3);  // ESC [ parameters m
    for (size_t k = 2; k < end; ++k) {
        if (s[k] == 'm') {
            *length = k + 1;
            return true;
        }
        if (s[k] >= '1' && s[k] <= '9') {
            *sets = true;
        } else if (s[k] != '0' && s[k] != ';') {
            return false;
        }
    }
    return false;
}

// The output buffer: whole units are written or none, always leaving room
// for the attribute reset while an attribute is set, and for the NUL. The
// first unit that does not fit fills it: nothing after it is written.
class Output {
  public:
    Output(char* out, size_t size) : out_(out), limit_(size - 1) {}

    // Writes n bytes, leaving room for the reset behind them when
    // attributes_after.
    void put(const void* bytes, size_t n, bool attributes_after) {
        full_ = full_ || used_ + n + (attributes_after ? kResetSize : 0) > limit_;
        if (full_) return;
        memcpy(out_ + used_, bytes, n);
        used_ += n;
        attributes_ = attributes_after;
    }
    void put(const void* bytes, size_t n) { put(bytes, n, attributes_); }
    // Writes as much of a run of plain bytes as fits.
    void put_plain(const unsigned char* run, size_t n) {
        const size_t taken = std::min(n, limit_ - used_ - (attributes_ ? kResetSize : 0));
        memcpy(out_ + used_, run, taken);
        used_ += taken;
        full_ = taken < n;
    }
    bool full() const { return full_; }
    // Ends the text: the reset if an attribute is still set, then the NUL.
    size_t finish() {
        full_ = false;
        if (attributes_) put(kReset, kResetSize, false);
        out_[used_] = '\0';
        return used_;
    }

  private:
    char* out_;
    size_t limit_;
    size_t used_ = 0;
    bool attributes_ = false;
    bool full_ = false;
};

// Writes \xHH for each of n bytes at s, as one unit; returns n.
size_t put_hex(Output& out, const unsigned char* s, size_t n) {
    char shown[2 * kTerminalTextExpansion];
    for (size_t k = 0; k < n; ++k) {
        shown[4 * k] = '\\';
        shown[4 * k + 1] = 'x';
        shown[4 * k + 2] = kHexDigits[s[k] >> 4];
        shown[4 * k + 3] = kHexDigits[s[k] & 0x0F];
    }
    out.put(shown, 4 * n);
    return n;
}

// Writes the unit at s that is not plain text; returns the input bytes it
// stands for.
size_t put_special(Output& out, const unsigned char* s, size_t left) {
    const unsigned char byte = s[0];
    if (byte < 0x80) {
        size_t sgr;
        bool sets;
        if (byte == 0x1B && is_sgr(s, left, &sgr, &sets)) {
            out.put(s, sgr, sets);
            return sgr;
        }
        const char caret[2] = {'^', static_cast<char>(byte ^ 0x40)};
        out.put(caret, sizeof caret);
        return 1;
    }
    const size_t n = utf8_length(s, left);
    if (n == 0) return put_hex(out, s, 1);
    if (byte == 0xC2 && s[1] < 0xA0) return put_hex(out, s, 2);  // U+0080..U+009F
    out.put(s, n);
    return n;
}

}  // namespace

size_t terminal_safe_text(const char* text, size_t len, char* out, size_t out_size) {
    if (out_size == 0) return 0;
    Output output(out, out_size);
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    for (size_t i = 0; !output.full();) {
        const size_t run = plain_end(s, i, len);
        output.put_plain(s + i, run - i);
        if (run == len) break;
        i = run + put_special(output, s + run, len - run);
    }
    return output.finish();
}
