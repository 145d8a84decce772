// The key actions of the line editor over one line and its screen layout.
// They change the line in the caller's buffer, keep the cursor bookkeeping
// and queue their terminal output through the echo primitives; they never
// read input, take the lock or flush, so tests can drive them directly.
#pragma once

#include "keys.h"

struct EditLine {
    char* cmdbuff;          // the caller's buffer, NUL-terminated after cmdlen
    int max_len;            // size of cmdbuff: at most max_len - 1 characters
    const char* lead;       // text already on the first row before the prompt
    const char* cmdprompt;  // the editor's own prompt; neither is ever NULL
    int prompt_len;         // length of lead and prompt: where the input starts
    int cmdlen;             // characters in the line
    int cmdptr;             // cursor in the line, 0..cmdlen
    int line_x;             // cursor column on the screen
    int line_y;             // cursor row, counted from the lead's row
    int laid_width;         // the width line_x/line_y are laid out for, 0 = none yet
    bool window_changed;    // since the layout: the terminal may have cut its rows
};

// Starts an empty line in buffer (max_len >= 1) with the cursor after lead
// and prompt, both already on the screen.
void edit_begin(EditLine& ed, const char* lead, const char* prompt, char* buffer, int max_len);

// Actions, for edit_key. width is the terminal width, 0 while unknown;
// every action but insertion at the end needs it known. edit_key first lays
// the bookkeeping out for width (see settle_rows).
void edit_insert(EditLine& ed, int width, char c);
void edit_backspace(EditLine& ed, int width);
void edit_delete(EditLine& ed, int width);
void edit_left(EditLine& ed, int width);
void edit_right(EditLine& ed, int width);
void edit_home(EditLine& ed, int width);
void edit_end(EditLine& ed, int width);
void edit_clear(EditLine& ed, int width);
// Writes the beep for a refused action.
void beep();
// Ends the line: moves below the last row that holds text of it (the
// command's output must not overwrite the rest of the line), then writes
// line_end. width as for the actions, but it is not needed known.
void edit_finish(EditLine& ed, int width, const char* line_end);
// Takes lead, prompt and line off the screen: the cursor goes to column 0
// of the lead's row and everything from there on is erased. The bookkeeping
// is left for edit_redraw, which must follow.
void edit_hide(EditLine& ed, int width);
// Draws lead, prompt and line from column 0 of the cursor's row and puts
// the cursor back on its character.
void edit_redraw(EditLine& ed, int width);

// Lays the bookkeeping out for width. Text typed while the width was unknown
// never wrapped in the bookkeeping: it is folded onto the rows the terminal
// gave it, and a cursor the terminal left parked on the right margin is
// moved to the next row. After a width change, or any window change
// (window_changed), the terminal is assumed to keep the cursor on its row
// (no reflow) but perhaps not the text: the whole line is drawn again.
void settle_rows(EditLine& ed, int width);

// Screen arithmetic for a run of characters from column 0 of row 0, with
// the cursor taken on to the next row after the last column (the editor
// forces that wrap; see line_edit.cpp).
struct ScreenPos {
    int x;  // column
    int y;  // row
};
// Where the character at offset of the run goes (where the cursor stands
// when it is next to be written). A width of 0 means no wrapping.
inline ScreenPos layout_pos(int offset, int width) {
    if (width <= 0) return {offset, 0};
    return {offset % width, offset / width};
}
// The row on which a run of total characters ends.
inline int layout_row(int total, int width) {
    return layout_pos(total, width).y;
}
// True when the run fills its last row exactly, leaving the terminal's
// cursor parked on the right margin instead of the next row.
inline bool layout_fills_row(int total, int width) {
    const ScreenPos end = layout_pos(total, width);
    return end.y != 0 && end.x == 0;
}
