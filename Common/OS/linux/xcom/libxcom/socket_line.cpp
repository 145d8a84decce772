// Newline-framed text lines over stream and datagram sockets. A receiving
// stream keeps its unconsumed bytes in a caller-owned buffer between calls;
// datagrams are treated as one byte stream, so lines may span them.
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "libxcom.h"
#include "socket_wait.h"

namespace {

using xcom::Budget;
using xcom::WaitResult;
using xcom::warn;

// A whole line may wait this long for the socket to take it.
constexpr std::chrono::seconds kWriteLimit{10};

// True when a receive of 0 bytes on socket was an empty datagram, which is
// passed over: a datagram socket has no peer that could have closed. It ends
// only when shut for reading (and then an empty datagram is its end as well).
bool empty_datagram(int socket) {
    int type = 0;
    socklen_t size = sizeof type;
    if (getsockopt(socket, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_DGRAM) {
        return false;
    }
    pollfd shut{socket, POLLRDHUP, 0};
    int ready;
    do {
        ready = poll(&shut, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return ready >= 0 && (shut.revents & POLLRDHUP) == 0;
}

// Waits for and appends more received bytes to buffer. Returns 1 when bytes
// arrived, 0 when the budget ran out, -1 on a failure, a closed peer or a
// full buffer.
int receive_more(int socket, char* buffer, int* buflen, const Budget& budget) {
    const int room = XCOM_MAX_BUFFER - *buflen;
    if (room <= 0) {
        warn("Buffer is full, current buffer size is %d", *buflen);
        return -1;
    }
    std::array<char, 64> scratch;
    // Bytes already waiting are taken at once: the wait is only for an empty
    // socket, which saves a system call per line under a stream of output.
    // With no time limit a blocking socket (the session's datagram socket)
    // even waits in the receive itself, one system call where an empty
    // socket took three; a non-blocking one (the connection to the
    // application) says so and waits in select. (So a TCP urgent byte that
    // is already queued is stepped over by the receive, as TCP does without
    // SO_OOBINLINE, and so is one that arrives while a blocking socket waits
    // in the receive; on a non-blocking socket it is still an exception.)
    const int first_flags = budget.limited() ? MSG_DONTWAIT : 0;
    bool must_wait = false;
    for (;;) {
        if (must_wait) {
            switch (xcom::wait_socket(socket, xcom::Direction::read, budget, true)) {
                case WaitResult::timed_out:
                    return 0;
                case WaitResult::failed:
                    warn("socket input: select() error %s\n",
                         xcom::error_text(errno, scratch.data(), scratch.size()));
                    return -1;
                case WaitResult::exception:
                    warn("socket input: socket exception\n");
                    return -1;
                case WaitResult::ready:
                    break;
            }
        }
        ssize_t got;
        do {
            // After a wait the receive is an ordinary one (a datagram socket
            // shut for reading reports "ready", and only a blocking receive
            // then gives its end).
            got = recv(socket, buffer + *buflen, static_cast<size_t>(room),
                       must_wait ? 0 : first_flags);
        } while (got < 0 && errno == EINTR);
        // Nothing there (or a readiness that vanished before the receive); a
        // descriptor that is no descriptor at all is the wait's to report.
        if (got < 0 &&
            (errno == EAGAIN || errno == EWOULDBLOCK || (!must_wait && errno == EBADF))) {
            must_wait = true;
            continue;
        }
        if (got < 0) {
            warn("socket input: recv() error2 %s\n",
                 xcom::error_text(errno, scratch.data(), scratch.size()));
            return -1;
        }
        if (got == 0 && empty_datagram(socket)) {
            must_wait = true;
            continue;
        }
        if (got == 0) {
            warn("remote socket closed\n");
            return -1;
        }
        *buflen += static_cast<int>(got);
        buffer[*buflen] = '\0';
        return 1;
    }
}

// Strips control bytes (0x01..0x1F) from the start and control bytes or NULs
// from the end of the first len bytes of line; returns the length left.
int trim_controls(char* line, int len) {
    int start = 0;
    while (start < len) {
        const auto byte = static_cast<unsigned char>(line[start]);
        if (byte < 0x01 || byte > 0x1F) break;
        ++start;
    }
    int end = len;
    while (end > start && static_cast<unsigned char>(line[end - 1]) <= 0x1F)
        --end;
    if (start > 0) memmove(line, line + start, static_cast<size_t>(end - start));
    line[end - start] = '\0';
    return end - start;
}

// Moves the first len bytes of buffer out into line as one cleaned line.
// Returns the line's length after trimming, or -1 when it is too long (it then
// stays in the buffer).
int take_line(char* buffer, int* buflen, char* line, int len) {
    if (len > XCOM_MAX_LINE) {
        warn("%d bytes invalid socket input (%d max)\n", len, XCOM_MAX_LINE);
        return -1;
    }
    if (len > *buflen) {
        warn("XCOM: FATAL: socket_read_line() error: len (%d) > *buflen (%d)\n", len, *buflen);
        return -1;
    }
    memcpy(line, buffer, static_cast<size_t>(len));
    line[len] = '\0';
    const int kept = xcom_remove_nulls(line, len);
    if (kept < len) warn("Data has embedded nulls. Data after filtering nulls:%s\n", line);
    const int length = trim_controls(line, kept);

    *buflen -= len;
    memmove(buffer, buffer + len, static_cast<size_t>(*buflen));
    buffer[*buflen] = '\0';
    return length;
}

}  // namespace

// Sends the whole line, waiting for writability within one 10 s budget.
// Returns 0 when sent or when the budget ran out, -1 on an error.
int socket_write_line(int socket, const char* line) {
    if (line == nullptr) return -1;
    const Budget budget(kWriteLimit);
    const char* next = line;
    size_t left = strlen(line);
    std::array<char, 64> scratch;
    // As with receiving: the wait is only for a socket that cannot take the
    // bytes now, so a request costs one system call, not two.
    bool must_wait = false;
    for (;;) {
        if (must_wait) {
            switch (xcom::wait_socket(socket, xcom::Direction::write, budget, true)) {
                case WaitResult::timed_out:
                    return 0;
                case WaitResult::failed:
                    warn("socket write: select() error\n");
                    return -1;
                case WaitResult::exception:
                    warn("socket input: socket exception\n");
                    return -1;
                case WaitResult::ready:
                    break;
            }
        }
        ssize_t sent;
        // MSG_NOSIGNAL: a library must not end the process with SIGPIPE when
        // the peer has gone; the caller gets -1 instead.
        do {
            sent = send(socket, next, left, MSG_NOSIGNAL | (must_wait ? 0 : MSG_DONTWAIT));
        } while (sent < 0 && errno == EINTR);
        if (sent < 0 &&
            (errno == EAGAIN || errno == EWOULDBLOCK || (!must_wait && errno == EBADF))) {
            must_wait = true;
            continue;
        }
        if (sent < 0) {
            const int error = errno;
            warn("send() error %d %s %d\n", error,
                 xcom::error_text(error, scratch.data(), scratch.size()), static_cast<int>(left));
            return -1;
        }
        if (sent == 0) {
            warn("send() returned 0?\n");
            return -1;
        }
        if (static_cast<size_t>(sent) == left) return 0;
        next += sent;
        left -= static_cast<size_t>(sent);
    }
}

// Hands out the next line of the stream, receiving as needed within timeout
// seconds (0: no limit). Returns its length after trimming, 0 on a time-out or
// an empty line, -1 on an error, a closed peer (a datagram socket: shut for
// reading) or at the size limits.
int socket_read_line(int socket, char* buffer, int* buflen, char* line, int timeout) {
    if (buffer == nullptr || buflen == nullptr || line == nullptr) return -1;
    // A length the buffer cannot hold would make every step below overrun it.
    if (*buflen < 0 || *buflen > XCOM_MAX_BUFFER) return -1;
    const Budget budget = timeout > 0 ? Budget(std::chrono::seconds(timeout)) : Budget();
    for (;;) {
        const void* feed = memchr(buffer, '\n', static_cast<size_t>(*buflen));
        if (feed != nullptr) {
            const int len = static_cast<int>(static_cast<const char*>(feed) - buffer) + 1;
            return take_line(buffer, buflen, line, len);
        }
        const int received = receive_more(socket, buffer, buflen, budget);
        if (received <= 0) return received;
    }
}
