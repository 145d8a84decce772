// C escapes and LF framing for the simulator programs.
#include "sim_text.h"

#include <stdio.h>

// Returns the value of hex digit c, or -1.
static int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int sim_unescape(std::string_view in, std::string* out) {
    out->clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\\') {
            out->push_back(in[i]);
            continue;
        }
        if (++i == in.size()) return -1;
        switch (in[i]) {
            case 'n':
                out->push_back('\n');
                break;
            case 'r':
                out->push_back('\r');
                break;
            case 't':
                out->push_back('\t');
                break;
            case '0':
                out->push_back('\0');
                break;
            case '\\':
                out->push_back('\\');
                break;
            case 'x': {
                int value = -1;
                int digits = 0;
                while (digits < 2 && i + 1 < in.size()) {
                    int d = hex_value(static_cast<unsigned char>(in[i + 1]));
                    if (d < 0) break;
                    value = (value < 0 ? 0 : value * 16) + d;
                    ++digits;
                    ++i;
                }
                if (value < 0) return -1;
                out->push_back(static_cast<char>(static_cast<unsigned char>(value)));
                break;
            }
            default:
                return -1;
        }
    }
    return 0;
}

std::string sim_escape(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    for (char ch : in) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c > 0x7E) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned>(c));
            out += hex;
        } else {
            out.push_back(ch);
        }
    }
    return out;
}

void sim_linebuf_append(SimLineBuf* buf, const char* bytes, size_t len) {
    // Drop the consumed front once it dominates, so the buffer stays small
    // without moving bytes after every line.
    if (buf->start > 0 && buf->start * 2 >= buf->data.size()) {
        buf->data.erase(0, buf->start);
        buf->start = 0;
    }
    buf->data.append(bytes, len);
}

int sim_linebuf_take(SimLineBuf* buf, std::string* line) {
    size_t lf = buf->data.find('\n', buf->start);
    if (lf == std::string::npos) {
        return sim_linebuf_pending(buf) >= buf->max_line ? -1 : 0;
    }
    if (lf + 1 - buf->start > buf->max_line) return -1;
    size_t end = lf;
    if (end > buf->start && buf->data[end - 1] == '\r') --end;
    line->assign(buf->data, buf->start, end - buf->start);
    buf->start = lf + 1;
    if (buf->start == buf->data.size()) {
        buf->data.clear();
        buf->start = 0;
    }
    return 1;
}

size_t sim_linebuf_pending(const SimLineBuf* buf) {
    return buf->data.size() - buf->start;
}

std::string_view sim_split_word(std::string_view text, std::string_view* head) {
    size_t space = text.find(' ');
    if (space == std::string_view::npos) {
        *head = text;
        return {};
    }
    *head = text.substr(0, space);
    return text.substr(space + 1);
}
