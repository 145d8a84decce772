// The line editor's key actions driven by an arbitrary key stream at an
// arbitrary width, checked after every action against a model of the line
// and the cursor, and against a terminal model of the screen it drew.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "cle_internal.h"
#include "line_edit.h"
#include "term_tokens.h"

namespace {

std::string sent;

int capture(const char* bytes, size_t n) {
    sent.append(bytes, n);
    return 0;
}

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "editor fuzz: %s\n", what);
    abort();
}

}  // namespace

// Input: width, prompt length, buffer size, then one byte per action.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const int width = 2 + data[0] % 100;
    const std::string prompt(data[1] % width, '>');
    const int max_len = 1 + data[2] % 200;
    cle_set_output_sink(capture);
    sent.clear();

    char buffer[256];
    EditLine ed{};
    edit_begin(ed, prompt.c_str(), buffer, max_len);
    TermModel screen(width);
    screen.apply(prompt);
    std::string line;  // the model
    int cursor = 0;

    for (size_t i = 3; i < size; ++i) {
        const uint8_t key = data[i];
        switch (key % 8) {
            case 0:
            case 1:
            case 2: {
                const char c = static_cast<char>(0x20 + key % 95);
                edit_insert(ed, width, c);
                if (static_cast<int>(line.size()) < max_len - 1) line.insert(cursor++, 1, c);
                break;
            }
            case 3:
                edit_backspace(ed, width);
                if (cursor > 0) line.erase(--cursor, 1);
                break;
            case 4:
                edit_delete(ed, width);
                if (cursor < static_cast<int>(line.size())) line.erase(cursor, 1);
                break;
            case 5:
                if (key & 0x80) {
                    edit_left(ed, width);
                    if (cursor > 0) --cursor;
                } else {
                    edit_right(ed, width);
                    if (cursor < static_cast<int>(line.size())) ++cursor;
                }
                break;
            case 6:
                if (key & 0x80) {
                    edit_home(ed);
                    cursor = 0;
                } else {
                    edit_end(ed, width);
                    cursor = static_cast<int>(line.size());
                }
                break;
            case 7:
                edit_clear(ed);
                line.clear();
                cursor = 0;
                break;
        }
        direct_fflush();
        if (!screen.apply(sent)) fail("a byte the editor never writes, or a move above the prompt");
        sent.clear();
        if (line != ed.cmdbuff || ed.cmdlen != static_cast<int>(line.size())) fail("line");
        if (ed.cmdptr != cursor) fail("cursor in the line");
        const int at = ed.prompt_len + cursor;
        if (ed.line_x != at % width || ed.line_y != at / width) fail("cursor bookkeeping");
        if (screen.col() != ed.line_x || screen.row() != ed.line_y) fail("cursor on the screen");
        std::string shown = prompt + line;
        while (!shown.empty() && shown.back() == ' ')
            shown.pop_back();
        if (screen.text() != shown) fail("screen");
    }
    cle_set_output_sink(nullptr);
    return 0;
}
