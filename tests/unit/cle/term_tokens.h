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
    // move above the prompt's row.
    bool apply(std::string_view bytes);
    // The text of rows 0..n, right-trimmed of blanks and joined: what a
    // person sees from the prompt's row on.
    std::string text() const;
    int row() const { return row_; }
    int col() const { return col_; }

  private:
    void put(char c);
    int width_;
    int row_ = 0;
    int col_ = 0;
    bool wrap_pending_ = false;
    std::vector<std::string> rows_;
};
