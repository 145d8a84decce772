// The session socket's lines, each sender's stream kept apart.
#include "event_stream.h"

#include <string.h>

#include <new>

#include "libxcom.h"

EventStream::~EventStream() {
    for (Piece& piece : pieces_)
        delete[] piece.text;
}

EventStream::Piece* EventStream::waiting(pid_t pid) {
    if (waiting_count_ == 0) return nullptr;  // the common case: whole lines only
    for (Piece& piece : pieces_)
        if (piece.length >= 0 && piece.pid == pid) return &piece;
    return nullptr;
}

// Builds in line_ the line that ends with length bytes of data, after the
// piece that waited for them (which then waits no more) unless piece is
// null, cut to XCOM_MAX_LINE bytes, and cleans it. Returns its length.
int EventStream::finish(Piece* piece, const char* data, int length) {
    int built = 0;
    bool cut = false;
    if (piece != nullptr) {
        memcpy(line_, piece->text, static_cast<size_t>(piece->length));
        built = piece->length;
        cut = piece->cut;
        piece->length = -1;
        --waiting_count_;
    }
    if (length > XCOM_MAX_LINE - built) {
        cut = true;
        length = XCOM_MAX_LINE - built;
    }
    memcpy(line_ + built, data, static_cast<size_t>(length));
    if (cut) kinds_ |= SOCKET_BAD_LONG_LINE;
    return socket_clean_line(line_, built + length);
}

// The piece that has waited longest since it last grew (one waits).
EventStream::Piece* EventStream::oldest() {
    Piece* found = nullptr;
    for (Piece& piece : pieces_)
        if (piece.length >= 0 && (found == nullptr || piece.fed < found->fed)) found = &piece;
    return found;
}

void EventStream::show_alone(Piece& piece, EventLineSink& sink) {
    const int length = finish(&piece, "", 0);
    sink.on_line(line_, length, false);
}

// Keeps length bytes of data, the start of a line, for pid's next datagram:
// after what pid has waiting, or in a place of its own, which the piece that
// waited longest gives up when every place is taken.
void EventStream::keep(pid_t pid, const char* data, int length, EventLineSink& sink) {
    Piece* piece = waiting(pid);
    if (piece == nullptr) {
        if (waiting_count_ == kMaxSenders) {
            show_alone(*oldest(), sink);
            kinds_ |= kEventTooManySenders;
        }
        for (Piece& place : pieces_)
            if (piece == nullptr && place.length < 0) piece = &place;
        if (piece->text == nullptr) piece->text = new (std::nothrow) char[XCOM_MAX_LINE];
        if (piece->text == nullptr) {  // no room to wait in: shown as it is, not lost
            sink.on_line(line_, finish(nullptr, data, length), false);
            return;
        }
        *piece = Piece{pid, 0, false, 0, piece->text};
        ++waiting_count_;
    }
    if (length > XCOM_MAX_LINE - piece->length) {
        piece->cut = true;
        length = XCOM_MAX_LINE - piece->length;
    }
    memcpy(piece->text + piece->length, data, static_cast<size_t>(length));
    piece->length += length;
    piece->fed = ++feeds_;
}

int EventStream::feed(pid_t pid, const char* data, int length, bool truncated,
                      EventLineSink& sink) {
    kinds_ = 0;
    const char* const end = data + length;
    const auto line_feed = [end](const char* from) {
        return static_cast<const char*>(memchr(from, '\n', static_cast<size_t>(end - from)));
    };
    const char* feed_at = line_feed(data);
    Piece* piece = feed_at != nullptr ? waiting(pid) : nullptr;
    while (feed_at != nullptr) {
        const char* next = line_feed(feed_at + 1);
        const int built = finish(piece, data, static_cast<int>(feed_at + 1 - data));
        piece = nullptr;
        sink.on_line(line_, built, next != nullptr);
        data = feed_at + 1;
        feed_at = next;
    }
    if (data < end && truncated) {
        // What followed the cut is lost: the line ends where the datagram does.
        sink.on_line(line_, finish(waiting(pid), data, static_cast<int>(end - data)), false);
    } else if (data < end) {
        keep(pid, data, static_cast<int>(end - data), sink);
    }
    return kinds_;
}

void EventStream::drain(EventLineSink& sink) {
    while (waiting_count_ > 0)
        show_alone(*oldest(), sink);
}
