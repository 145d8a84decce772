// The key actions of the line editor over one line and its screen layout.
// They change the line in the caller's buffer, keep the cursor bookkeeping
// and queue their terminal output through the echo primitives; they never
// read input, take the lock or flush, so tests can drive them directly.
#pragma once

struct EditLine {
    char* cmdbuff;          // the caller's buffer, NUL-terminated after cmdlen
    int max_len;            // size of cmdbuff: at most max_len - 1 characters
    const char* cmdprompt;  // never NULL
    int prompt_len;
    int cmdlen;  // characters in the line
    int cmdptr;  // cursor in the line, 0..cmdlen
    int line_x;  // cursor column on the screen, counting the prompt
    int line_y;  // cursor row, counted from the prompt's row
};

// Starts an empty line in buffer (max_len >= 1) with the cursor after prompt.
void edit_begin(EditLine& ed, const char* prompt, char* buffer, int max_len);

// Actions. width is the terminal width, 0 while unknown; every action but
// insertion needs it known (see settle_rows).
void edit_insert(EditLine& ed, int width, char c);
void edit_backspace(EditLine& ed, int width);
void edit_delete(EditLine& ed, int width);
void edit_left(EditLine& ed, int width);
void edit_right(EditLine& ed, int width);
void edit_home(EditLine& ed);
void edit_end(EditLine& ed, int width);
void edit_clear(EditLine& ed);
// Writes the beep for a refused action.
void beep();

// Moves the bookkeeping of text typed while the width was unknown (which
// never wraps) onto the real rows once the width has been learnt.
void settle_rows(EditLine& ed, int width);

// Screen arithmetic for a run of total characters from column 0.
// The row on which the run ends (where its next character would go).
inline int layout_row(int total, int width) {
    return width > 0 ? total / width : 0;
}
// True when the run fills its last row exactly, leaving the terminal's
// cursor parked on the right margin instead of the next row.
inline bool layout_fills_row(int total, int width) {
    const int rows = layout_row(total, width);
    return rows != 0 && total == rows * width;
}
