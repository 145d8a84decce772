// Key actions of the line editor and the cursor bookkeeping behind them.
//
// The text already on the row (the caller's lead, such as the shell's
// mark), the prompt and the line are one run of prompt_len + cmdlen
// characters from column 0 that wraps every `width` columns; character i of
// the line sits at row (prompt_len + i) / width, column
// (prompt_len + i) % width. The cursor position is never read back from the
// terminal: line_x and line_y are kept here.
//
// Every byte the editor sends to the terminal:
//   ESC [ n C   cursor right n columns (n >= 1)
//   ESC [ n A   cursor up n rows (n >= 1)
//   ESC [ n B   cursor down n rows (n >= 1)
//   ESC [ J     erase from the cursor to the end of the screen
//   CR          to column 0 of the current row
//   BS          one column left within a row
//   SP BS       after a character in the last column: terminals park the
//               cursor on the margin with the wrap still pending, so a
//               space forces the wrap and the backspace returns to column
//               0 of the new row
//   CR LF       cursor right from the last column of a row, and the line
//               end (after ESC [ n B down to the line's last row when the
//               cursor is above it)
//   LF CR       the line end on serial sessions that keep CR untranslated
//   BEL         beep: the action was refused
//   printable   the typed text; the lead, the prompt and the line redrawn
// (editor.cpp chooses which line end edit_finish writes.)
#include "line_edit.h"

#include <cstring>

#include "cle_internal.h"

namespace {

// Bytes from the cursor to the end of the line, terminator included.
size_t tail_size(const EditLine& ed) {
    return static_cast<size_t>(ed.cmdlen - ed.cmdptr) + 1;
}

// Writes the line from the cursor to its end.
void echo_tail(const EditLine& ed) {
    echo_write(ed.cmdbuff + ed.cmdptr, ed.cmdlen - ed.cmdptr);
}

// Writes a carriage return and moves up to the lead's row (what follows
// sets the bookkeeping).
void echo_to_first_row(const EditLine& ed) {
    echo_putchar('\r');
    echo_cursor(ed.line_y, 'A');
}

// After a redraw left the terminal's cursor at column 0 of row `rows`,
// moves it back to (line_x, line_y).
void echo_back_from_row(const EditLine& ed, int rows) {
    echo_cursor(rows - ed.line_y, 'A');
    echo_cursor(ed.line_x, 'C');
}

// Moves the cursor to the line's first character, just after the prompt,
// which a prompt as wide as the terminal puts on a later row.
void echo_to_input_start(EditLine& ed, int width) {
    const ScreenPos start = layout_pos(ed.prompt_len, width);
    echo_putchar('\r');
    echo_cursor(ed.line_y - start.y, 'A');
    echo_cursor(start.x, 'C');
    ed.line_y = start.y;
    ed.line_x = start.x;
}

// Writes lead, prompt and the whole line from column 0 of the lead's row and
// leaves the bookkeeping at the end of the line: a space and a backspace
// take a cursor parked on the margin to the next row. grew: the terminal is
// wider than the layout on the screen, whose lower rows must go.
void echo_whole_line(EditLine& ed, int width, bool grew) {
    echo_fputs(ed.lead);
    echo_fputs(ed.cmdprompt);
    echo_write(ed.cmdbuff, ed.cmdlen);
    const int total = ed.prompt_len + ed.cmdlen;
    const ScreenPos end = layout_pos(total, width);
    ed.line_x = end.x;
    ed.line_y = end.y;
    if (layout_fills_row(total, width)) echo_fputs(" \b");
    if (grew) echo_fputs("\x1b[J");
    ed.cmdptr = ed.cmdlen;
    ed.laid_width = width;
    ed.window_changed = false;
}

// Moves the cursor from the end of the line back to character `to`.
void echo_back_to(EditLine& ed, int width, int to) {
    const ScreenPos at = layout_pos(ed.prompt_len + to, width);
    if (to != ed.cmdptr) {
        echo_putchar('\r');
        echo_cursor(ed.line_y - at.y, 'A');
        echo_cursor(at.x, 'C');
    }
    ed.line_x = at.x;
    ed.line_y = at.y;
    ed.cmdptr = to;
}

}  // namespace

