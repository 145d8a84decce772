// Fuzzes what the application sends back: answer lines through
// message_handler and response_helper, and event lines through the session
// socket's reader into the buffered output. Results, the kept answer text,
// the semaphore posts, the terminal output and the system-log copies are
// checked against plain models.
//
// Input: byte 0 holds switches, byte 1 the event datagram size less one, the
// rest is text. Each line of the text (up to a line feed) is given to
// message_handler as one line from the application; the whole text is also
// sent to the session socket in datagrams of the chosen size.
//   bit 0  the session is registered (negative answers become -1)
//   bit 1  answers queue up and are read after the last line
//   bit 2  the connection ends after the last line
//   bit 3  output lines end in CR LF
//   bit 4  output is mirrored to the system log
//   bit 5  the user is typing while the events arrive
#include <fcntl.h>
#include <limits.h>
#include <semaphore.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "channel.h"
#include "console.h"
#include "registration.h"
#include "seams.h"
#include "session.h"
#include "syslog_capture.h"

namespace {

enum Switch : uint8_t {
    kRegistered = 1 << 0,
    kQueued = 1 << 1,
    kConnectionEnds = 1 << 2,
    kCrLf = 1 << 3,
    kMirror = 1 << 4,
    kTyping = 1 << 5,
};

// Event text stays below the longest line, so the framing limits (fuzzed on
// their own) never cut in and the expected output stays simple.
constexpr size_t kMaxEventText = 16000;
constexpr size_t kMaxDatagrams = 512;
constexpr int kSyslogPriority = 69;
constexpr char kTerminal[] = "/dev/pts/7";
constexpr char kSessionTag[] = "telnet7";

// Names the broken expectation, then stops with a crash the fuzzer records.
[[noreturn]] void fail(int line, const char* what) {
    fprintf(stderr, "%s:%d: expected %s\n", __FILE__, line, what);
    __builtin_trap();
}
#define CHECK(condition) ((condition) ? (void)0 : fail(__LINE__, #condition))

using zt::capture_entry;
auto& g_entries = zt::captured_entries;
int g_terminal_fd = -1;  // a memory file standing in for the terminal

// The entry the console writes for text while mirroring.
std::string entry_for(std::string_view text) {
    return "API:" + std::string(kSessionTag) + ":" + std::to_string(gnCount.load()) + ":" +
           std::string(text);
}

// Checks the system-log entries written since the last check, and forgets them.
void check_entries(const std::vector<std::string>& expected) {
    CHECK(g_entries.size() == expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        CHECK(g_entries[i].priority == kSyslogPriority);
        CHECK(g_entries[i].text == expected[i]);
    }
    g_entries.clear();
}

// The semaphore's current count.
int semaphore_value(sem_t* sem) {
    int value = -1;
    sem_getvalue(sem, &value);
    return value;
}

// ---- Answers -------------------------------------------------------------

// The answer's result: its leading decimal integer (white space and a sign
// allowed, 0 without digits), clamped to int; -17 for an empty text; a
// negative result after registration becomes -1.
int expected_result(std::string_view text, bool registered) {
    if (text.empty()) return kAppGone;
    auto is_space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    size_t i = 0;
    while (i < text.size() && is_space(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = std::min(magnitude * 10 + (text[i] - '0'), 1LL << 32);
    }
    const long long value = negative ? -magnitude : magnitude;
    int result = static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
    if (result < 0 && registered) result = -1;
    return result;
}

// The text an answer line leaves in response: what follows its first three
// characters, cut to what response holds.
std::string kept_text(std::string_view line) {
    if (line.size() < 3) return {};
    return std::string(line.substr(3, kResponseSize - 1));
}

// Reads one queued answer the way a waiting request does and checks its
// result, the message printed for it and the one post of the input gate.
void read_answer(std::string_view text, bool registered, std::vector<std::string>* messages) {
    // Never wait for an answer that was not posted: that would hang.
    CHECK(semaphore_value(&response_sem) > 0 || channel_ended());
    const int expected = expected_result(text, registered);
    CHECK(response_helper() == expected);
    if (expected == kAppGone) messages->push_back("error: session is closed by peer");
    if (expected == -1 && registered) messages->push_back("error: command not found");
    CHECK(sem_trywait(&input_ready_sem) == 0);
    CHECK(semaphore_value(&input_ready_sem) == 0);
}

// Feeds each line to message_handler and reads the answers, now or after
// the last line.
void fuzz_answers(uint8_t switches, std::string_view text) {
    const bool registered = switches & kRegistered;
    did_registration = registered;
    response[0] = '\0';
    std::string kept;  // what response must hold
    int queued = 0;
    std::vector<std::string> messages;

    size_t start = 0;
    while (start < text.size()) {
        const size_t end = std::min(text.find('\n', start), text.size());
        // The handler sees a C string: an embedded NUL ends the line.
        std::string line(text.substr(start, end - start));
        line.resize(strlen(line.c_str()));
        start = end + 1;

        std::vector<char> msg(line.begin(), line.end());
        msg.push_back('\0');
        CHECK(message_handler(nullptr, msg.data()) == 0);
        if (!line.empty() && line[0] == 'R') {
            kept = kept_text(line);
            ++queued;
        }
        CHECK(memchr(response, '\0', kResponseSize) != nullptr);
        CHECK(kept == response);
        CHECK(semaphore_value(&response_sem) == queued);
        if (!(switches & kQueued)) {
            for (; queued > 0; --queued)
                read_answer(kept, registered, &messages);
        }
    }
    // Answers that arrived while nobody waited are all read with the last text.
    for (; queued > 0; --queued)
        read_answer(kept, registered, &messages);

    if (switches & kConnectionEnds) {
        CHECK(message_handler(nullptr, nullptr) == 0);
        CHECK(response[0] == '\0');
        read_answer("", registered, &messages);
        // A request after the end must not wait for an answer that cannot come.
        read_answer("", registered, &messages);
        channel_reset();
    }
    CHECK(semaphore_value(&response_sem) == 0);

    std::vector<std::string> entries;
    if (gbPrintToSysLog) {
        for (const auto& message : messages)
            entries.push_back(entry_for("OUT:" + message + "\n"));
    }
    check_entries(entries);
}

// ---- Events --------------------------------------------------------------

// A line as the session socket's reader hands it out: NULs dropped, control
// bytes cut from both ends.
std::string cleaned(std::string_view raw) {
    std::string line;
    for (char c : raw) {
        if (c != '\0') line += c;
    }
    auto is_control = [](char c) { return static_cast<unsigned char>(c) <= 0x1F; };
    size_t begin = 0, end = line.size();
    while (begin < end && is_control(line[begin]))
        ++begin;
    while (end > begin && is_control(line[end - 1]))
        --end;
    return line.substr(begin, end - begin);
}

// Sends text to the socket in datagrams of size bytes (the last takes the
// rest once there are kMaxDatagrams). Returns false if the socket refused.
bool send_datagrams(int fd, std::string_view text, size_t size) {
    for (size_t sent = 0, count = 1; sent < text.size(); ++count) {
        const size_t piece = count == kMaxDatagrams ? text.size() - sent : size;
        const std::string_view datagram = text.substr(sent, piece);
        if (send(fd, datagram.data(), datagram.size(), MSG_DONTWAIT) !=
            static_cast<ssize_t>(datagram.size())) {
            return false;
        }
        sent += datagram.size();
    }
    return true;
}

// What reached the terminal since it was last emptied.
std::string terminal_text() {
    std::string text;
    char chunk[4096];
    ssize_t n;
    for (off_t at = 0; (n = pread(g_terminal_fd, chunk, sizeof chunk, at)) > 0; at += n) {
        text.append(chunk, static_cast<size_t>(n));
    }
    return text;
}

// Runs the session socket's reader over the text and checks the terminal
// output and the system-log copies.
void fuzz_events(uint8_t switches, size_t datagram_size, std::string_view text) {
    text = text.substr(0, kMaxEventText);
    if (ftruncate(g_terminal_fd, 0) != 0 || lseek(g_terminal_fd, 0, SEEK_SET) != 0) {
        fail(__LINE__, "an empty terminal");
    }
    stdout_shio = shell_io_create();
    CHECK(stdout_shio != nullptr);
    shell_io_bind_fd(stdout_shio, g_terminal_fd);
    const bool crlf = switches & kCrLf;
    if (crlf) shell_io_add_cr(stdout_shio);
    cle_inline = (switches & kTyping) ? 1 : 0;

    int fds[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds) != 0)
        fail(__LINE__, "a socket pair");
    const int room = 4 << 20;
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    CHECK(send_datagrams(fds[1], text, datagram_size));
    // The reader's next receive after the last datagram gives 0 and ends it.
    shutdown(fds[0], SHUT_RD);
    api_async_event_fd = fds[0];
    apiAsyncEventReaderThread(nullptr);
    CHECK(api_async_event_fd == -1);
    CHECK(fcntl(fds[0], F_GETFD) == -1);  // the reader closed its socket
    close(fds[1]);

    std::string output;
    std::vector<std::string> entries;
    size_t start = 0;
    for (size_t feed; (feed = text.find('\n', start)) != std::string_view::npos; start = feed + 1) {
        const std::string line = cleaned(text.substr(start, feed + 1 - start));
        if (line.empty()) continue;
        output += line + (crlf ? "\r\n" : "\n");
        if (gbPrintToSysLog) entries.push_back(entry_for("OUT:" + line + "\n"));
    }
    if (gbPrintToSysLog) {
        entries.push_back(
            entry_for("CRITICAL: XCOM buffer is full without new line, current buffer length: " +
                      std::to_string(text.size() - start)));
    }
    check_entries(entries);

    if (cle_inline) {
        // Held back while the user types, written once the line is ended.
        CHECK(terminal_text().empty());
        cle_inline = 0;
        flush_async_output();
    }
    CHECK(terminal_text() == output);
    shell_io_destroy(stdout_shio);
    free(stdout_shio);
    stdout_shio = nullptr;
}

}  // namespace

// Sets up the session state the two paths need, once.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The shell's own messages go to standard output: /dev/null here.
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) dup2(null_fd, STDOUT_FILENO);
    g_terminal_fd = memfd_create("terminal", MFD_CLOEXEC);
    if (g_terminal_fd < 0) fail(__LINE__, "a memory file for the terminal");
    snprintf(tty_name, sizeof tty_name, "%s", kTerminal);
    console_set_vsyslog(capture_entry);
    sem_init(&response_sem, 0, 0);
    sem_init(&input_ready_sem, 0, 0);
    return 0;
}

// Runs one input through the answer path, then the event path.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t switches = data[0];
    const size_t datagram_size = static_cast<size_t>(data[1]) + 1;
    const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);
    gbPrintToSysLog = (switches & kMirror) ? 1 : 0;
    gnCount = static_cast<int>(size);

    fuzz_answers(switches, text);
    fuzz_events(switches, datagram_size, text);
    gbPrintToSysLog = 0;
    return 0;
}
