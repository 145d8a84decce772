#include "edit_check.h"

#include <array>

#include "cle_internal.h"
#include "seams.h"

namespace {

std::string sent;  // what the output primitives flushed

int capture(const char* bytes, size_t n) {
    sent.append(bytes, n);
    return 0;
}

std::string trimmed(std::string s) {
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

}  // namespace

EditCheck::EditCheck(int width, std::string lead, std::string prompt, int max_len)
    : width_(width),
      prompt_(std::move(prompt)),
      max_len_(max_len),
      buffer_(static_cast<size_t>(max_len)),
      screen_(width) {
    cle_set_output_sink(capture);
    sent.clear();
    start_line(lead, prompt_);
}

EditCheck::~EditCheck() {
    cle_set_output_sink(nullptr);
}

std::string_view EditCheck::sample_key(unsigned n) {
    static const std::string printable = [] {
        std::string s;
        for (char c = 0x20; c < 0x7f; ++c)
            s += c;
        return s;
    }();
    static constexpr std::array<std::string_view, 44> others = {
        "\x01",     "\x02",      "\x03",         "\x05",      "\x06",
        "\x08",     "\x7f",      "\r",           "\x04",      "\x1b[C",
        "\x1b[D",   "\x1b[H",    "\x1b[F",       "\x1b[1~",   "\x1b[3~",
        "\x1b[4~",  "\x1bOC",    "\x1bOD",       "\x1bOH",    "\x1bOF",
        "\x1b[K",   "\x1b[1;5C", "\x1b[1;2D",    "\x1b[3;5~", "\x1b[15~",
        "\x1b[24~", "\x1b[2~",   "\x1b[A",       "\x1b[1;5B", "\x1b[[A",
        "\x1bOP",   "\x1b[?25h", "\x1b[<0;3;4M", "\x1bx",     "\x1b[",
        "\x1b",     "\x1b[1\r",  "\x1b[2\x7f",   "\x1b[ q",   "\x1b[99999999999D",
        "\x1bO",    "\t",        "\x1b[3\x1b[D", "\x80"};
    if (n % 3 != 0) return std::string_view(printable).substr(n / 3 % printable.size(), 1);
    return others[n / 3 % others.size()];
}

void EditCheck::start_line(const std::string& lead, const std::string& prompt) {
    base_ = screen_.row();
    screen_.set_top(base_);
    lead_ = lead;
    shown_prompt_ = prompt;
    before_ = lead + prompt;
    edit_begin(ed_, lead_.c_str(), shown_prompt_.c_str(), buffer_.data(), max_len_);
    screen_.apply(before_);
    keys_ = KeyDecoder{};
    line_.clear();
    cursor_ = 0;
    typed_ = false;
}

std::string EditCheck::type(std::string_view bytes) {
    for (const char byte : bytes) {
        const bool inside = keys_.in_sequence();
        const Key k = keys_.feed(static_cast<unsigned char>(byte), true);
        std::string failure;
        if (inside && k.action == KeyAction::kInsert)
            failure = "a byte of an escape sequence was typed as text";
        else if (k.action == KeyAction::kLineEnd || k.action == KeyAction::kAbort)
            failure = end_line(k.action == KeyAction::kAbort);
        else if (k.action != KeyAction::kNone)
            failure = key(k);
        if (!failure.empty()) return failure + " after " + term_tokens(bytes);
    }
    return "";
}

std::string EditCheck::key(const Key& k) {
    int width = width_;
    if (k.action == KeyAction::kInsert) {
        if (!known_) width = 0;
        if (static_cast<int>(line_.size()) < max_len_ - 1) line_.insert(cursor_++, 1, k.c);
    } else {
        known_ = true;  // every other key measures the width
    }
    const int size = static_cast<int>(line_.size());
    switch (k.action) {
        case KeyAction::kHome:
            cursor_ = 0;
            break;
        case KeyAction::kEnd:
            cursor_ = size;
            break;
        case KeyAction::kLeft:
            cursor_ -= cursor_ > 0;
            break;
        case KeyAction::kRight:
            cursor_ += cursor_ < size;
            break;
        case KeyAction::kBackspace:
            if (cursor_ > 0) line_.erase(--cursor_, 1);
            break;
        case KeyAction::kDelete:
            if (cursor_ < size) line_.erase(cursor_, 1);
            break;
        case KeyAction::kClear:
            line_.clear();
            cursor_ = 0;
            break;
        default:
            break;
    }
    edit_key(ed_, k, width);
    typed_ = typed_ || !line_.empty();
    return check(term_tokens(std::string(1, k.c != 0 ? k.c : '^')));
}

std::string EditCheck::end_line(bool aborted) {
    const int total = static_cast<int>(before_.size() + line_.size());
    if (!aborted || total > 0) edit_finish(ed_, known_ ? width_ : 0, "\r\n");
    std::string failure = check(aborted ? "<ctrl-d>" : "<enter>", false);
    if (failure.empty() && total > 0 &&
        (screen_.col() != 0 || screen_.row() - base_ <= (total - 1) / width_))
        failure = "the line end is not below the line";
    start_line("", prompt_);
    return failure;
}

std::string EditCheck::learn_width() {
    known_ = true;
    trail_ += "<winch>";
    return "";
}

std::string EditCheck::resize(int width) {
    // Before the first layout the editor cannot know what width the
    // terminal wrapped the typed text at; and it notices a width change by
    // the width, so a window narrowed and widened back before the next key
    // keeps what the terminal cut off.
    if (ed_.laid_width == 0 || width < 1 || (width_ != ed_.laid_width && width == ed_.laid_width))
        return "";
    width_ = width;
    screen_.resize(width);
    trail_ += "<resize" + std::to_string(width) + ">";
    return "";
}

std::string EditCheck::interrupt(std::string_view text) {
    const std::string shown = std::string(text) + "\r\n";
    if (!typed_) {
        // Out at once; the input now starts at column 0 of the next row.
        screen_.apply(shown);
        start_line("", "");
        return check("<output>");
    }
    known_ = true;
    edit_hide(ed_, width_);
    std::string failure = check("<hide>");
    if (!failure.empty()) return failure;
    screen_.apply(shown);
    base_ = screen_.row();
    screen_.set_top(base_);
    edit_redraw(ed_, width_);
    return check("<redraw>");
}

// After a step: the line, the screen from the lead's row, and the cursor.
std::string EditCheck::check(const std::string& step, bool cursor) {
    direct_fflush();
    const std::string bytes = sent;
    sent.clear();
    trail_ += step;
    if (trail_.size() > 600) trail_.erase(0, trail_.size() - 600);
    auto fail = [&](const std::string& what) {
        return what + " (width " + std::to_string(width_) + ", before \"" + before_ +
               "\", line \"" + line_ + "\", steps " + trail_ + ", last output " +
               term_tokens(bytes) + ")";
    };
    if (!screen_.apply(bytes)) return fail("a byte the editor never writes, or a move above");
    if (line_ != ed_.cmdbuff || ed_.cmdlen != static_cast<int>(line_.size())) return fail("line");
    if (ed_.cmdptr != cursor_) return fail("cursor in the line");
    const bool hidden = step == "<hide>";
    cursor = cursor && !hidden;
    // Right after a resize nothing is redrawn until a key acts.
    if (ed_.laid_width != 0 && ed_.laid_width != width_) return "";
    if (screen_.text(base_) != (hidden ? "" : trimmed(before_ + line_))) return fail("screen");
    if (ed_.laid_width == 0 || !cursor) return "";
    const ScreenPos at = layout_pos(static_cast<int>(before_.size()) + cursor_, width_);
    if (ed_.line_x != at.x || ed_.line_y != at.y) return fail("cursor bookkeeping");
    if (screen_.col() != at.x || screen_.row() - base_ != at.y) return fail("cursor on the screen");
    return "";
}