// Starts an empty line in buffer with the cursor just after lead and prompt.
void edit_begin(EditLine& ed, const char* lead, const char* prompt, char* buffer, int max_len) {
    buffer[0] = '\0';
    const int start = static_cast<int>(strlen(lead) + strlen(prompt));
    ed = EditLine{buffer, max_len, lead, prompt, start, 0, 0, start, 0, 0, false};
}

// Lays the bookkeeping out for width; see line_edit.h.
void settle_rows(EditLine& ed, int width) {
    if (ed.laid_width == 0) {
        // Until now nothing wrapped and the cursor is where the last
        // character went. (With the width still unknown this changes
        // nothing.)
        const ScreenPos at = layout_pos(ed.line_x, width);
        ed.line_y += at.y;
        ed.line_x = at.x;
        ed.laid_width = width;
        ed.window_changed = false;
        if (at.y != 0 && at.x == 0) echo_fputs(" \b");
        return;
    }
    // Once laid out, the line is drawn again after any window change (the
    // editor learns of every one, also one back to the laid-out width).
    if (!ed.window_changed) return;
    const bool grew = width > ed.laid_width;
    const int cursor = ed.cmdptr;
    echo_to_first_row(ed);
    echo_whole_line(ed, width, grew);
    echo_back_to(ed, width, cursor);
}

void beep() {
    echo_putchar('\a');
}

// Inserts c at the cursor, or beeps when the line is full.
void edit_insert(EditLine& ed, int width, char c) {
    if (ed.cmdlen >= ed.max_len - 1) {
        beep();
        return;
    }
    if (ed.cmdptr == ed.cmdlen) {
        ed.cmdbuff[ed.cmdlen++] = c;
        ed.cmdbuff[ed.cmdlen] = '\0';
        ++ed.cmdptr;
        echo_putchar(c);
        // While the width is unknown nothing wraps; settle_rows
        // catches up once it is learnt.
        if (++ed.line_x >= width && width != 0) {
            ed.line_x = 0;
            ++ed.line_y;
            echo_fputs(" \b");
        }
        return;
    }
    memmove(ed.cmdbuff + ed.cmdptr + 1, ed.cmdbuff + ed.cmdptr, tail_size(ed));
    ed.cmdbuff[ed.cmdptr] = c;
    ++ed.cmdlen;
    echo_tail(ed);
    ++ed.cmdptr;
    const int total = ed.prompt_len + ed.cmdlen;
    const int rows = layout_row(total, width);
    // The redraw ends at column 0 of `rows` either way. (Inside the line the
    // width is known: the cursor got there by a key that needed it.)
    echo_fputs(layout_fills_row(total, width) ? " \b" : "\r");
    if (++ed.line_x >= width) {
        ed.line_x = 0;
        ++ed.line_y;
    }
    echo_back_from_row(ed, rows);
}

// Removes the character before the cursor and redraws the rest, or beeps at
// the start of the line.
void edit_backspace(EditLine& ed, int width) {
    if (ed.cmdptr == 0) {
        beep();
        return;
    }
    memmove(ed.cmdbuff + ed.cmdptr - 1, ed.cmdbuff + ed.cmdptr, tail_size(ed));
    --ed.cmdlen;
    --ed.cmdptr;
    if (--ed.line_x < 0) {
        // From column 0 of a continuation row to the last column above.
        ed.line_x = width - 1;
        --ed.line_y;
        echo_putchar('\r');
        echo_cursor(1, 'A');
        echo_cursor(width - 1, 'C');
    } else {
        echo_putchar('\b');
    }
    echo_fputs("\x1b[J");
    if (ed.cmdptr == ed.cmdlen) return;
    const int total = ed.prompt_len + ed.cmdlen;
    const int rows = layout_row(total, width);
    echo_tail(ed);
    // A full last row leaves the wrap pending: the space completes it so the
    // carriage return lands on row `rows` in every case.
    if (layout_fills_row(total, width)) echo_putchar(' ');
    echo_putchar('\r');
    echo_cursor(rows, 'A');
    echo_cursor(ed.line_y, 'B');
    echo_cursor(ed.line_x, 'C');
}

