// Text helpers shared by the simulator programs: C escapes for bytes typed
// on a control line, and LF framing of a received byte stream.
#pragma once

#include <stddef.h>

#include <string>
#include <string_view>

// Decodes the C escapes \n \r \t \0 \\ and \xHH (one or two hex digits) of
// in into out; other bytes are copied. Returns 0, or -1 for an unknown or
// incomplete escape (out is then unspecified).
int sim_unescape(std::string_view in, std::string* out);

// Writes in with every byte outside 0x20..0x7E (and the backslash) as an
// escape that sim_unescape reads back, so any line prints on one line.
std::string sim_escape(std::string_view in);

// Received bytes waiting to be cut into lines. max_line bounds a line
// counted with its LF; more bytes without an LF are refused.
struct SimLineBuf {
    std::string data;
    size_t start = 0;  // first unconsumed byte of data
    size_t max_line = 16384;
};

// Appends len received bytes to buf.
void sim_linebuf_append(SimLineBuf* buf, const char* bytes, size_t len);

// Takes the next complete line out of buf into line, without its LF and
// without one CR before it. Returns 1 for a line, 0 when no complete line is
// buffered yet, -1 when the next line exceeds the limit.
int sim_linebuf_take(SimLineBuf* buf, std::string* line);

// Number of buffered bytes not yet taken.
size_t sim_linebuf_pending(const SimLineBuf* buf);

// Splits text at its first space: head gets the part before it, and the
// result is the part after it (empty when there is no space).
std::string_view sim_split_word(std::string_view text, std::string_view* head);
