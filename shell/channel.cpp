// The request/answer channel to the application: one prefixed line out, one
// "R..." answer back on the XCOM reader thread, handed over through
// response_sem. The user's output never travels here; it arrives on the
// session's own socket.
#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "channel.h"
#include "console.h"
#include "hangup.h"
#include "mutex_lock.h"
#include "session.h"

HXCOM hclient;
char response[kResponseSize];
sem_t response_sem;
sem_t input_ready_sem;
int did_registration;

namespace {

// Longest request line the application accepts, prefix included.
constexpr int kMaxRequest = 510;
// A formatted request: one too long to send is still formatted whole enough
// to be measured and refused.
constexpr int kRequestBufferSize = 516;

bool semaphores_ready;  // response_sem and input_ready_sem exist

// Set once the connection has ended. The reader posts response_sem only once
// at the end, so every later request must learn of the end from here instead
// of waiting for an answer that cannot come.
std::atomic<bool> connection_ended;

// Guards response. The semaphore orders an answer before the wait that takes
// it, but not a further answer the application sends unasked, which the
// reader may be writing while the main thread reads the previous one.
pthread_mutex_t response_mut = PTHREAD_MUTEX_INITIALIZER;

// Stores text as the answer.
void set_answer(const char* text) {
    MutexLock lock(response_mut);
    snprintf(response, sizeof response, "%s", text);
}

// The answer's result: its leading number clamped to int, or kAppGone when
// it is empty. Sets *empty accordingly.
int answer_result(bool* empty) {
    long long value = 0;
    {
        MutexLock lock(response_mut);
        *empty = response[0] == '\0';
        value = strtoll(response, nullptr, 10);
    }
    return static_cast<int>(value < INT_MIN ? INT_MIN : value > INT_MAX ? INT_MAX : value);
}

// Sends one formatted request. Returns 0 when it went (or when the connection
// has ended, so the wait reports the end), -1 when it could not be sent, -2
// when it is not one request line: too long, or holding a line break, which
// would end it early and put the rest on the wire as a request of its own.
int send_request(const char* request, int length) {
    if (length > kMaxRequest) {
        shell_println("error: command line too long");
        return -2;
    }
    if (strpbrk(request, "\r\n") != nullptr) {
        shell_println("error: request holds a line break, not sent");
        return -2;
    }
    if (connection_ended) return 0;
    if (hclient == nullptr) return -1;
    return xcom_client_send(hclient, request) == 0 ? 0 : -1;
}

// Formats and sends a request for the three fixed-format operations.
[[gnu::format(printf, 1, 2)]] int send_fixed(const char* fmt, ...) {
    char request[kRequestBufferSize];
    va_list ap;
    va_start(ap, fmt);
    int length = vsnprintf(request, sizeof request, fmt, ap);
    va_end(ap);
    int rc = send_request(request, length);
    if (rc == -1) shell_println("XCOM send error");
    if (rc != 0) return -1;
    return response_helper();
}

// Waits for the answer or for the end of the connection. Returns false when
// a hang-up ended the wait first: the session is ending, and an application
// that does not answer must not keep it.
bool wait_for_answer() {
    for (;;) {
        if (sem_trywait(&response_sem) == 0) return true;
        if (connection_ended) {
            set_answer("");
            return true;
        }
        if (hangup_grace_over()) return false;
        if (answer_wait_slice(&response_sem) == 0) return true;
        if (errno != EINTR && errno != ETIMEDOUT) return true;
    }
}

}  // namespace

int channel_init_semaphores(void) {
    if (sem_init(&response_sem, 0, 0) != 0) return -1;
    if (sem_init(&input_ready_sem, 0, 0) != 0) return -11;
    semaphores_ready = true;
    return 0;
}

void channel_destroy_semaphores(void) {
    if (!semaphores_ready) return;
    sem_destroy(&response_sem);
    sem_destroy(&input_ready_sem);
    semaphores_ready = false;
}

bool channel_connect(void) {
    hclient = xcom_client_connect(host_name, host_port, message_handler);
    if (hclient == nullptr) return false;
    channel_reset();
    return true;
}

void channel_disconnect(void) {
    if (hclient != nullptr) xcom_client_disconnect(hclient);
    hclient = nullptr;
}

int channel_send(const char* request) {
    return send_request(request, static_cast<int>(strlen(request))) == 0 ? 0 : -1;
}

// Forwards a user command line with the current command format. Returns the
// answer's result, or -17 when the application is gone.
int send_command(const char* cmdline) {
    char request[kRequestBufferSize];
    int length = snprintf(request, sizeof request, cmd_fmt, cmdline);
    int rc = send_request(request, length);
    if (rc == -2) {
        sem_post(&input_ready_sem);  // handled without a request
        return -1;
    }
    if (rc != 0) {
        shell_println("error: unknown error executing a command");
        return kAppGone;
    }
    return response_helper();
}

// Sends a customer API request ("E: ").
int send_api_cmd(const char* cmdline) {
    return send_fixed("E: %s", cmdline);
}

// Sends an internal system request ("D: ").
int send_sys_cmd(const char* cmdline) {
    return send_fixed("D: %s", cmdline);
}

// Sends a session naming request ("N: name x" or "N: find x").
int send_session_cmd(const char* op, const char* arg) {
    return send_fixed("N: %s %s", op, arg);
}

// Waits for the answer to the request just sent and returns its leading
// number; an empty answer means the application closed the session.
int response_helper(void) {
    bool empty = false;
    int result = 0;
    if (!wait_for_answer()) {
        result = kAppGone;  // hung up: nobody to tell
    } else if (result = answer_result(&empty); empty) {
        shell_println("error: session is closed by peer");
        result = kAppGone;
    } else if (result < 0 && did_registration) {
        shell_println("error: command not found");
        fflush(stdout);
        result = -1;
    }
    sem_post(&input_ready_sem);
    return result;
}

// The XCOM line callback: keeps the text of an answer line (or the empty text
// at the end of the connection) and wakes the waiting request.
int message_handler(HXCOM /*h_client*/, char* msg) {
    if (msg == nullptr) {
        set_answer("");
        connection_ended = true;
        sem_post(&response_sem);
    } else if (msg[0] == 'R') {
        size_t len = strnlen(msg, 3);
        set_answer(len < 3 ? "" : msg + 3);
        sem_post(&response_sem);
    }
    return 0;
}

void channel_forget_answer(void) {
    set_answer("");
}

// Makes the channel usable for a new connection.
void channel_reset(void) {
    connection_ended = false;
}

bool channel_ended(void) {
    return connection_ended;
}
