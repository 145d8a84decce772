// The editor's key decoder and key actions on arbitrary bytes, with a model
// of the terminal's screen as the oracle: after every action the screen, fed
// what the editor wrote, shows the row text, the prompt and the line laid
// out at its width, with the cursor on the cursor's character; a byte that
// makes no action writes nothing; a line end leaves the cursor at the start
// of a row below the line. The width may change, or not be known to the
// editor yet; the line may be taken off the screen and drawn again as other
// output would have it. The sanitizers watch every access.
//
// Not covered: a window-size change before the editor has learnt the width.
// It learns the new one only, and cannot know how the terminal wrapped what
// was typed before.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "key_decode.h"
#include "line_edit.h"
#include "screen.h"
#include "seams.h"

namespace {

std::string written;

// A terminal that reports 0 or 1 columns counts as 80 wide.
int columns(int n) {
    return n > 1 ? n : 80;
}

void require(bool holds) {
    if (!holds) abort();
}

// Shows what the editor wrote and checks the screen against the line.
void check(zt::Screen& screen, const EditLine& ed, int width) {
    require(screen.show(written));
    written.clear();
    require(screen.text() ==
            zt::Screen::laid_out(std::string(ed.lead) + ed.cmdprompt + ed.cmdbuff, width));
    // Until it has laid the line out, the editor leaves the terminal's wrap
    // pending at the margin: the cursor is then as good as on the next row.
    const bool pending = screen.wrap_pending();
    require(!pending || ed.laid_width == 0);
    const int at = ed.prompt_len + ed.cmdptr;
    require((pending ? 0 : screen.x()) == at % width &&
            screen.y() + (pending ? 1 : 0) == at / width);
}

// The row below the line that a line end must leave the cursor on.
int row_below(const zt::Screen& screen) {
    const std::string text = screen.text();
    return std::max(screen.y(), static_cast<int>(std::count(text.begin(), text.end(), '\n'))) + 1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    cle_set_output_sink([](const char* bytes, size_t n) {
        written.append(bytes, n);
        return 0;
    });
    return 0;
}

// Input: the terminal's width; the buffer size - 1; the row text's length
// (% 100), + 128 when the editor knows the width from the start; the
// prompt's length (% 200); then keys. 0xfe sets the width to the next
// byte's, 0xfd hides the line and draws it again.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    int width = columns(data[0]);
    bool known = data[2] >= 128;
    const int max_len = 1 + data[1];
    const std::string lead(data[2] % 128 % 100, '-'), prompt(data[3] % 200, '>');
    std::vector<char> buffer(static_cast<size_t>(max_len));
    EditLine ed{};
    edit_begin(ed, lead.c_str(), prompt.c_str(), buffer.data(), max_len);
    zt::Screen screen(width);
    written = lead + prompt;
    KeyDecoder keys;
    for (size_t i = 4; i < size; ++i) {
        if (data[i] == 0xfe && i + 1 < size) {
            const int to = columns(data[++i]);
            if (known) screen.resize(width = to);
            continue;
        }
        if (data[i] == 0xfd) {
            known = true;
            edit_hide(ed, width);
            require(screen.show(written) && screen.text().empty() && screen.x() == 0 &&
                    screen.y() == 0);
            written.clear();
            edit_redraw(ed, width);
            check(screen, ed, width);
            continue;
        }
        const Key key = keys.feed(data[i], true);
        if (key.action == KeyAction::kNone) {
            require(written.empty());
        } else if (key.action == KeyAction::kLineEnd || key.action == KeyAction::kAbort) {
            const int below = row_below(screen);
            edit_finish(ed, known ? width : 0, "\r\n");
            require(screen.show(written) && screen.x() == 0 && screen.y() == below);
            written = prompt;
            screen = zt::Screen(width);
            edit_begin(ed, "", prompt.c_str(), buffer.data(), max_len);
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