// Removes the character at the cursor and redraws the rest, or beeps at the
// end of the line.
void edit_delete(EditLine& ed, int width) {
    if (ed.cmdptr == ed.cmdlen) {
        beep();
        return;
    }
    memmove(ed.cmdbuff + ed.cmdptr, ed.cmdbuff + ed.cmdptr + 1, tail_size(ed) - 1);
    --ed.cmdlen;
    echo_fputs("\x1b[J");
    if (ed.cmdptr == ed.cmdlen) return;
    const int total = ed.prompt_len + ed.cmdlen;
    echo_tail(ed);
    if (layout_fills_row(total, width)) echo_fputs(" \b");
    echo_putchar('\r');
    echo_back_from_row(ed, layout_row(total, width));
}

// Moves the cursor one character left, up to the end of the row above when
// it is in column 0. Nothing at the start of the line.
void edit_left(EditLine& ed, int width) {
    if (ed.cmdptr == 0) return;
    if (ed.line_x > 0) {
        echo_putchar('\b');
        --ed.line_x;
    } else if (ed.line_y != 0) {
        echo_putchar('\r');
        echo_cursor(1, 'A');
        echo_cursor(width - 1, 'C');
        --ed.line_y;
        ed.line_x = width - 1;
    }
    --ed.cmdptr;
}

// Moves the cursor one character right, down to the next row from the last
// column. Nothing at the end of the line.
void edit_right(EditLine& ed, int width) {
    if (ed.cmdptr >= ed.cmdlen) return;
    if (ed.line_x < width - 1) {
        echo_cursor(1, 'C');
        ++ed.line_x;
    } else {
        echo_fputs("\r\n");
        ed.line_x = 0;
        ++ed.line_y;
    }
    ++ed.cmdptr;
}

// Moves the cursor to the start of the line, just after the prompt.
void edit_home(EditLine& ed, int width) {
    if (ed.cmdptr == 0) return;
    echo_to_input_start(ed, width);
    ed.cmdptr = 0;
}

// Moves the cursor to the end of the line by drawing lead, prompt and line
// again.
void edit_end(EditLine& ed, int width) {
    if (ed.cmdptr == ed.cmdlen) return;
    echo_to_first_row(ed);
    echo_whole_line(ed, width, false);
}

// Erases the line from the screen and empties it; the call goes on.
void edit_clear(EditLine& ed, int width) {
    if (ed.cmdptr != 0) echo_to_input_start(ed, width);
    echo_fputs("\x1b[J");
    ed.cmdlen = 0;
    ed.cmdptr = 0;
    ed.cmdbuff[0] = '\0';
}

// Acts on one key with the edit that the key table gives its action.
// Ends the line below its last row of text. With no layout yet the cursor
// is at the end of the text anyway.
void edit_finish(EditLine& ed, int width, const char* line_end) {
    settle_rows(ed, width);
    // The row of the last character (an empty run's -1 is on row 0 too).
    const int last_row = layout_row(ed.prompt_len + ed.cmdlen - 1, ed.laid_width);
    echo_cursor(last_row - ed.line_y, 'B');
    echo_fputs(line_end);
}

// Takes lead, prompt and line off the screen.
void edit_hide(EditLine& ed, int width) {
    settle_rows(ed, width);
    echo_to_first_row(ed);
    echo_fputs("\x1b[J");
}

// Draws lead, prompt and line on the cursor's row, which the caller has just
// begun, and returns the cursor to its character.
void edit_redraw(EditLine& ed, int width) {
    const int cursor = ed.cmdptr;
    echo_whole_line(ed, width, false);
    echo_back_to(ed, width, cursor);
}
