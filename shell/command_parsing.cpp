// Splits a command line into words in place: blanks separate words, a double
// quote starts a word in which backslash escapes are decoded, and a '#' that
// starts the first word makes the line a comment. Words are pointers into the
// caller's line; nothing is allocated and no state is kept between calls.
#include "command_parsing.h"

#include <assert.h>
#include <string.h>
#include <strings.h>

namespace {

// The word of a line that has none. Not a pointer into the line, so a caller
// may look at argv[0] even for an empty line; nobody writes through it.
char empty_word[1] = {'\0'};

// True for the characters that separate words.
bool is_word_separator(char c) {
    return c == ' ' || c == '\t';
}

// Value of an octal digit, or -1.
int octal_value(char c) {
    return (c >= '0' && c <= '7') ? c - '0' : -1;
}

// Value of a hexadecimal digit of either case, or -1. Spelled out so that
// neither the locale nor the signedness of char plays a part.
int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The byte a one-letter control escape stands for, or -1 when e is none.
int control_escape(char e) {
    switch (e) {
        case 'a':
            return 0x07;
        case 'b':
            return 0x08;
        case 'f':
            return 0x0C;
        case 'n':
            return 0x0A;
        case 'r':
            return 0x0D;
        case 't':
            return 0x09;
        case 'v':
            return 0x0B;
        default:
            return -1;
    }
}

// Reads a run of digits of one base starting at p into the low 8 bits of a
// byte, however long the run (unsigned arithmetic: overflow only drops the
// high bits we throw away anyway). Sets *end after the last digit.
char read_number(char* p, unsigned base, int (*digit)(char), char** end) {
    unsigned value = 0;
    for (int d; (d = digit(*p)) >= 0; ++p)
        value = value * base + static_cast<unsigned>(d);
    *end = p;
    return static_cast<char>(static_cast<unsigned char>(value & 0xFFu));
}

// Cuts line at its first line feed, then at its first carriage return.
void rip(char* line) {
    assert(line);
    if (char* lf = strchr(line, '\n')) *lf = '\0';
    if (char* cr = strchr(line, '\r')) *cr = '\0';
}

// Decodes one quoted word in place, starting just after its opening quote.
// Returns where the scan resumes, or NULL on a malformed escape.
char* findDelimiter(char* line) {
    assert(line);
    // w never passes r: each step consumes at least as many bytes as it
    // writes, so the word is rewritten over itself.
    char* r = line;
    char* w = line;
    for (;;) {
        const char c = *r;
        if (c == '\0') {  // an unclosed quote runs to the end of the line
            *w = '\0';
            return r;
        }
        if (c == '"') {
            *w = '\0';
            return r + 1;
        }
        if (c != '\\') {
            *w++ = c;
            ++r;
            continue;
        }
        const char e = r[1];
        if (e == '\0') return nullptr;  // a lone backslash at the end
        if (const int ctl = control_escape(e); ctl >= 0) {
            *w++ = static_cast<char>(ctl);
            r += 2;
        } else if (e == 'u') {  // kept as typed; what follows is ordinary text
            *w++ = '\\';
            *w++ = 'u';
            r += 2;
        } else if (octal_value(e) >= 0) {
            *w++ = read_number(r + 1, 8, octal_value, &r);
        } else if (e == 'x') {  // no digit after the x gives 0
            *w++ = read_number(r + 2, 16, hex_value, &r);
        } else {  // backslash, quotes, '?' and anything unknown: the character
            *w++ = e;
            r += 2;
        }
    }
}

}  // namespace

int tokenizeString(char* line, int* argc, char** argv) {
    assert(line);
    assert(argc);
    assert(argv);
    rip(line);
    for (int i = 0; i < kMaxWords; ++i)
        argv[i] = nullptr;

    int n = 0;
    char* p = line;
    while (n < kMaxWords) {
        while (is_word_separator(*p))
            ++p;
        if (*p == '\0') break;
        if (n == 0 && *p == '#') {
            *argc = 0;
            return 0;
        }
        if (*p == '"') {
            char* word = p + 1;
            char* next = findDelimiter(word);
            if (!next) return -1;
            argv[n++] = word;
            p = next;
            continue;
        }
        argv[n++] = p;
        // A tab ends the word only when no space follows anywhere later in
        // the line: the first space is looked for before any tab.
        char* end = strchr(p, ' ');
        if (!end) end = strchr(p, '\t');
        if (!end) break;
        *end = '\0';
        p = end + 1;
    }
    if (n == 0) {
        argv[0] = empty_word;
        n = 1;
    }
    *argc = n;
    return 0;
}

size_t make_normalized_string_n(char* buffer, size_t size, int argc, char** argv) {
    size_t total = 0;  // length of the whole joined text
    size_t used = 0;   // characters actually written
    auto append = [&](const char* s, size_t len) {
        if (size > 0 && used + 1 < size) {
            const size_t room = size - 1 - used;
            const size_t take = len < room ? len : room;
            memcpy(buffer + used, s, take);
            used += take;
        }
        total += len;
    };
    for (int i = 0; i < argc; ++i) {
        if (i > 0) append(" ", 1);
        append(argv[i], strlen(argv[i]));
    }
    if (size > 0) buffer[used] = '\0';
    return total;
}

void make_normalized_string(char* buffer, int argc, char** argv) {
    // Unbounded by contract: words split from one line never join to more
    // than that line's length.
    make_normalized_string_n(buffer, static_cast<size_t>(-1), argc, argv);
}

int get_bool_parm(int argc, char** argv, int current_state) {
    const int toggled = current_state == 0 ? 1 : 0;
    if (argc < 2) return toggled;
    if (strcasecmp(argv[1], "on") == 0) return -1;
    if (strcasecmp(argv[1], "off") == 0) return 0;
    return toggled;
}
