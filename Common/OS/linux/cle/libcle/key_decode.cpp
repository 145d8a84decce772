// The editor's keys from the terminal's bytes (see key_decode.h).
#include "key_decode.h"

#include <string_view>

#include "key_table.h"

namespace {

constexpr unsigned char kEsc = 0x1b;
constexpr unsigned char kBel = 0x07;
constexpr unsigned char kCr = 0x0d;
constexpr unsigned char kLf = 0x0a;
constexpr unsigned char kC1Offset = 0x40;  // a C1 control is ESC and the byte this far up
constexpr int kParamCap = 10000;           // larger parameters name no key anyway
// What follows ESC to begin OSC, DCS, APC, PM and SOS.
constexpr std::string_view kStringIntroducers = "]P_^X";

}  // namespace

Key KeyDecoder::feed(unsigned char byte, bool lf_ends_line) {
    // A C1 control is ESC and a byte, wherever it comes: 0x9C ends a string.
    if (const unsigned char control = c1_control(byte); control != 0) {
        return escape(static_cast<unsigned char>(control - kC1Offset));
    }
    switch (state_) {
        case State::kIdle:
            return plain(byte, lf_ends_line);
        case State::kEscape:
            return escape(byte);
        case State::kCsi:
            return csi(byte, lf_ends_line);
        case State::kOneMore:
            state_ = State::kIdle;
            return {ss3_ ? key_of_final(byte) : KeyAction::kNone};
        case State::kString:
        case State::kDiscard:
            return string(byte);
    }
    return {};
}

// Returns the C1 control (0x80-0x9F) that byte is, or 0. A byte of that
// range right after a byte of another non-ASCII character continues it (it
// is text), except after C2, with which it makes the control in UTF-8.
unsigned char KeyDecoder::c1_control(unsigned char byte) {
    const bool control = byte >= 0x80 && byte < 0xa0 && (!in_text_ || last_ == 0xc2);
    in_text_ = byte >= 0x80 && !control;
    last_ = byte;
    return control ? byte : 0;
}

// Acts on a byte outside any escape sequence.
Key KeyDecoder::plain(unsigned char byte, bool lf_ends_line) {
    if (byte == kEsc) {
        state_ = State::kEscape;
        return {};
    }
    if (byte >= 0x20 && byte <= 0x7e) return {KeyAction::kInsert, static_cast<char>(byte)};
    if (byte == 0x0a && !lf_ends_line) return {};
    return {key_of_control(byte)};
}

// Takes the byte after ESC: a CSI or SS3 sequence or a string begins, or,
// like a Meta key, the byte is swallowed.
Key KeyDecoder::escape(unsigned char byte) {
    state_ = State::kIdle;
    if (byte == '[' || byte == 'O') {
        state_ = byte == '[' ? State::kCsi : State::kOneMore;
        ss3_ = byte == 'O';
        first_param_ = 0;
        in_first_ = true;
        unusual_ = false;
        had_params_ = false;
    } else if (kStringIntroducers.find(static_cast<char>(byte)) != std::string_view::npos) {
        state_ = State::kString;
        string_len_ = 0;
    }
    return {};
}

// Takes the next byte of ESC [ ...
Key KeyDecoder::csi(unsigned char byte, bool lf_ends_line) {
    if (byte >= '0' && byte <= '9') {
        if (in_first_ && first_param_ < kParamCap) first_param_ = first_param_ * 10 + (byte - '0');
        had_params_ = true;
        return {};
    }
    if (byte == ';') {
        in_first_ = false;
        had_params_ = true;
        return {};
    }
    if (byte >= 0x20 && byte <= 0x3f) {
        // ":" sub-parameters, "<=>?" private markers, intermediates.
        unusual_ = true;
        had_params_ = true;
        return {};
    }
    if (byte == '[' && !had_params_) {
        state_ = State::kOneMore;  // the console's F1-F5: ESC [ [ A..E
        ss3_ = false;
        return {};
    }
    if (byte >= 0x40 && byte <= 0x7e) {
        state_ = State::kIdle;
        if (unusual_) return {};
        return {byte == '~' ? key_of_tilde(first_param_) : key_of_final(byte)};
    }
    // A control or a byte above 0x7e cannot be part of the sequence: the
    // sequence is dropped and the byte is a key again (Enter still ends the
    // line after a garbled sequence).
    state_ = State::kIdle;
    return plain(byte, lf_ends_line);
}

// Takes the next byte of a string: all of it does nothing. An ESC ends it
// and is read as any ESC: ESC \ (ST) is swallowed like a Meta key, and
// anything else begins the next sequence. Past kStringMax bytes the rest is
// dropped, up to the Enter key (CR, or the LF a terminal driver makes of
// it) if no end comes first.
Key KeyDecoder::string(unsigned char byte) {
    if (byte == kBel || ((byte == kCr || byte == kLf) && state_ == State::kDiscard)) {
        state_ = State::kIdle;
    } else if (byte == kEsc) {
        state_ = State::kEscape;
    } else if (state_ == State::kString && ++string_len_ >= kStringMax) {
        state_ = State::kDiscard;
    }
    return {};
}
