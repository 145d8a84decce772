// The one owner of the shell's heap text: a buffer of characters that frees
// itself. Allocation does not throw: a buffer is empty when memory was short,
// and its user does without, as it would after a failed malloc.
#pragma once

#include <stddef.h>
#include <string.h>

#include <memory>
#include <new>

using TextBuffer = std::unique_ptr<char[]>;

// A buffer of size characters, or an empty one.
inline TextBuffer text_buffer(size_t size) {
    return TextBuffer(new (std::nothrow) char[size]);
}

// A copy of text and its terminator, or an empty buffer.
inline TextBuffer text_copy(const char* text) {
    const size_t size = strlen(text) + 1;
    TextBuffer copy = text_buffer(size);
    if (copy) memcpy(copy.get(), text, size);
    return copy;
}
