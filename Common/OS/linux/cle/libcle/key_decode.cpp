// The editor's keys from the terminal's bytes (see key_decode.h).
#include "key_decode.h"

namespace {

constexpr unsigned char kEsc = 0x1b;
constexpr int kParamCap = 10000;  // larger parameters name no key anyway

// The key of a final byte that names a key by itself (CSI or SS3).
KeyAction letter_key(unsigned char final) {
    switch (final) {
        case 'C':
            return KeyAction::kRight;
        case 'D':
            return KeyAction::kLeft;
        case 'H':
            return KeyAction::kHome;
        case 'F':
        case 'K':  // End on some terminals
            return KeyAction::kEnd;
        default:  // up and down (no history) and the rest
            return KeyAction::kNone;
    }
}

// The key of ESC [ n ~.
KeyAction tilde_key(int n) {
    switch (n) {
        case 1:
            return KeyAction::kHome;
        case 3:
            return KeyAction::kDelete;
        case 4:
            return KeyAction::kEnd;
        default:  // Insert, Page Up/Down, function keys
            return KeyAction::kNone;
    }
}

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
            return {ss3_ ? letter_key(byte) : KeyAction::kNone};
    }
    return {};
}

// Acts on a byte outside any escape sequence.
Key KeyDecoder::plain(unsigned char byte, bool lf_ends_line) {
    switch (byte) {
        case 0x01:
            return {KeyAction::kHome};
        case 0x02:
            return {KeyAction::kLeft};
        case 0x03:
            return {KeyAction::kClear};
        case 0x04:
            return {KeyAction::kAbort};
        case 0x05:
            return {KeyAction::kEnd};
        case 0x06:
            return {KeyAction::kRight};
        case 0x08:
        case 0x7f:
            return {KeyAction::kBackspace};
        case 0x0a:
            return {lf_ends_line ? KeyAction::kLineEnd : KeyAction::kNone};
        case 0x0d:
            return {KeyAction::kLineEnd};
        case kEsc:
            state_ = State::kEscape;
            return {};
        default:
            if (byte >= 0x20 && byte <= 0x7e) return {KeyAction::kInsert, static_cast<char>(byte)};
            return {};
    }
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
        return {byte == '~' ? tilde_key(first_param_) : letter_key(byte)};
    }
    // A control or a byte above 0x7e cannot be part of the sequence: the
    // sequence is dropped and the byte is a key again (Enter still ends the
    // line after a garbled sequence).
    state_ = State::kIdle;
    return plain(byte, lf_ends_line);
}
