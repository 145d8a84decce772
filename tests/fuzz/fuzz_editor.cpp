// The line editor's key decoder and key actions driven by an arbitrary
// stream of keys, resizes and output from another thread, at an arbitrary
// width after text already on the row, checked after every step against a
// model of the line and a terminal model of the screen (see edit_check.h).
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "edit_check.h"

// Input: width (two bytes), lead and prompt lengths, buffer size, then one
// step per byte: 0xf0 and up are the non-key steps, some taking the next
// byte as their argument; anything else picks a key.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const int width = 1 + (data[0] << 8 | data[1]) % 300;
    const std::string lead(data[2] % (width + 1), '-');
    const std::string prompt(data[3] * 2 * width / 255, '>');
    EditCheck e(width, lead, prompt, 1 + data[4] * 2);
    for (size_t i = 5; i < size; ++i) {
        const uint8_t step = data[i];
        const uint8_t arg = i + 1 < size ? data[i + 1] : 0;
        std::string failure;
        if (step < 0xf0) {
            failure = e.type(EditCheck::sample_key(step));
        } else if (step == 0xf0) {
            failure = e.resize(1 + arg);
            ++i;
        } else if (step == 0xf1) {
            failure = e.learn_width();
        } else if (step == 0xf2) {
            failure = e.interrupt(std::string(arg % (2 * e.width() + 1), 'o'));
            ++i;
        } else if (step == 0xf3) {
            e.pause();
        } else {
            failure = e.type(std::string(1, static_cast<char>(arg)));  // any byte
            ++i;
        }
        if (!failure.empty()) {
            fprintf(stderr, "editor fuzz: %s\n", failure.c_str());
            abort();
        }
    }
    return 0;
}
