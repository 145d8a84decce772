// The table of the editor's keys (see key_table.h).
#include "key_table.h"

#include "line_edit.h"

namespace {

// An edit that takes no character.
template <void (*Edit)(EditLine&, int)>
void plain(EditLine& ed, int width, char /*c*/) {
    Edit(ed, width);
}

// clang-format off
constexpr KeyBinding kKeys[] = {
//   action               controls      finals      ~   edit
    {KeyAction::kInsert,    {},           {},         {}, edit_insert},  // the printable bytes
    {KeyAction::kHome,      {0x01},       {'H'},      1,  plain<edit_home>},
    {KeyAction::kEnd,       {0x05},       {'F', 'K'}, 4,  plain<edit_end>},  // K: End on some terminals
    {KeyAction::kLeft,      {0x02},       {'D'},      {}, plain<edit_left>},
    {KeyAction::kRight,     {0x06},       {'C'},      {}, plain<edit_right>},
    {KeyAction::kBackspace, {0x08, 0x7f}, {},         {}, plain<edit_backspace>},
    {KeyAction::kDelete,    {},           {},         3,  plain<edit_delete>},
    {KeyAction::kClear,     {0x03},       {},         {}, plain<edit_clear>},  // Ctrl-C
    {KeyAction::kLineEnd,   {0x0d, 0x0a}, {},         {}, nullptr},
    {KeyAction::kAbort,     {0x04},       {},         {}, nullptr},  // Ctrl-D
};
// clang-format on

bool holds(const unsigned char (&bytes)[2], unsigned char byte) {
    return byte != 0 && (bytes[0] == byte || bytes[1] == byte);
}

}  // namespace

const KeyBinding* key_binding(KeyAction action) {
    for (const KeyBinding& row : kKeys) {
        if (row.action == action) return &row;
    }
    return nullptr;
}

KeyAction key_of_control(unsigned char byte) {
    for (const KeyBinding& row : kKeys) {
        if (holds(row.controls, byte)) return row.action;
    }
    return KeyAction::kNone;
}

// Up and down (there is no history to move through) and the rest are none.
KeyAction key_of_final(unsigned char final) {
    for (const KeyBinding& row : kKeys) {
        if (holds(row.finals, final)) return row.action;
    }
    return KeyAction::kNone;
}

// Insert, Page Up and Down and the function keys are none.
KeyAction key_of_tilde(int n) {
    for (const KeyBinding& row : kKeys) {
        if (row.tilde != 0 && row.tilde == n) return row.action;
    }
    return KeyAction::kNone;
}

void edit_key(EditLine& ed, const Key& key, int width) {
    settle_rows(ed, width);
    key_binding(key.action)->edit(ed, width, key.c);
}
