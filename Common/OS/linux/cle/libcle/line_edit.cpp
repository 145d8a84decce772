// Key actions of the line editor and the cursor bookkeeping behind them.
//
// The prompt and the line are one run of prompt_len + cmdlen characters that
// wraps every `width` columns; character i of the line sits at row
// (prompt_len + i) / width, column (prompt_len + i) % width. The cursor
// position is never read back from the terminal: line_x and line_y are
// kept here.
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
//               end
//   LF CR       the line end on serial sessions that keep CR untranslated
//   BEL         beep: the action was refused
//   printable   the typed text, the prompt and the line redrawn
// (The line end is written by editor.cpp.)
#include "line_edit.h"

#include <cstring>

#include "cle_internal.h"

namespace {

// Writes the line from the cursor to its end.
void echo_tail(const EditLine& ed) {
    echo_write(ed.cmdbuff + ed.cmdptr, ed.cmdlen - ed.cmdptr);
}

// Writes a carriage return and moves up to the prompt's row.
void echo_to_first_row(EditLine& ed) {
    echo_putchar('\r');
    if (ed.line_y != 0) {
        echo_cursor(ed.line_y, 'A');
        ed.line_y = 0;
    }
}

// After a redraw left the terminal's cursor at column 0 of row `rows`,
// moves it back to (line_x, line_y).
void echo_back_from_row(const EditLine& ed, int rows) {
    if (rows != ed.line_y) echo_cursor(rows - ed.line_y, 'A');
    if (ed.line_x != 0) echo_cursor(ed.line_x, 'C');
}

}  // namespace

// Starts an empty line in buffer with the cursor just after the prompt.
void edit_begin(EditLine& ed, const char* prompt, char* buffer, int max_len) {
    buffer[0] = '\0';
    ed = EditLine{buffer, max_len, prompt, static_cast<int>(strlen(prompt)), 0, 0, 0, 0};
    ed.line_x = ed.prompt_len;
}

// Queues the beep for a refused action.
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
        if (++ed.line_x >= width && width > 0) {
            ed.line_x = 0;
            ++ed.line_y;
            echo_fputs(" \b");
        }
        return;
    }
    memmove(ed.cmdbuff + ed.cmdptr + 1, ed.cmdbuff + ed.cmdptr, ed.cmdlen - ed.cmdptr + 1);
    ed.cmdbuff[ed.cmdptr] = c;
    ++ed.cmdlen;
    echo_tail(ed);
    ++ed.cmdptr;
    const int total = ed.prompt_len + ed.cmdlen;
    const int rows = layout_row(total, width);
    // The redraw ends at column 0 of `rows` either way.
    echo_fputs(layout_fills_row(total, width) ? " \b" : "\r");
    if (++ed.line_x >= width && width > 0) {
        ed.line_x = 0;
        ++ed.line_y;
    }
    echo_back_from_row(ed, rows);
}

// Removes the character before the cursor and redraws the rest, or beeps at
// the start of the ed.
void edit_backspace(EditLine& ed, int width) {
    if (ed.cmdptr == 0) {
        beep();
        return;
    }
    memmove(ed.cmdbuff + ed.cmdptr - 1, ed.cmdbuff + ed.cmdptr, ed.cmdlen - ed.cmdptr + 1);
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
    if (rows != 0) {
        // A full last row leaves the wrap pending: the space completes it so
        // the carriage return lands on row `rows` in every case.
        if (layout_fills_row(total, width)) echo_putchar(' ');
        echo_putchar('\r');
        echo_cursor(rows, 'A');
    } else {
        echo_putchar('\r');
    }
    if (ed.line_y != 0) echo_cursor(ed.line_y, 'B');
    if (ed.line_x != 0) echo_cursor(ed.line_x, 'C');
}

// Removes the character at the cursor and redraws the rest, or beeps at the
// end of the ed.
void edit_delete(EditLine& ed, int width) {
    if (ed.cmdptr == ed.cmdlen) {
        beep();
        return;
    }
    memmove(ed.cmdbuff + ed.cmdptr, ed.cmdbuff + ed.cmdptr + 1, ed.cmdlen - ed.cmdptr);
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
// it is in column 0. Nothing at the start of the ed.
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
// column. Nothing at the end of the ed.
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
void edit_home(EditLine& ed) {
    if (ed.cmdptr == 0) return;
    echo_to_first_row(ed);
    ed.line_x = ed.prompt_len;
    if (ed.line_x != 0) echo_cursor(ed.line_x, 'C');
    ed.cmdptr = 0;
}

// Moves the cursor to the end of the line by redrawing prompt and ed.
void edit_end(EditLine& ed, int width) {
    if (ed.cmdptr == ed.cmdlen) return;
    echo_to_first_row(ed);
    echo_fputs(ed.cmdprompt);
    echo_fputs(ed.cmdbuff);
    const int total = ed.prompt_len + ed.cmdlen;
    ed.line_y = layout_row(total, width);
    ed.line_x = width > 0 ? total % width : total;
    if (ed.line_y != 0 && ed.line_x == 0) echo_fputs(" \b");
    ed.cmdptr = ed.cmdlen;
}

// Erases the line from the screen and empties it; the call goes on.
void edit_clear(EditLine& ed) {
    if (ed.cmdptr != 0) {
        echo_to_first_row(ed);
        ed.line_x = ed.prompt_len;
        if (ed.line_x != 0) echo_cursor(ed.line_x, 'C');
    }
    echo_fputs("\x1b[J");
    ed.cmdlen = 0;
    ed.cmdptr = 0;
    ed.cmdbuff[0] = '\0';
}

// Folds a cursor column past the width onto the rows below it.
void settle_rows(EditLine& ed, int width) {
    if (width <= 0) return;
    while (ed.line_x >= width) {
        ed.line_x -= width;
        ++ed.line_y;
    }
}
