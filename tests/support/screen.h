// A terminal screen as the line editor sees it: enough of a terminal to
// show where its bytes put text and the cursor. It knows CR, LF, BS, BEL,
// ESC [ n A/B/C (cursor up, down, right), ESC [ J (erase below), and the
// wrap a terminal keeps pending after a character in the last column: the
// cursor stays there until the next character takes it to the next row.
// Rows grow downwards without end; nothing scrolls. Kept free of the test
// framework so the fuzz targets can use it too.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zt {

class Screen {
  public:
    explicit Screen(int width) : width_(width) {}
    // Shows bytes. Returns false at a byte it does not know (it is skipped).
    bool show(std::string_view bytes);
    // A window-size change: rows are cut to the new width, not reflowed.
    void resize(int width);
    // The rows, each without trailing blanks, joined by "\n"; rows left
    // blank at the end are left out.
    std::string text() const;
    int x() const { return x_; }
    int y() const { return y_; }
    bool wrap_pending() const { return pending_; }

    // run laid out from column 0 as a terminal of this width wraps it, in
    // the form text() has.
    static std::string laid_out(std::string_view run, int width);

  private:
    void put(char c);
    std::string& row(int y);
    size_t escape(std::string_view rest);

    int width_;
    int x_ = 0, y_ = 0;
    bool pending_ = false;
    std::vector<std::string> rows_;
};

}  // namespace zt
