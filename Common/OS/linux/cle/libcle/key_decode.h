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
// taken as a key of its own; after ESC, a byte other than "[", "O" or a
// string's introducer is swallowed with the ESC.
//
// Terminal strings are swallowed whole, never typed: OSC (ESC ]), DCS
// (ESC P), APC (ESC _), PM (ESC ^) and SOS (ESC X) up to ST (ESC \) or BEL.
// They are what a terminal answers to queries (a title report, a DECRQSS
// answer), and someone else's output may have asked them. An ESC ends a
// string: with "\" it is ST, with anything else it begins the next
// sequence. A string is also over, and the bytes after it are keys again,
// at a pause: the read loop reads the rest of any sequence under the output
// lock for at most 500 ms from its first byte, then cuts it. A terminal
// sends its answer in one go; a string that outlasts that is no answer but
// a stray ESC ] (an Alt key), and the typing after it must come through.
// A string that reaches kStringMax bytes within that time was typed by no
// one: the rest of it is dropped, outside the lock and with no time bound,
// up to its end (ST, BEL, or an ESC beginning the next sequence) or else
// up to the next Enter key (CR, or the LF the terminal driver turns it
// into in every session but a serial one), which is dropped with it.
//
// C1 controls count as ESC and the byte 0x40 above them (0x9B is ESC [,
// 0x9D ESC ], 0x9C ST), whether they come as one byte (a terminal set to
// 8-bit controls) or UTF-8 encoded (C2 80 to C2 9F). Such a byte right
// after a byte of another non-ASCII character continues that character and
// is text: a title holding U+015C (C5 9C) does not end there.
#pragma once

#include "keys.h"

class KeyDecoder {
  public:
    // The longest string taken as one.
    static constexpr int kStringMax = 4096;

    // Takes the next input byte. lf_ends_line: whether a line feed ends the
    // line (a serial terminal that sends CR LF must not end two lines).
    Key feed(unsigned char byte, bool lf_ends_line);
    // True while an escape sequence or a string waits for more bytes that
    // belong to it (not while the rest of an overlong string is dropped).
    bool in_sequence() const { return state_ != State::kIdle && state_ != State::kDiscard; }
    // The sequence was cut short: forget it, it does nothing.
    void cut() { state_ = State::kIdle; }

  private:
    enum class State { kIdle, kEscape, kCsi, kOneMore, kString, kDiscard };
    unsigned char c1_control(unsigned char byte);
    Key plain(unsigned char byte, bool lf_ends_line);
    Key escape(unsigned char byte);
    Key csi(unsigned char byte, bool lf_ends_line);
    Key string(unsigned char byte);

    State state_ = State::kIdle;
    bool ss3_ = false;         // kOneMore: ESC O (a key) or ESC [ [ (none)
    int first_param_ = 0;      // the CSI's first parameter, 0 if none
    bool in_first_ = true;     // still reading the first parameter
    bool unusual_ = false;     // private marker or intermediate: no key of ours
    bool had_params_ = false;  // any parameter or intermediate byte yet
    int string_len_ = 0;       // bytes of the string so far
    bool in_text_ = false;     // the last byte was one of a non-ASCII character
    unsigned char last_ = 0;   // the last byte
};
