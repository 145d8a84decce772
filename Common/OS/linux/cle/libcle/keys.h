// The editor's keys: what a typed byte or sequence asks the editor to do.
// The decoder (key_decode.h) makes them, the key table (key_table.h) binds
// them to bytes and edits, and the line actions (line_edit.h) carry them out.
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
