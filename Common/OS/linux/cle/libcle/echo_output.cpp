// The editor's output primitives and the echo switch. An action's bytes
// collect in one static buffer and reach the terminal in one write at its
// flush, so another writer sharing the terminal never splits an action and
// nothing is allocated per keystroke.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "cle_internal.h"
#include "seams.h"

namespace {

// Large enough for a redraw of a long prompt and a full 510-character line;
// anything longer is written in pieces, still under the caller's lock.
constexpr size_t kPendingSize = 2048;
std::array<char, kPendingSize> pending;
size_t pending_len = 0;
bool echo_flag = true;
constexpr size_t kCursorSequenceSize = 16;  // ESC [, an int and the code

// Longest a blocked terminal may hold a write before the rest is dropped
// (only a non-blocking standard output can get here): the output lock is
// held meanwhile.
constexpr int kWriteStallMs = 1000;
// Set once the session ends: a blocked terminal holds no write at all.
std::atomic<bool> drop_slow_output;
static_assert(std::atomic<bool>::is_always_lock_free, "set by a signal handler");

// Waits until standard output takes bytes again. Returns false when it did
// not within kWriteStallMs. A signal ends the wait early: the write is tried
// again. (A time-out leaves errno as the write set it, EAGAIN.)
bool wait_writable() {
    pollfd out{STDOUT_FILENO, POLLOUT, {}};
    return poll(&out, 1, kWriteStallMs) > 0 || errno == EINTR;
}

// Writes all of bytes to descriptor 1: a write cut short by a signal goes on
// with the rest; on a failure the rest is dropped. (EWOULDBLOCK is EAGAIN
// here.)
void write_to_stdout(const char* bytes, size_t n) {
    // Text that other code left in the stdio stream goes out first.
    fflush(stdout);
    while (n > 0) {
        const ssize_t done = write(STDOUT_FILENO, bytes, n);
        if (done != -1) {
            bytes += done;
            n -= static_cast<size_t>(done);
        } else if (errno == EAGAIN ? drop_slow_output || !wait_writable() : errno != EINTR) {
            return;
        }
    }
}

CleOutputSink sink = write_to_stdout;

// Hands the collected bytes to the sink.
void drain() {
    const size_t n = pending_len;
    pending_len = 0;
    if (n != 0) sink(pending.data(), n);
}

// Appends n bytes, draining whenever the buffer is full.
void append(const char* s, size_t n) {
    while (n > 0) {
        if (pending_len == pending.size()) drain();
        const size_t part = std::min(n, pending.size() - pending_len);
        memcpy(pending.data() + pending_len, s, part);
        pending_len += part;
        s += part;
        n -= part;
    }
}

}  // namespace

void cle_echo_enable(int echo) {
    echo_flag = echo != 0;
}

// Returns the echo switch.
int cle_echo_flag() {
    return echo_flag;
}

// Queues one byte.
void echo_putchar(char c) {
    if (echo_flag) append(&c, 1);
}

// Queues a string.
void echo_fputs(const char* s) {
    if (echo_flag) append(s, strlen(s));
}

// Queues n bytes of s.
void cle_drop_slow_output(void) {
    drop_slow_output = true;
}

void echo_write(const char* s, int n) {
    if (echo_flag && n > 0) append(s, static_cast<size_t>(n));
}

// Queues ESC [ n code for n >= 1.
void echo_cursor(int n, char code) {
    if (!echo_flag || n < 1) return;
    std::array<char, kCursorSequenceSize> seq{'\x1b', '['};
    char* end = std::to_chars(seq.data() + 2, seq.data() + seq.size() - 1, n).ptr;
    *end++ = code;
    append(seq.data(), static_cast<size_t>(end - seq.data()));
}

// Sends the queued bytes.
void echo_fflush() {
    if (echo_flag) drain();
}

// Queues a string whatever the echo switch.
void direct_fputs(const char* s) {
    append(s, strlen(s));
}

// Sends the queued bytes whatever the echo switch.
void direct_fflush() {
    drain();
}

// Replaces the sink of flushed bytes. Returns the previous one.
CleOutputSink cle_set_output_sink(CleOutputSink new_sink) {
    const CleOutputSink old = sink;
    sink = new_sink != nullptr ? new_sink : write_to_stdout;
    return old;
}
