// The lines of the session socket. The datagrams of each sender form one
// stream of LF-ended lines: a line may span datagrams, and one datagram may
// hold several. What a sender has sent of a line not yet ended waits for
// the rest under its process id, so the pieces of two senders never join.
#pragma once

#include <sys/types.h>

#include <array>

// Kinds of bad input the stream meets, as bits beside the receive's own
// (libxcom.h): a line over XCOM_MAX_LINE bytes, cut (SOCKET_BAD_LONG_LINE),
// and a waiting piece shown alone because too many senders had one.
inline constexpr int kEventTooManySenders = 16;

// Takes each line the stream completes.
class EventLineSink {
  public:
    // line (length bytes, terminated, cleaned as socket_clean_line cleans
    // it; may be empty) is valid during the call. more: another whole line
    // of the same datagram follows at once.
    virtual void on_line(const char* line, int length, bool more) = 0;

  protected:
    ~EventLineSink() = default;
};

class EventStream {
  public:
    // Most senders with a piece of a line waiting. One more sender's piece
    // has the piece that waited longest shown as a line of its own, so that
    // nothing is lost, and is warned of.
    static constexpr int kMaxSenders = 8;

    // line holds XCOM_MAX_LINE + 1 bytes: each line is built there.
    explicit EventStream(char* line) : line_(line) {}
    ~EventStream();
    EventStream(const EventStream&) = delete;
    EventStream& operator=(const EventStream&) = delete;

    // Hands the lines that length bytes of data from process pid complete to
    // sink, in order, and keeps the rest for pid's next datagram. A datagram
    // cut short (truncated: its rest is lost) ends its last line instead.
    // Returns the kinds of bad input met.
    int feed(pid_t pid, const char* data, int length, bool truncated, EventLineSink& sink);
    // Hands every waiting piece to sink as a line of its own, the longest
    // waiting first: the session is ending.
    void drain(EventLineSink& sink);

  private:
    struct Piece {
        pid_t pid = 0;
        int length = -1;             // bytes kept, at most XCOM_MAX_LINE; -1: no piece waits
        bool cut = false;            // bytes past XCOM_MAX_LINE were dropped
        unsigned long long fed = 0;  // when it last grew, in the stream's own count
        char* text = nullptr;        // XCOM_MAX_LINE bytes, allocated at the first use
    };

    Piece* waiting(pid_t pid);
    Piece* oldest();
    int finish(Piece* piece, const char* data, int length);
    void keep(pid_t pid, const char* data, int length, EventLineSink& sink);
    void show_alone(Piece& piece, EventLineSink& sink);

    char* line_;
    int kinds_ = 0;  // met during the current feed
    int waiting_count_ = 0;
    unsigned long long feeds_ = 0;
    std::array<Piece, kMaxSenders> pieces_{};
};
