// Drives the editor's key decoder and key actions the way its read loop
// does, and after every step checks the screen they drew (through
// TermModel) and the cursor against a plain model of the line. Shared by
// the randomised test and the fuzz target.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "key_decode.h"
#include "line_edit.h"
#include "test_util.h"

class EditCheck {
  public:
    // A terminal of width columns on which lead is already written; the
    // editor writes prompt after it and reads lines of up to max_len - 1.
    EditCheck(int width, std::string lead, std::string prompt, int max_len);
    ~EditCheck();
    EditCheck(const EditCheck&) = delete;
    EditCheck& operator=(const EditCheck&) = delete;

    // Each step returns "" or what went wrong.
    // Types bytes; a line end or Ctrl-D ends the line and a new one starts.
    std::string type(std::string_view bytes);
    // The width becomes known to inserts without a key (a SIGWINCH).
    std::string learn_width();
    // The window changes width; only once the editor laid the line out.
    std::string resize(int width);
    // Another thread prints a line: before anything is typed it goes out at
    // once and the input starts on the next row; otherwise the line is
    // hidden, the text printed and the line drawn again.
    std::string interrupt(std::string_view text);
    // An escape sequence is cut short by a pause.
    void pause() { keys_.cut(); }
    int width() const { return width_; }
    // Key strings for drivers: printables, control keys and escape
    // sequences, ending the line only for the line-end entries.
    static std::string_view sample_key(unsigned n);

  private:
    std::string key(const Key& k);
    std::string end_line(bool aborted);
    void start_line(const std::string& lead, const std::string& prompt);
    // cursor: whether the cursor must be on its character (not at a line end).
    std::string check(const std::string& step, bool cursor = true);

    int width_;
    bool known_ = false;  // inserts see the width
    std::string prompt_;
    std::string lead_;          // the editor keeps pointers to these two
    std::string shown_prompt_;  // the prompt of this line
    std::string before_;        // lead and prompt: the text before the input
    int max_len_;
    std::vector<char> buffer_;
    EditLine ed_{};
    KeyDecoder keys_;
    zt::TermModel screen_;
    int base_ = 0;  // the screen row on which the lead begins
    std::string line_;
    int cursor_ = 0;
    bool typed_ = false;  // the line had text (the shell holds output then)
    std::string trail_;   // the steps so far, for failure messages
};
