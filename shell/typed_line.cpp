// The trimming and the bang rewrite of a typed line.
#include "typed_line.h"

#include <string.h>

#include "session.h"

namespace {

// The characters trimmed off a line's ends: control characters and space.
// Bytes of 127 and above stay.
bool is_space_or_control(unsigned char c) {
    return c >= 1 && c <= 32;
}

}  // namespace

void trim_command_line(char* line) {
    size_t start = 0;
    while (is_space_or_control(static_cast<unsigned char>(line[start])))
        ++start;
    size_t len = strlen(line + start);
    memmove(line, line + start, len + 1);
    while (len > 0 && is_space_or_control(static_cast<unsigned char>(line[len - 1])))
        line[--len] = '\0';
}

void preprocess_legacy_bang_input_cmd(char* input) {
    size_t len = strlen(input);
    if (len <= 1 || input[0] != '!' || len + 2 > static_cast<size_t>(kCmdBuffSize)) return;
    memmove(input + 2, input + 1, len);  // the rest and its terminator
    input[1] = ' ';
}
