// A terminal screen for the editor's bytes (see screen.h).
#include "screen.h"

#include <algorithm>

namespace zt {

namespace {

std::string without_trailing_blanks(std::string s) {
    s.erase(s.find_last_not_of(' ') + 1);
    return s;
}

}  // namespace

std::string& Screen::row(int y) {
    if (static_cast<size_t>(y) >= rows_.size()) rows_.resize(static_cast<size_t>(y) + 1);
    std::string& r = rows_[static_cast<size_t>(y)];
    r.resize(static_cast<size_t>(width_), ' ');
    return r;
}

void Screen::put(char c) {
    if (pending_) x_ = 0, ++y_, pending_ = false;
    row(y_)[static_cast<size_t>(x_)] = c;
    if (x_ == width_ - 1)
        pending_ = true;
    else
        ++x_;
}

// Acts on ESC [ n final at the start of rest; returns its length, 0 if unknown.
size_t Screen::escape(std::string_view rest) {
    size_t i = 2;
    int n = 0;
    while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9')
        n = n * 10 + (rest[i++] - '0');
    if (rest.substr(0, 2) != "\x1b[" || i >= rest.size()) return 0;
    const char final = rest[i];
    if (final == 'J' && i == 2) {
        row(y_).replace(static_cast<size_t>(x_), std::string::npos,
                        static_cast<size_t>(width_ - x_), ' ');
        rows_.resize(static_cast<size_t>(y_) + 1);
    } else if (final == 'A' && n > 0) {
        y_ = std::max(0, y_ - n);
    } else if (final == 'B' && n > 0) {
        y_ += n;
    } else if (final == 'C' && n > 0) {
        x_ = std::min(width_ - 1, x_ + n);
    } else {
        return 0;
    }
    pending_ = false;
    return i + 1;
}

bool Screen::show(std::string_view bytes) {
    bool known = true;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '\x1b') {
            const size_t n = escape(bytes.substr(i));
            known = known && n != 0;
            i += n == 0 ? 0 : n - 1;
        } else if (c == '\r' || c == '\n' || c == '\b') {
            if (c == '\r') x_ = 0;
            if (c == '\n') ++y_;
            if (c == '\b' && x_ > 0) --x_;
            pending_ = false;
        } else if (c >= ' ' && c <= '~') {
            put(c);
        } else {
            known = known && c == '\a';
        }
    }
    return known;
}

void Screen::resize(int width) {
    if (width == width_) return;
    width_ = width;
    for (std::string& r : rows_)
        r.resize(std::min(r.size(), static_cast<size_t>(width)));
    x_ = std::min(x_, width - 1);
    pending_ = false;
}

std::string Screen::text() const {
    std::string all;
    for (const std::string& r : rows_)
        all += without_trailing_blanks(r) + "\n";
    return all.erase(all.find_last_not_of('\n') + 1);
}

std::string Screen::laid_out(std::string_view run, int width) {
    Screen screen(width);
    for (const char c : run)
        screen.put(c);
    return screen.text();
}

}  // namespace zt
