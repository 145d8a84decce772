// Fuzzes the receiving side of the line framing: an arbitrary byte stream,
// cut into separate sends, goes through socket_read_line over a stream and a
// datagram socket pair, and every result, handed-out line and buffer state
// is checked against a plain model of the framing rules.
//
// Nothing ever blocks: the whole input is sent (non-blocking) before the
// first read, then the sending side ends (stream: closed; datagrams: the
// receiving side shut for reading, so the next receive gives 0; on a socket
// shut for reading an empty datagram gives 0 too, and is a failure there, while
// on an open one it is passed over), and reading goes on until the model says
// the stream is over.
//
// Input: bytes are data, except for escapes after 0xFE:
//   FE 00          a literal FE byte
//   FE 01          ends the current send (two in a row give an empty datagram)
//   FE 02 hi lo b  the byte b, repeated hi * 256 + lo times
// any other byte after FE leaves the FE as data. Runs let small inputs reach
// the 16384-byte line and 32768-byte buffer limits.
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "libxcom.h"

namespace {

// Enough to pass both limits. Each handed-out line moves the rest of the
// buffer to its start, so the number of lines is bounded too, or inputs full
// of line feeds would crawl.
constexpr size_t kMaxPayload = 40000;
constexpr size_t kMaxLines = 256;
constexpr size_t kMaxSends = 512;
constexpr uint8_t kEscape = 0xFE;

// Names the broken expectation, then stops with a crash the fuzzer records.
[[noreturn]] void fail(int line, const char* what) {
    fprintf(stderr, "%s:%d: expected %s\n", __FILE__, line, what);
    __builtin_trap();
}
#define CHECK(condition) ((condition) ? (void)0 : fail(__LINE__, #condition))

// Decodes the input into the sends it describes, within kMaxPayload bytes,
// kMaxLines line feeds and kMaxSends sends.
std::vector<std::string> decode_sends(const uint8_t* data, size_t size) {
    std::vector<std::string> sends(1);
    size_t total = 0, lines = 0;
    auto append = [&](size_t count, char byte) {
        count = std::min(count, kMaxPayload - total);
        if (byte == '\n') {
            count = std::min(count, kMaxLines - lines);
            lines += count;
        }
        sends.back().append(count, byte);
        total += count;
    };
    for (size_t i = 0; i < size && total < kMaxPayload && lines < kMaxLines; ++i) {
        if (data[i] != kEscape || i + 1 >= size) {
            append(1, static_cast<char>(data[i]));
            continue;
        }
        const uint8_t op = data[i + 1];
        if (op == 0x00) {
            append(1, static_cast<char>(kEscape));
            ++i;
        } else if (op == 0x01) {
            if (sends.size() == kMaxSends) break;
            sends.emplace_back();
            ++i;
        } else if (op == 0x02 && i + 4 < size) {
            append(static_cast<size_t>(data[i + 2]) << 8 | data[i + 3],
                   static_cast<char>(data[i + 4]));
            i += 4;
        } else {
            append(1, static_cast<char>(kEscape));
        }
    }
    return sends;
}

// A line as the receiver must hand it out: NULs dropped, control bytes
// 0x01..0x1F cut from the front, 0x00..0x1F from the back.
std::string cleaned(std::string_view raw) {
    std::string text;
    for (char c : raw) {
        if (c != '\0') text += c;
    }
    auto is_control = [](char c) { return static_cast<unsigned char>(c) <= 0x1F; };
    size_t start = 0;
    while (start < text.size() && is_control(text[start]))
        ++start;
    size_t end = text.size();
    while (end > start && is_control(text[end - 1]))
        --end;
    return text.substr(start, end - start);
}

// Why a call gives -1.
enum class Failure { none, refused, closed, over };

// What one call of socket_read_line must give.
struct Outcome {
    int result;
    std::string line;  // meaningful when result >= 0
    Failure failure;   // refused: too long or full, nothing consumed; closed: an
                       // empty datagram on the shut socket; over: nothing more
                       // can ever arrive
};

// The framing rules, kept as simple as possible: unconsumed bytes in a
// string, one line or one receive per step.
class FramingModel {
  public:
    FramingModel(const std::vector<std::string>& sends, bool datagrams)
        : datagrams_(datagrams), sends_(sends) {
        if (!datagrams_) {
            // A stream has no boundaries: one piece, and empty sends vanish.
            std::string all;
            for (const auto& piece : sends_)
                all += piece;
            sends_.assign(1, all);
        }
    }

    Outcome next() {
        for (;;) {
            const size_t feed = held().find('\n');
            if (feed != std::string::npos) {
                const size_t len = feed + 1;
                if (len > XCOM_MAX_LINE) return {-1, {}, Failure::refused};
                std::string line = cleaned(held().substr(0, len));
                head_ += len;
                return {static_cast<int>(line.size()), line, Failure::none};
            }
            const size_t room = XCOM_MAX_BUFFER - held().size();
            if (room == 0) return {-1, {}, Failure::refused};  // full without a line feed
            if (!receive(room)) {
                return {-1, {}, next_send_ >= sends_.size() ? Failure::over : Failure::closed};
            }
        }
    }

