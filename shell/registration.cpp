// The registration's steps, and the event reader's loop over the session
// socket.
#include "registration.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
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
#include "event_stream.h"
#include "libxcom.h"
#include "listener_socket.h"
#include "mutex_lock.h"
#include "peers.h"
#include "session.h"
#include "system_log.h"
#include "terminal_text.h"

namespace {

// The session socket, -1 while none; the event reader closes it at its end.
std::atomic<int> api_async_event_fd = -1;
pthread_t apiAsyncEventReader;
// The answer of a request that failed without one.
constexpr int kNoAnswer = -17;
// Longest the end of the session waits for the event reader's last lines.
constexpr int kReaderEndMs = 300;

// "R: ", the session type, a space and the listener socket's path.
constexpr int kRegistrationSize = 4 + kSessionTypeSize + kListenerPathSize;

// The event reader's end, which the end of the session asks for and waits
// for: the socket is shut and closed under reader_mut, so it is never shut
// after its number went to another descriptor.
pthread_mutex_t reader_mut = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t reader_ended = PTHREAD_COND_INITIALIZER;
bool reader_running;  // under reader_mut
bool end_asked;       // under reader_mut: the session is ending

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
    peers_note_application(channel.connection_socket());
    reader_running = true;  // no reader yet, so no lock
    if (start_side_thread(&apiAsyncEventReader, apiAsyncEventReaderThread) != 0) {
        reader_running = false;
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

void registration_end_events(void) {
    MutexLock lock(reader_mut);
    end_asked = true;
    if (!reader_running) return;
    shutdown(api_async_event_fd, SHUT_RD);
    const timespec until = clock_after(CLOCK_REALTIME, kReaderEndMs * 1000000LL);
    while (reader_running && pthread_cond_timedwait(&reader_ended, &reader_mut, &until) == 0) {
    }
}

namespace {

// The event reader's buffers: the datagrams of one receive, each whole, the
// line built from them, and the line made safe for the terminal. Allocated
// once, off the stack, and not filled: a page is touched only when a
// datagram or a line reaches it.
struct EventBuffers {
    std::array<std::array<char, XCOM_MAX_DATAGRAM + 1>, XCOM_DATAGRAM_BATCH> datagrams;
    std::array<char, XCOM_MAX_LINE + 1> line;
    std::array<char, terminal_text_size(XCOM_MAX_LINE)> shown;
};

constexpr BadInputWarnings::Kind kEventKinds[] = {
    {SOCKET_BAD_LONG_LINE, "line over 16384 bytes cut"},
    {SOCKET_BAD_TRUNCATED, "datagram over 65536 bytes cut"},
    {SOCKET_BAD_EMPTY, "empty datagram"},
    {kEventTooManySenders, "start of a line shown alone: more than 8 senders had one waiting"},
    {kBadInputStranger, "datagram of another user dropped"},
};

// Shows each line: made safe, mirrored (OUT:) and printed. A line with a
// whole next line of its datagram behind it is told to wait for it (more
// follows), so a datagram of many lines costs one write; when the lines
// behind it were empty, the console is told that nothing follows.
class EventPrinter final : public EventLineSink {
  public:
    explicit EventPrinter(EventBuffers& buffers) : b_(buffers) {}
    void on_line(const char* line, int length, bool more) override {
        if (length > 0) {
            terminal_safe_text(line, static_cast<size_t>(length), b_.shown.data(), b_.shown.size());
            syslog_mirror("OUT:%s\n", b_.shown.data());
            console_print_event_line(b_.shown.data(), more);
            told_more_ = more;
        } else if (told_more_ && !more) {
            console_print_event_line(nullptr, false);  // the lines behind were empty
            told_more_ = false;
        }
    }

  private:
    EventBuffers& b_;
    bool told_more_ = false;
};

// Receives until the socket fails or is shut, then shows the lines still
// waiting for their end, each alone.
void read_events(int fd, EventBuffers& b) {
    BadInputWarnings warnings("event socket", kEventKinds, 5);
    EventStream stream(b.line.data());
    EventPrinter printer(b);
    std::array<char*, XCOM_DATAGRAM_BATCH> datagrams;
    for (size_t i = 0; i < datagrams.size(); ++i)
        datagrams[i] = b.datagrams[i].data();
    std::array<SocketReceivedT, XCOM_DATAGRAM_BATCH> got;
    int count;
    while ((count = socket_recv_datagrams(fd, datagrams.data(), XCOM_MAX_DATAGRAM,
                                          XCOM_DATAGRAM_BATCH, got.data())) >= 0) {
        for (size_t i = 0; i < static_cast<size_t>(count); ++i) {
            const SocketReceivedT& d = got[i];
            if (!peers_accept(d.sender)) {
                char who[kSenderTextSize];
                peers_describe(d.sender, who);
                warnings.note(kBadInputStranger, monotonic_ms(), who);
                continue;
            }
            const int kinds = d.kinds | stream.feed(d.sender.pid, datagrams[i], d.length,
                                                    (d.kinds & SOCKET_BAD_TRUNCATED) != 0, printer);
            if (kinds != 0) warnings.note(kinds, monotonic_ms());
        }
    }
    stream.drain(printer);
}

}  // namespace

// Prints every line the session's peers send to the session socket, held
// back while the user types; ends when the socket fails or the session
// ends. Anyone may send to the socket: only the peers are heard (peers.h),
// each sender's lines are its own, and what cannot be shown as it came is
// cut or shown harmless, with a warning in the system log.
void* apiAsyncEventReaderThread(void* /*args*/) {
    const int fd = api_async_event_fd;
    const std::unique_ptr<EventBuffers> buffers(new (std::nothrow) EventBuffers);
    if (fd != -1 && buffers) read_events(fd, *buffers);
    MutexLock lock(reader_mut);
    // A reader that the session's end did not ask to end lost its socket.
    if (!end_asked) {
        syslog_mirror("CRITICAL: XCOM buffer is full without new line, current buffer length: %d",
                      0);
    }
    if (fd != -1) close(fd);
    api_async_event_fd = -1;
    reader_running = false;
    pthread_cond_broadcast(&reader_ended);
    return nullptr;
}
