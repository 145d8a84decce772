// Test helpers for terminal output: readable tokens for failure messages and
// a small terminal model that applies the editor's bytes to a screen.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Renders bytes as text with the control sequences as tokens: <cr> <lf> <bs>
// <bel> <ceos> <upN> <downN> <rightN>, "<" as <lt>, other bytes as <xHH>.
std::string term_tokens(std::string_view bytes);

// A screen of `width` columns and unlimited rows, with the usual terminal
// behaviour at the right margin: a character written in the last column
// leaves the cursor there with the wrap pending until the next character.
class TermModel {
  public:
    explicit TermModel(int width) : width_(width) {}
    // Applies bytes; returns false on a byte the editor never writes or a
    // move above the top row (0 unless set_top moved it down).
    bool apply(std::string_view bytes);
    // The text of rows from..n, right-trimmed of blanks and joined: what a
    // person sees from that row on.
    std::string text(int from = 0) const;
    // The text of one row, right-trimmed.
    std::string line(int row) const;
    int row() const { return row_; }
    int col() const { return col_; }
    // The rows above row belong to others: no move may go there.
    void set_top(int row) { top_ = row; }
    // The window changes width; like most terminals, the model keeps the
    // rows as they are (cut at the new margin) and the cursor on its row.
    void resize(int width);

  private:
    void put(char c);
    int width_;
    int top_ = 0;
    int row_ = 0;
    int col_ = 0;
    bool wrap_pending_ = false;
    std::vector<std::string> rows_;
};
