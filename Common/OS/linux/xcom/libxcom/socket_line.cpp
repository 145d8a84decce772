// Newline-framed text lines over sockets. socket_read_line keeps a stream's
// unconsumed bytes in a caller-owned buffer between calls and takes a
// datagram socket as one byte stream, so its lines may span datagrams;
// socket_recv_datagrams takes datagrams whole, with their senders, for a
// caller that keeps each sender's stream apart.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "libxcom.h"
#include "seams.h"
#include "socket_wait.h"

namespace {

using xcom::Budget;
using xcom::Direction;
using xcom::WaitResult;
using xcom::warn;

// A whole line may wait this long for the socket to take it.
constexpr std::chrono::seconds kWriteLimit{10};

// The calls that move the bytes, replaceable so tests can force
// interruptions, short writes and failures.
SocketSendT send_call = send;
SocketRecvT recv_call = recv;

// What came of one socket call made in the library's way.
enum class Io { kDone, kTimedOut, kFailed };

// Makes one send or receive (call, given the flags to add). The call is
// tried first with try_flags (MSG_DONTWAIT: without blocking), and only when
// the socket is not ready is it waited for, within budget, and made again: a
// busy socket costs one system call per line, not two. must_wait carries that
// state from one call of a line to the next. An interrupted call is
// repeated. Returns kDone with *result the call's own result (errno set when
// negative); kTimedOut when the budget ran out; kFailed when the wait failed
// or flagged an exception (reported; what names the caller in the warning).
template <typename Call>
Io socket_io(int socket, Direction direction, const Budget& budget, bool& must_wait, int try_flags,
             const char* what, ssize_t* result, Call call) {
    for (;;) {
        if (must_wait) {
            switch (xcom::wait_socket(socket, direction, budget, true)) {
                case WaitResult::timed_out:
                    return Io::kTimedOut;
                case WaitResult::failed: {
                    // A read's warning names the error; a write's says only
                    // that the wait failed.
                    std::array<char, xcom::kErrorTextSize> scratch;
                    const bool named = direction == Direction::read;
                    warn("%s: select() error%s%s\n", what, named ? " " : "",
                         named ? xcom::error_text(errno, scratch.data(), scratch.size()) : "");
                    return Io::kFailed;
                }
                case WaitResult::exception:
                    warn("socket input: socket exception\n");
                    return Io::kFailed;
                case WaitResult::ready:
                    break;
            }
        }
        ssize_t n;
        do {
            // After a wait the call is an ordinary one (a datagram socket
            // shut for reading reports "ready", and only a blocking receive
            // then gives its end).
            n = call(must_wait ? 0 : try_flags);
        } while (n < 0 && errno == EINTR);
        // Not ready (EWOULDBLOCK is EAGAIN here), or a readiness that
        // vanished before the call; a descriptor that is no descriptor at all
        // is the wait's to report.
        if (n < 0 && (errno == EAGAIN || (!must_wait && errno == EBADF))) {
            must_wait = true;
            continue;
        }
        *result = n;
        return Io::kDone;
    }
}

// True when a receive of 0 bytes on socket was an empty datagram, which is
// passed over: a datagram socket has no peer that could have closed. It ends
// only when shut for reading (and then an empty datagram is its end as well).
bool empty_datagram(int socket) {
    int type{};
    socklen_t size = sizeof type;
    if (getsockopt(socket, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_DGRAM) {
        return false;
    }
    pollfd shut{socket, POLLRDHUP, {}};
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
    std::array<char, xcom::kErrorTextSize> scratch;
    // Bytes already waiting are taken at once. With no time limit a blocking
    // socket (the session's datagram socket) even waits in the receive
    // itself, one system call where an empty socket took three; a
    // non-blocking one (the connection to the application) says so and waits
    // in select. (So a TCP urgent byte that is already queued is stepped over
    // by the receive, as TCP does without SO_OOBINLINE, and so is one that
    // arrives while a blocking socket waits in the receive; on a non-blocking
    // socket it is still an exception.)
    const int try_flags = budget.limited() ? MSG_DONTWAIT : 0;
    bool must_wait = false;
    for (;;) {
        ssize_t got{};
        const Io io = socket_io(socket, Direction::read, budget, must_wait, try_flags,
                                "socket input", &got, [&](int flags) {
                                    return recv_call(socket, buffer + *buflen,
                                                     static_cast<size_t>(room), flags);
                                });
        if (io == Io::kTimedOut) return 0;
        if (io == Io::kFailed) return -1;
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
    if (start != 0) memmove(line, line + start, static_cast<size_t>(end - start));
    line[end - start] = '\0';
    return end - start;
}

// Copies len bytes of text into line, dropping NULs (with a warning) and
// trimming control bytes off both ends; returns the line's length.
int clean_line(const char* text, int len, char* line) {
    memcpy(line, text, static_cast<size_t>(len));
    return socket_clean_line(line, len);
}

// Moves the first len bytes of buffer out into line as one cleaned line.
// Returns the line's length after trimming, or -1 when it is too long (it then
// stays in the buffer). len is within *buflen: the line feed was found there.
int take_line(char* buffer, int* buflen, char* line, int len) {
    if (len > XCOM_MAX_LINE) {
        warn("%d bytes invalid socket input (%d max)\n", len, XCOM_MAX_LINE);
        return -1;
    }
    const int length = clean_line(buffer, len, line);
    *buflen -= len;
    memmove(buffer, buffer + len, static_cast<size_t>(*buflen));
    buffer[*buflen] = '\0';
    return length;
}

}  // namespace

SocketSendT socket_set_send(SocketSendT new_send) {
    const SocketSendT previous = send_call;
    send_call = new_send != nullptr ? new_send : send;
    return previous;
}

SocketRecvT socket_set_recv(SocketRecvT new_recv) {
    const SocketRecvT previous = recv_call;
    recv_call = new_recv != nullptr ? new_recv : recv;
    return previous;
}

int socket_clean_line(char* line, int len) {
    line[len] = '\0';
    const int kept = xcom_remove_nulls(line, len);
    if (kept < len) warn("Data has embedded nulls. Data after filtering nulls:%s\n", line);
    return trim_controls(line, kept);
}

// Sends the whole line, waiting for writability within one 10 s budget.
// Returns 0 when sent or when the budget ran out, -1 on an error.
int socket_write_line(int socket, const char* line) {
    if (line == nullptr) return -1;
    const Budget budget(kWriteLimit);
    const char* next = line;
    size_t left = strlen(line);
    std::array<char, xcom::kErrorTextSize> scratch;
    bool must_wait = false;
    for (;;) {
        ssize_t sent{};
        // MSG_NOSIGNAL: a library must not end the process with SIGPIPE when
        // the peer has gone; the caller gets -1 instead.
        const Io io = socket_io(
            socket, Direction::write, budget, must_wait, MSG_DONTWAIT, "socket write", &sent,
            [&](int flags) { return send_call(socket, next, left, MSG_NOSIGNAL | flags); });
        if (io == Io::kTimedOut) return 0;
        if (io == Io::kFailed) return -1;
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

int socket_pass_credentials(int socket) {
    const int on = 1;
    return setsockopt(socket, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
}

namespace {

// The sender's credentials in a received message's control data.
SocketSenderT sender_of(msghdr& message) {
    SocketSenderT sender{0, 0, 0};
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_CREDENTIALS ||
            c->cmsg_len < CMSG_LEN(sizeof(ucred))) {
            continue;
        }
        ucred credentials;
        memcpy(&credentials, CMSG_DATA(c), sizeof credentials);
        sender = SocketSenderT{credentials.pid, credentials.uid, 1};
    }
    return sender;
}

// Room for one datagram's credentials.
struct Control {
    alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(ucred))];
};

}  // namespace

// Receives what waits, up to count datagrams, in one recvmmsg: a socket that
// many senders fill costs one system call for several datagrams, not one
// each. Each real length is told by MSG_TRUNC, each sender by the
// credentials the kernel attached.
int socket_recv_datagrams(int socket, char* const* buffers, int size, int count,
                          SocketReceivedT* got) {
    const auto n = static_cast<size_t>(std::clamp(count, 1, XCOM_DATAGRAM_BATCH));
    std::array<mmsghdr, XCOM_DATAGRAM_BATCH> messages{};
    std::array<iovec, XCOM_DATAGRAM_BATCH> data;
    std::array<Control, XCOM_DATAGRAM_BATCH> control;
    for (size_t i = 0; i < n; ++i) {
        data[i] = iovec{buffers[i], static_cast<size_t>(size)};
        messages[i].msg_hdr.msg_iov = &data[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_control = control[i].bytes;
    }
    bool must_wait = false;
    ssize_t received{};
    // Without a time limit the wait cannot run out: only kDone and kFailed.
    if (socket_io(socket, Direction::read, Budget(), must_wait, 0, "socket input", &received,
                  [&](int flags) {
                      for (size_t i = 0; i < n; ++i)
                          messages[i].msg_hdr.msg_controllen = sizeof control[i].bytes;
                      return recvmmsg(socket, messages.data(), static_cast<unsigned>(n),
                                      flags | MSG_WAITFORONE | MSG_TRUNC, nullptr);
                  }) != Io::kDone) {
        return -1;
    }
    if (received < 0) {
        std::array<char, xcom::kErrorTextSize> scratch;
        warn("socket input: recv() error2 %s\n",
             xcom::error_text(errno, scratch.data(), scratch.size()));
        return -1;
    }
    // Only the first receive waits: a socket shut for reading gives it 0.
    if (messages[0].msg_len == 0 && !empty_datagram(socket)) {
        warn("remote socket closed\n");
        return -1;
    }
    for (size_t i = 0; i < static_cast<size_t>(received); ++i) {
        const auto length =
            static_cast<int>(std::min(messages[i].msg_len, static_cast<unsigned>(size)));
        got[i].length = length;
        got[i].kinds = messages[i].msg_len == 0                            ? SOCKET_BAD_EMPTY
                       : messages[i].msg_len > static_cast<unsigned>(size) ? SOCKET_BAD_TRUNCATED
                                                                           : 0;
        got[i].sender = sender_of(messages[i].msg_hdr);
        buffers[i][length] = '\0';
    }
    return static_cast<int>(received);
}
