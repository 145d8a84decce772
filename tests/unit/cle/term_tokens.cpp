#include "term_tokens.h"

#include <algorithm>
#include <cstdio>

namespace {

// Parses ESC [ digits final at s[i]; returns its length, or 0 if it is not one.
size_t csi_length(std::string_view s, size_t i, int& count, char& final) {
    if (i + 2 >= s.size() || s[i] != '\x1b' || s[i + 1] != '[') return 0;
    size_t j = i + 2;
    count = 0;
    bool digits = false;
    while (j < s.size() && s[j] >= '0' && s[j] <= '9') {
        count = count * 10 + (s[j++] - '0');
        digits = true;
    }
    if (j >= s.size()) return 0;
    final = s[j];
    if (!digits) count = -1;
    return j + 1 - i;
}

}  // namespace

// Renders bytes as readable text with tokens for the control sequences.
std::string term_tokens(std::string_view bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size();) {
        int count = 0;
        char final = 0;
        if (size_t n = csi_length(bytes, i, count, final); n != 0) {
            if (final == 'J' && count < 0)
                out += "<ceos>";
            else if (final == 'A')
                out += "<up" + std::to_string(count) + ">";
            else if (final == 'B')
                out += "<down" + std::to_string(count) + ">";
            else if (final == 'C')
                out += "<right" + std::to_string(count) + ">";
            else
                out += "<csi" + std::string(bytes.substr(i + 2, n - 2)) + ">";
            i += n;
            continue;
        }
        const auto c = static_cast<unsigned char>(bytes[i++]);
        switch (c) {
            case '\r':
                out += "<cr>";
                break;
            case '\n':
                out += "<lf>";
                break;
            case '\b':
                out += "<bs>";
                break;
            case '\a':
                out += "<bel>";
                break;
            case '<':
                out += "<lt>";
                break;
            default:
                if (c >= 0x20 && c < 0x7f) {
                    out += static_cast<char>(c);
                } else {
                    char hex[8];
                    snprintf(hex, sizeof hex, "<x%02X>", c);
                    out += hex;
                }
        }
    }
    return out;
}

// Writes one printable character at the cursor, wrapping first if pending.
void TermModel::put(char c) {
    if (wrap_pending_) {
        wrap_pending_ = false;
        col_ = 0;
        ++row_;
    }
    if (rows_.size() <= static_cast<size_t>(row_)) rows_.resize(row_ + 1);
    std::string& r = rows_[row_];
    if (r.size() < static_cast<size_t>(width_)) r.resize(width_, ' ');
    r[col_] = c;
    if (col_ == width_ - 1)
        wrap_pending_ = true;
    else
        ++col_;
}

// Applies the editor's output bytes to the screen.
bool TermModel::apply(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size();) {
        int count = 0;
        char final = 0;
        if (size_t n = csi_length(bytes, i, count, final); n != 0) {
            wrap_pending_ = false;
            if (final == 'J' && count < 0) {
                // Erase from the cursor to the end of the screen.
                if (static_cast<size_t>(row_) < rows_.size()) {
                    std::string& r = rows_[row_];
                    if (r.size() > static_cast<size_t>(col_)) r.resize(col_);
                    rows_.resize(row_ + 1);
                }
            } else if (final == 'A' && count > 0) {
                // Above the top row is outside the editor's screen.
                if (count > row_ - top_) return false;
                row_ -= count;
            } else if (final == 'B' && count > 0) {
                row_ += count;
            } else if (final == 'C' && count > 0) {
                col_ = std::min(width_ - 1, col_ + count);
            } else {
                return false;
            }
            i += n;
            continue;
        }
        const char c = bytes[i++];
        if (c == '\r') {
            col_ = 0;
            wrap_pending_ = false;
        } else if (c == '\n') {
            ++row_;
            wrap_pending_ = false;
        } else if (c == '\b') {
            if (col_ > 0) --col_;
            wrap_pending_ = false;
        } else if (c == '\a') {
        } else if (c >= 0x20 && c < 0x7f) {
            put(c);
        } else {
            return false;
        }
    }
    return true;
}

// Returns the visible text from row `from` on, rows joined, trailing blanks
// dropped.
std::string TermModel::text(int from) const {
    std::string all;
    for (size_t r = static_cast<size_t>(std::max(from, 0)); r < rows_.size(); ++r) {
        std::string padded = rows_[r];
        padded.resize(width_, ' ');
        all += padded;
    }
    while (!all.empty() && all.back() == ' ')
        all.pop_back();
    return all;
}

// Returns one row's text without trailing blanks.
std::string TermModel::line(int row) const {
    std::string r = row >= 0 && static_cast<size_t>(row) < rows_.size() ? rows_[row] : "";
    while (!r.empty() && r.back() == ' ')
        r.pop_back();
    return r;
}

// Changes the width without reflowing the rows.
void TermModel::resize(int width) {
    width_ = width;
    for (std::string& r : rows_) {
        if (r.size() > static_cast<size_t>(width)) r.resize(width);
    }
    col_ = std::min(col_, width - 1);
    wrap_pending_ = false;
}
