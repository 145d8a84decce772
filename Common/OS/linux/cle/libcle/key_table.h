// The editor's keys in one table: the bytes that make each action, and what
// the action does to the line. The decoder (key_decode.cpp) reads the byte
// columns; edit_key runs the action's edit.
#pragma once

#include "keys.h"

struct EditLine;

struct KeyBinding {
    KeyAction action;
    unsigned char controls[2];  // control bytes that make it, 0 for none
    unsigned char finals[2];    // final bytes of ESC [ x and ESC O x, 0 for none
    int tilde;                  // n of ESC [ n ~, 0 for none
    // What it does to the line (c: the character of kInsert); NULL for the
    // actions that end the read, which are the read loop's own.
    void (*edit)(EditLine& ed, int width, char c);
};

// The row of action, or NULL (kNone has none).
const KeyBinding* key_binding(KeyAction action);
// The action of a control byte, of the final byte of a CSI or SS3 sequence,
// and of ESC [ n ~; kNone when none has it.
KeyAction key_of_control(unsigned char byte);
KeyAction key_of_final(unsigned char final);
KeyAction key_of_tilde(int n);
// Acts on a key by its row's edit, after laying the line out for width (see
// settle_rows): a key with an edit, not kNone or the line end and Ctrl-D,
// which end the read and are the caller's (see edit_finish).
void edit_key(EditLine& ed, const Key& key, int width);
