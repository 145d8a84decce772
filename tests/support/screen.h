// A terminal screen for the line editor's bytes, for tests and fuzz targets
// alike: printable characters, CR, LF, BS, BEL, ESC [ n A/B/C (cursor up,
// down, right), ESC [ J (erase below), and the wrap that a terminal keeps
// pending after a character in the last column until the next character.
// Rows grow downwards without end; a resize cuts them, it does not reflow.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace zt {

class Screen {
  public:
    explicit Screen(int width) : width_(width) {}

    // Shows bytes. Returns false if one of them is none of the above.
    bool show(std::string_view bytes) {
        bool known = true;
        for (size_t i = 0; i < bytes.size(); ++i) {
            const char c = bytes[i];
            if (c >= ' ' && c <= '~') {
                if (pending_) x_ = 0, ++y_;
                row()[static_cast<size_t>(x_)] = c;
                pending_ = x_ == width_ - 1;
                x_ += pending_ ? 0 : 1;
                continue;
            }
            const size_t n = c == '\x1b' ? escape(bytes.substr(i)) : 0;
            known =
                known && (std::string_view("\r\n\b\a").find(c) != std::string_view::npos || n > 0);
            i += n;
            x_ = c == '\r' ? 0 : c == '\b' ? std::max(0, x_ - 1) : x_;
            y_ += c == '\n' ? 1 : 0;
            pending_ = pending_ && c == '\a';
        }
        return known;
    }
    void resize(int width) {
        for (std::string& r : rows_)
            r.resize(std::min(r.size(), static_cast<size_t>(width)));
        pending_ = pending_ && width == width_;
        x_ = std::min(x_, (width_ = width) - 1);
    }
    // The rows without trailing blanks, joined by "\n", blank rows at the
    // end left out.
    std::string text() const {
        std::string all;
        for (const std::string& r : rows_)
            all += r.substr(0, r.find_last_not_of(' ') + 1) + "\n";
        return all.erase(all.find_last_not_of('\n') + 1);
    }
    int x() const { return x_; }
    int y() const { return y_; }
    bool wrap_pending() const { return pending_; }
    // text() of run written from column 0 of a screen this wide.
    static std::string laid_out(std::string_view run, int width) {
        Screen screen(width);
        screen.show(run);
        return screen.text();
    }

  private:
    std::string& row() {
        rows_.resize(std::max(rows_.size(), static_cast<size_t>(y_) + 1));
        rows_[static_cast<size_t>(y_)].resize(static_cast<size_t>(width_), ' ');
        return rows_[static_cast<size_t>(y_)];
    }
    // Acts on ESC [ n A/B/C or ESC [ J at the start of s. Returns the bytes
    // it took after the ESC, 0 for none of them.
    size_t escape(std::string_view s) {
        size_t end = 2;
        int n = 0;
        for (; end < s.size() && s[end] >= '0' && s[end] <= '9'; ++end)
            n = n * 10 + (s[end] - '0');
        const char code = s.size() > end && s[1] == '[' ? s[end] : 0;
        if (code == 'J' && end == 2) {
            row().replace(static_cast<size_t>(x_), std::string::npos,
                          static_cast<size_t>(width_ - x_), ' ');
            rows_.resize(static_cast<size_t>(y_) + 1);
        } else if (n > 0 && code >= 'A' && code <= 'C') {
            y_ = code == 'A' ? std::max(0, y_ - n) : code == 'B' ? y_ + n : y_;
            x_ = code == 'C' ? std::min(width_ - 1, x_ + n) : x_;
        } else {
            return 0;
        }
        return end;
    }

    int width_;
    int x_ = 0, y_ = 0;
    bool pending_ = false;  // a character went into the last column
    std::vector<std::string> rows_;
};

}  // namespace zt
