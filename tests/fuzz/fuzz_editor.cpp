// The editor's key decoder and key actions on arbitrary bytes, at an
// arbitrary width (which may change, or not be known yet) and buffer size,
// with the line hidden and drawn again as other output would have it. The
// sanitizers watch every access; the cursor must stay inside the line and,
// once laid out, where the line's layout puts it.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "key_decode.h"
#include "line_edit.h"
#include "seams.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    cle_set_output_sink([](const char*, size_t) { return 0; });
    return 0;
}

// Input: width (0: not known yet), buffer size, lead and prompt lengths,
// then keys; 0xfe sets the width from the next byte, 0xfd hides and
// redraws the line.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    // A terminal that reports 0 or 1 columns counts as 80 wide, once known.
    const auto columns = [](int n) { return n > 1 ? n : 80; };
    int width = data[0] % 200 == 0 ? 0 : columns(data[0] % 200);
    const int max_len = 1 + data[1];
    const std::string lead(data[2] % 100, '-'), prompt(data[3] % 200, '>');
    std::vector<char> buffer(static_cast<size_t>(max_len));
    EditLine ed{};
    edit_begin(ed, lead.c_str(), prompt.c_str(), buffer.data(), max_len);
    KeyDecoder keys;
    for (size_t i = 4; i < size; ++i) {
        if (data[i] == 0xfe && i + 1 < size) {
            width = columns(data[++i]);
            continue;
        }
        if (data[i] == 0xfd && width > 0) {
            edit_hide(ed, width);
            edit_redraw(ed, width);
            continue;
        }
        const Key key = keys.feed(data[i], true);
        if (key.action == KeyAction::kLineEnd || key.action == KeyAction::kAbort) {
            edit_finish(ed, width, "\r\n");
            edit_begin(ed, "", prompt.c_str(), buffer.data(), max_len);
        } else {
            // Only typing at the end goes on without the width; any other
            // key has the editor measure it (80 when the terminal says 0).
            if (width == 0 && key.action != KeyAction::kInsert) width = 80;
            edit_key(ed, key, width);
        }
        if (ed.cmdptr < 0 || ed.cmdptr > ed.cmdlen || ed.cmdlen >= max_len) abort();
        if (ed.laid_width > 0) {
            const ScreenPos at = layout_pos(ed.prompt_len + ed.cmdptr, ed.laid_width);
            if (at.x != ed.line_x || at.y != ed.line_y) abort();
        }
    }
    return 0;
}
