// The editor's key decoder and key actions on arbitrary bytes, with a model
// of the terminal's screen as the oracle. After each action the screen
// shows the row text, the prompt and the line laid out at its width, with
// the cursor on the cursor's character; a byte that makes no action writes
// nothing; a line end leaves the cursor at the start of a row below the
// line. The width may change, or not be known to the editor yet; the line
// may be taken off the screen and drawn again, as other output has it. Left
// out: a window-size change before the editor has learnt the width (it then
// learns only the new one, not how the terminal wrapped the text before).
//
// Input: the width (0 or 1: 80 columns); the buffer size - 1; the row
// text's length (% 100), + 128 when the editor knows the width from the
// start; the prompt's length (% 200); then keys. 0xfe sets the width to the
// next byte's, 0xfd hides the line and draws it again.
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "cle_internal.h"
#include "key_decode.h"
#include "key_table.h"
#include "line_edit.h"
#include "screen.h"
#include "seams.h"

namespace {

std::string written;

// Shows what the editor wrote; a byte the screen does not know is a fault.
void show(zt::Screen& screen) {
    echo_fflush();
    if (!screen.show(written)) abort();
    written.clear();
}

// Shows what the editor wrote and checks the screen against the line. Until
// the editor has laid the line out, the terminal may keep a wrap pending at
// the margin, which is as good as the next row.
void check(zt::Screen& screen, const EditLine& ed, int width) {
    show(screen);
    const std::string run = std::string(ed.lead) + ed.cmdprompt + ed.cmdbuff;
    const int at = ed.prompt_len + ed.cmdptr, pending = screen.wrap_pending() ? 1 : 0;
    if (screen.text() != zt::Screen::laid_out(run, width) || (pending && ed.laid_width > 0) ||
        (pending ? 0 : screen.x()) != at % width || screen.y() + pending != at / width)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    cle_set_output_sink([](const char* bytes, size_t n) { written.append(bytes, n); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const auto columns = [](int n) { return n > 1 ? n : 80; };
    int width = columns(data[0]);
    bool known = data[2] >= 128;
    const int max_len = 1 + data[1];
    const std::string lead(data[2] % 128 % 100, '-'), prompt(data[3] % 200, '>');
    std::vector<char> buffer(static_cast<size_t>(max_len));
    EditLine ed{};
    zt::Screen screen(width);
    // A line begins as the editor begins it: row text and prompt shown, then
    // laid out if the width is known.
    const auto begin = [&](const char* row_text) {
        edit_begin(ed, row_text, prompt.c_str(), buffer.data(), max_len);
        screen = zt::Screen(width);
        written = row_text + prompt;
        settle_rows(ed, known ? width : 0);
        check(screen, ed, width);
    };
    begin(lead.c_str());
    KeyDecoder keys;
    for (size_t i = 4; i < size; ++i) {
        if (data[i] == 0xfe && i + 1 < size) {
            const int to = columns(data[++i]);
            if (!known) continue;
            screen.resize(width = to);
            ed.window_changed = true;  // as the editor notes it before its next action
            continue;
        }
        const Key key = data[i] == 0xfd ? Key{KeyAction::kHome} : keys.feed(data[i], true);
        if (key.action == KeyAction::kNone) {
            echo_fflush();
            if (!written.empty()) abort();  // the screen stays as it is
        } else if (data[i] == 0xfd) {
            known = true;
            edit_hide(ed, width);
            show(screen);
            if (!screen.text().empty() || screen.x() + screen.y() != 0) abort();
            edit_redraw(ed, width);
            check(screen, ed, width);
        } else if (key.action == KeyAction::kLineEnd || key.action == KeyAction::kAbort) {
            settle_rows(ed, known ? width : 0);  // the line end's first step
            check(screen, ed, width);
            // Below the line's last row (-1 / width is row 0 too) and the cursor's.
            const int below = std::max(screen.y(), (ed.prompt_len + ed.cmdlen - 1) / width) + 1;
            edit_finish(ed, known ? width : 0, "\r\n");
            show(screen);
            if (screen.x() != 0 || screen.y() != below) abort();
            begin("");
        } else {
            // Typing at the end goes on without the width; any other key
            // has the editor measure it.
            known = known || key.action != KeyAction::kInsert;
            edit_key(ed, key, known ? width : 0);
            check(screen, ed, width);
        }
    }
    return 0;
}
