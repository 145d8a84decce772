// Session registration: the session binds its own datagram socket, starts a
// reader on it and tells the application where to send the user's output.
#include "registration.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <array>
#include <atomic>

#include "channel.h"
#include "console.h"
#include "hangup.h"
#include "libxcom.h"
#include "listener_socket.h"
#include "session.h"

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
    if (channel.send_line(command) != 0) {
        shell_println("XCOM send error");
        return -1;
    }
    const RequestResult answer = channel.response_helper();
    return answer.answered() ? answer.value : kNoAnswer;
}

int unregister_session(Channel& channel) {
    if (!channel.connected()) return -1;
    return channel.send_line("U");
}

// Prints every line the application sends to the session socket, held back
// while the user types; ends when the socket fails.
void* apiAsyncEventReaderThread(void* /*args*/) {
    int fd = api_async_event_fd;
    if (fd == -1) return nullptr;
    std::array<char, XCOM_MAX_BUFFER + 1> buffer;
    std::array<char, XCOM_MAX_LINE + 1> line;
    int buflen = 0;
    buffer[0] = '\0';
    // A line with a whole next line received behind it is only queued: the
    // next line's flush writes both (the same writes), so a datagram of many
    // lines costs one flush. Queued lines go out before the reader waits.
    bool queued = false;
    for (;;) {
        const int n = socket_read_line(fd, buffer.data(), &buflen, line.data(), 0);
        if (n < 0) break;
        const bool line_follows =
            memchr(buffer.data(), '\n', static_cast<size_t>(buflen)) != nullptr;
        if (n > 0) {
            if (session_settings().gbPrintToSysLog == 1) mysyslog("OUT:%s\n", line.data());
            if (line_follows) {
                console_queue_line(line.data());
            } else {
                console_print_event_line(line.data());
            }
            queued = line_follows;
        } else if (queued && !line_follows) {
            console_release_held();  // the lines behind were empty
            queued = false;
        }
    }
    if (queued) console_release_held();
    if (session_settings().gbPrintToSysLog == 1) {
        mysyslog("CRITICAL: XCOM buffer is full without new line, current buffer length: %d",
                 buflen);
    }
    close(fd);
    api_async_event_fd = -1;
    return nullptr;
}
