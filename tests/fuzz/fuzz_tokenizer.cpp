// Fuzzes the command-line splitter and the word joiner on arbitrary bytes.
// The line is copied into a buffer of exactly its size, so any write or read
// past its end is caught by AddressSanitizer.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "command_parsing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> line(data, data + size);
    line.push_back('\0');
    char* const begin = line.data();
    char* const end = begin + line.size();

    // Length of the line as the split sees it: up to its first CR or LF.
    const size_t line_len = strcspn(begin, "\r\n");

    char* argv[kMaxWords];
    int argc = -1;
    const int rc = tokenizeString(begin, &argc, argv);
    if (rc == -1) return 0;
    if (rc != 0 || argc < 0 || argc > kMaxWords) abort();

    // Every word is a terminated string inside the line (or the one empty
    // word of a line without words), and the entries after the last are NULL.
    for (int i = 0; i < argc; ++i) {
        if (!argv[i]) abort();
        if (argv[i] >= begin && argv[i] < end) {
            if (!memchr(argv[i], '\0', static_cast<size_t>(end - argv[i]))) abort();
        } else if (argc != 1 || argv[i][0] != '\0') {
            abort();
        }
    }
    for (int i = argc; i < kMaxWords; ++i) {
        if (argv[i]) abort();
    }

    // Words of one line never join to more than the line: the local commands
    // size their buffers on that.
    std::vector<char> joined(line_len + 1);
    if (make_normalized_string_n(joined.data(), joined.size(), argc, argv) > line_len) abort();
    make_normalized_string(joined.data(), argc, argv);

    (void)get_bool_parm(argc, argv, size & 1);
    return 0;
}
