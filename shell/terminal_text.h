// Text from outside (event lines, log records) made safe for the terminal:
// anyone on the machine may send it, so nothing in it may drive the
// terminal, clear it, retitle it, write the clipboard or make it answer a
// query into the user's input.
//
// What passes, byte for byte:
// - printable ASCII (0x20..0x7E) and TAB;
// - UTF-8 characters of two to four bytes that are well formed (shortest
//   form, no surrogates, at most U+10FFFF), except U+0080..U+009F;
// - colour and attribute settings: ESC [ then at most 32 digits and ';',
//   then m. When the last one of a line leaves an attribute set (anything
//   but parameters of only '0' and ';'), ESC [ 0 m is added at the end of
//   the line, so that nothing set by one line outlasts it.
// What is shown instead:
// - every other control byte, ESC of any other sequence and CR included, in
//   caret notation: 0x00..0x1F as ^@ .. ^_ (ESC as ^[, CR as ^M), DEL as ^?;
//   the bytes after such an ESC are then shown by these same rules, so a
//   sequence shows as text (ESC [ 2 J as ^[[2J);
// - every byte of U+0080..U+009F in UTF-8, and every byte that is not part
//   of a well-formed UTF-8 character (C1 bytes 0x80..0x9F included), as
//   \xHH in lower-case hexadecimal.
#pragma once

#include <stddef.h>

// Most output bytes one input byte can take (\xHH).
inline constexpr size_t kTerminalTextExpansion = 4;
// Output bytes that always hold len input bytes whole: the worst expansion,
// the attribute reset and the terminating NUL.
inline constexpr size_t terminal_text_size(size_t len) {
    return kTerminalTextExpansion * len + 5;
}

// Writes the safe form of len bytes of text into out, which holds out_size
// bytes, never past its end and always terminated (unless out_size is 0).
// Text that does not fit is left off at a character boundary: no shown
// form, character or setting is ever cut in two. Returns the length written.
size_t terminal_safe_text(const char* text, size_t len, char* out, size_t out_size);
