// The registration's steps, and the event reader's loop over the session
// socket.
#include "registration.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <memory>
#include <new>

#include "bad_input.h"
#include "channel.h"
#include "clock.h"
#include "console.h"
#include "ending_signals.h"
#include "libxcom.h"
#include "listener_socket.h"
#include "session.h"
#include "system_log.h"
#include "terminal_text.h"

namespace {

// The session socket, -1 while none; the event reader closes it at its end.
std::atomic<int> api_async_event_fd = -1;
pthread_t apiAsyncEventReader;
// The answer of a request that failed without one.
constexpr int kNoAnswer = -17;

// "R: ", the session type, a space and the listener socket's path.
constexpr int kRegistrationSize = 4 + kSessionTypeSize + kListenerPathSize;

}  // namespace

int register_session(Channel& channel) {
    const SessionSettings& settings = session_settings();
    char command[kRegistrationSize];
    snprintf(command, sizeof command, "%s%s ", "R: ", settings.session_type);
    api_async_event_fd = setupSocket("apiasynclisteners/", command + strlen(command));
    if (api_async_event_fd < 0) {
        if (session_traits().setup_messages) {
            shell_println("error: zcon failed to setup async listener");
        }
        return -1;
    }
    if (start_side_thread(&apiAsyncEventReader, apiAsyncEventReaderThread) != 0) {
        shell_println("error: failed to create api async reader thread");
        return -2;
    }
    pthread_detach(apiAsyncEventReader);  // never joined: it may end long before the session
    channel.forget_answer();
    if (!channel.send_line(command)) {
        shell_println("XCOM send error");
        return -1;
    }
    const RequestResult answer = channel.response_helper();
    return answer.answered() ? answer.value : kNoAnswer;
}

int unregister_session(Channel& channel) {
    return channel.connected() && channel.send_line("U") ? 0 : -1;
}

namespace {

// The event reader's buffers: a datagram whole, the line taken from it, and
// the line made safe for the terminal. Allocated once, off the stack.
struct EventBuffers {
    SocketDatagramT datagram;
    std::array<char, XCOM_MAX_LINE + 1> line;
    std::array<char, terminal_text_size(XCOM_MAX_LINE)> shown;
};

constexpr BadInputWarnings::Kind kEventKinds[] = {
    {SOCKET_BAD_LONG_LINE, "line over 16384 bytes cut"},
    {SOCKET_BAD_NO_LINE_FEED, "datagram without a final line feed"},
    {SOCKET_BAD_TRUNCATED, "datagram over 65536 bytes cut"},
    {SOCKET_BAD_EMPTY, "empty datagram"},
};

}  // namespace

// Prints every line the application sends to the session socket, held back
// while the user types; ends when the socket fails. Anyone may send to the
// socket: each datagram's lines stand alone, and what cannot be shown as it
// came is cut or shown harmless, with a warning in the system log.
void* apiAsyncEventReaderThread(void* /*args*/) {
    const int fd = api_async_event_fd;
    if (fd == -1) return nullptr;
    const std::unique_ptr<EventBuffers> buffers(new (std::nothrow) EventBuffers{});
    BadInputWarnings warnings("event socket", kEventKinds, 4);
    // A line with a next line of its datagram behind it is told to wait for
    // it (more follows), so a datagram of many lines costs one write; when
    // the lines behind it were empty, the console is told nothing follows.
    bool told_more = false;
    while (buffers) {
        EventBuffers& b = *buffers;
        int kinds = 0;
        const int n = socket_read_datagram_line(fd, &b.datagram, b.line.data(), &kinds);
        if (n < 0) break;
        if (kinds != 0) warnings.note(kinds, monotonic_ms());
        const bool line_follows = socket_datagram_pending(&b.datagram);
        if (n > 0) {
            terminal_safe_text(b.line.data(), static_cast<size_t>(n), b.shown.data(),
                               b.shown.size());
            syslog_mirror("OUT:%s\n", b.shown.data());
            console_print_event_line(b.shown.data(), line_follows);
            told_more = line_follows;
        } else if (told_more && !line_follows) {
            console_print_event_line(nullptr, false);  // the lines behind were empty
            told_more = false;
        }
    }
    if (told_more) console_print_event_line(nullptr, false);
    // Each datagram is taken whole, so nothing is left unread at the end.
    syslog_mirror("CRITICAL: XCOM buffer is full without new line, current buffer length: %d", 0);
    close(fd);
    api_async_event_fd = -1;
    return nullptr;
}
