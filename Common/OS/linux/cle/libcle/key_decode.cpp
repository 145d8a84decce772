// The editor's keys from the terminal's bytes (see key_decode.h).
#include "key_decode.h"

#include "key_table.h"

namespace {

constexpr unsigned char kEsc = 0x1b;
constexpr int kParamCap = 10000;  // larger parameters name no key anyway

}  // namespace

Key KeyDecoder::feed(unsigned char byte, bool lf_ends_line) {
    switch (state_) {
        case State::kIdle:
            return plain(byte, lf_ends_line);
        case State::kEscape:
            if (byte == '[' || byte == 'O') {
                state_ = byte == '[' ? State::kCsi : State::kOneMore;
                ss3_ = byte == 'O';
                first_param_ = 0;
                in_first_ = true;
                unusual_ = false;
                had_params_ = false;
            } else {
                state_ = State::kIdle;  // Meta-key and the like: swallowed
            }
            return {};
        case State::kCsi:
            return csi(byte, lf_ends_line);
        case State::kOneMore:
            state_ = State::kIdle;
            return {ss3_ ? key_of_final(byte) : KeyAction::kNone};
    }
    return {};
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