    // The unconsumed bytes.
    std::string_view held() const { return std::string_view(bytes_).substr(head_); }

  private:
    // Appends what one receive of at most room bytes gets; false for an
    // empty datagram or the end of the stream.
    bool receive(size_t room) {
        if (next_send_ >= sends_.size()) return false;
        std::string& piece = sends_[next_send_];
        if (piece.empty()) {
            ++next_send_;
            return false;
        }
        const size_t taken = std::min(room, piece.size());
        bytes_.erase(0, head_);
        head_ = 0;
        bytes_.append(piece, 0, taken);
        if (datagrams_ || taken == piece.size()) {
            ++next_send_;  // the rest of a cut datagram is lost
        } else {
            piece.erase(0, taken);
        }
        return true;
    }

    bool datagrams_;
    std::vector<std::string> sends_;
    size_t next_send_ = 0;
    std::string bytes_;  // received bytes, consumed up to head_
    size_t head_ = 0;
};

// Sends as much of sends as the socket takes without blocking; returns what
// actually went, which is what the reader may expect.
std::vector<std::string> send_all(int fd, const std::vector<std::string>& sends, bool datagrams) {
    std::vector<std::string> sent;
    for (const auto& piece : sends) {
        if (!datagrams && piece.empty()) continue;
        const ssize_t n = send(fd, piece.data(), piece.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) break;
        sent.push_back(piece.substr(0, static_cast<size_t>(n)));
        if (static_cast<size_t>(n) < piece.size()) break;
    }
    return sent;
}

// The caller-owned receive state, sized exactly so that AddressSanitizer
// sees any write past either buffer. One is reused by every run: clearing
// 48 KiB per run would cost more than the run.
struct Reader {
    std::vector<char> buffer = std::vector<char>(XCOM_MAX_BUFFER + 1, '\0');
    std::vector<char> line = std::vector<char>(XCOM_MAX_LINE + 1, '\0');
    int buflen = 0;
};

// The buffer holds exactly the model's unconsumed bytes, NUL-terminated.
void check_buffer(const Reader& reader, const FramingModel& model) {
    CHECK(reader.buflen >= 0 && static_cast<size_t>(reader.buflen) == model.held().size());
    CHECK(memcmp(reader.buffer.data(), model.held().data(), model.held().size()) == 0);
    CHECK(reader.buffer[static_cast<size_t>(reader.buflen)] == '\0');
}

// Reads the socket until the stream is over, comparing each call with the
// model.
void read_and_compare(int fd, const std::vector<std::string>& sent, bool datagrams) {
    FramingModel model(sent, datagrams);
    static Reader reader;
    reader.buflen = 0;
    reader.buffer[0] = '\0';
    const int timeout = datagrams ? 5 : 0;  // never runs out: everything is there
    bool refused_before = false;
    for (;;) {
        const Outcome expected = model.next();
        const int got =
            socket_read_line(fd, reader.buffer.data(), &reader.buflen, reader.line.data(), timeout);
        CHECK(got == expected.result);
        if (got >= 0) {
            CHECK(strlen(reader.line.data()) == static_cast<size_t>(got));
            CHECK(expected.line == reader.line.data());
            CHECK(reader.buflen >= 0 && static_cast<size_t>(reader.buflen) == model.held().size());
            continue;
        }
        // A failure leaves the buffer as it was, so that a further call
        // meets the same state: a refusal is given again, and after an empty
        // datagram the following ones are still read.
        check_buffer(reader, model);
        if (expected.failure == Failure::over) break;
        if (expected.failure == Failure::refused) {
            if (refused_before) break;
            refused_before = true;
        }
    }
}

// One pass over one kind of socket pair.
void run(const std::vector<std::string>& sends, int type) {
    int fds[2];
    if (socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fds) != 0) fail(__LINE__, "a socket pair");
    const int reader = fds[0], writer = fds[1];
    const int room = 4 << 20;
    setsockopt(writer, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    setsockopt(reader, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);

    const bool datagrams = type == SOCK_DGRAM;
    const std::vector<std::string> sent = send_all(writer, sends, datagrams);
    if (datagrams) {
        // A datagram peer's close is not seen by the reader; shutting the
        // reading side makes the next receive return 0 once the queue is empty.
        shutdown(reader, SHUT_RD);
    } else {
        close(writer);
    }
    read_and_compare(reader, sent, datagrams);
    close(reader);
    if (datagrams) close(writer);
}

}  // namespace

// Switches the library's warnings on, so that their formatting of received
// data is fuzzed too, and sends them to /dev/null.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) dup2(null_fd, STDOUT_FILENO);
    xcom_log_errors(1);
    return 0;
}

// Runs one input through a stream and a datagram socket pair.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> sends = decode_sends(data, size);
    run(sends, SOCK_STREAM);
    run(sends, SOCK_DGRAM);
    return 0;
}
