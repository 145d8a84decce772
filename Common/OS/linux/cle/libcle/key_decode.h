// Turns the bytes typed at the terminal into the editor's keys, one byte at
// a time and without any I/O, so that the read loop, the tests and the fuzz
// target share one decoder.
//
// Escape sequences are read whole: ESC [ then parameter bytes (0x30-0x3F),
// intermediate bytes (0x20-0x2F) and one final byte (0x40-0x7E); ESC O and
// one byte; the console's function keys ESC [ [ and one byte. Sequences the
// editor has no use for do nothing. Modifiers (ESC [ 1 ; 5 D is Ctrl-Left)
// are ignored: a modified arrow, Home, End or Delete acts as the plain key.
// A byte that cannot belong to a CSI sequence ends it unfinished and is then
// taken as a key of its own; after ESC, a byte other than "[" or "O" is
// swallowed with the ESC.
#pragma once

enum class KeyAction {
    kNone,  // an ignored byte, or inside an escape sequence
    kInsert,
    kHome,
    kEnd,
    kLeft,
    kRight,
    kBackspace,
    kDelete,
    kClear,
    kLineEnd,
    kAbort,  // Ctrl-D
};

struct Key {
    KeyAction action = KeyAction::kNone;
    char c = 0;  // the character of kInsert
};

class KeyDecoder {
  public:
    // Takes the next input byte. lf_ends_line: whether a line feed ends the
    // line (a serial terminal that sends CR LF must not end two lines).
    Key feed(unsigned char byte, bool lf_ends_line);
    // True while an escape sequence waits for more bytes.
    bool in_sequence() const { return state_ != State::kIdle; }
    // The sequence was cut short: forget it, it does nothing.
    void cut() { state_ = State::kIdle; }

  private:
    enum class State { kIdle, kEscape, kCsi, kOneMore };
    Key plain(unsigned char byte, bool lf_ends_line);
    Key csi(unsigned char byte, bool lf_ends_line);

    State state_ = State::kIdle;
    bool ss3_ = false;         // kOneMore: ESC O (a key) or ESC [ [ (none)
    int first_param_ = 0;      // the CSI's first parameter, 0 if none
    bool in_first_ = true;     // still reading the first parameter
    bool unusual_ = false;     // private marker or intermediate: no key of ours
    bool had_params_ = false;  // any parameter or intermediate byte yet
};
