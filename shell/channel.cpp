// The channel's requests, the wait for their answers, and the XCOM line
// callback that hands each answer over.
#include "channel.h"

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "console.h"
#include "mutex_lock.h"
#include "session.h"
#include "waits.h"

namespace {

// Longest request line the application accepts, prefix included.
constexpr int kMaxRequest = 510;
// A formatted request: one too long to send is still formatted whole enough
// to be measured and refused.
constexpr int kRequestBufferSize = 516;
// send_request's results besides 0.
constexpr int kSendFailed = -1;
constexpr int kNotOneLine = -2;

// The channel whose connection's reader calls message_handler. The XCOM
// callback carries no pointer of its own, and a session has one connection
// at a time (the failed-login report's has ended before the session's opens).
std::atomic<Channel*> receiving{nullptr};

}  // namespace

Channel::Channel() = default;

Channel::~Channel() {
    disconnect();
    destroy_semaphores();
}

void Channel::set_answer(const char* text) {
    MutexLock lock(response_mut);
    snprintf(response, sizeof response, "%s", text);
}

// The answer's result: its leading number clamped to int. Sets *empty when
// the answer is empty.
int Channel::answer_result(bool* empty) {
    long long value = 0;
    {
        MutexLock lock(response_mut);
        *empty = response[0] == '\0';
        value = strtoll(response, nullptr, 10);
    }
    return static_cast<int>(value < INT_MIN ? INT_MIN : value > INT_MAX ? INT_MAX : value);
}

// Sends one formatted request. Returns 0 when it went (or when the connection
// has ended, so the wait reports the end), kSendFailed when it could not be
// sent, kNotOneLine when it is not one request line: too long, or holding a
// line break, which would end it early and put the rest on the wire as a
// request of its own.
int Channel::send_request(const char* request, int length) {
    if (length > kMaxRequest) {
        shell_println("error: command line too long");
        return kNotOneLine;
    }
    if (strpbrk(request, "\r\n") != nullptr) {
        shell_println("error: request holds a line break, not sent");
        return kNotOneLine;
    }
    if (connection_ended) return 0;
    if (hclient == nullptr) return kSendFailed;
    return xcom_client_send(hclient, request) == 0 ? 0 : kSendFailed;
}

// Formats and sends a request for the three fixed-format operations.
RequestResult Channel::send_fixed(const char* fmt, ...) {
    char request[kRequestBufferSize];
    va_list ap;
    va_start(ap, fmt);
    const int length = vsnprintf(request, sizeof request, fmt, ap);
    va_end(ap);
    const int rc = send_request(request, length);
    if (rc == kNotOneLine) return {RequestStatus::kRefused, 0};
    if (rc == kSendFailed) {
        shell_println("XCOM send error");
        return {RequestStatus::kNotSent, 0};
    }
    return response_helper();
}

// Waits for the answer or for the end of the connection. Returns false when
// a hang-up ended the wait first: the session is ending, and an application
// that does not answer must not keep it.
bool Channel::wait_for_answer() {
    for (;;) {
        if (sem_trywait(&response_sem) == 0) return true;
        if (connection_ended) {
            set_answer("");
            return true;
        }
        if (answer_grace_over()) return false;
        if (answer_wait_slice(&response_sem) == 0) return true;
        if (errno == ETIMEDOUT) continue;  // the next slice
        // A handler that ran (a window resize) cuts a timed wait short with
        // EINTR, SA_RESTART or not: wait on. Otherwise only a semaphore that
        // was never made fails, after which no answer can be awaited.
        if (errno != EINTR) return true;
    }
}

bool Channel::init_semaphores() {
    semaphores_ready = sem_init(&response_sem, 0, 0) == 0;
    return semaphores_ready;
}

void Channel::destroy_semaphores() {
    if (!semaphores_ready) return;
    sem_destroy(&response_sem);
    semaphores_ready = false;
}

bool Channel::connect(const char* host, int port) {
    receiving = this;
    connection_ended = false;
    hclient = xcom_client_connect(host, port, message_handler);
    return hclient != nullptr;
}

void Channel::disconnect() {
    if (hclient != nullptr) xcom_client_disconnect(hclient);
    hclient = nullptr;
    Channel* self = this;
    receiving.compare_exchange_strong(self, nullptr);
}

bool Channel::connected() const {
    return hclient != nullptr && !connection_ended;
}

bool Channel::send_line(const char* request) {
    return send_request(request, static_cast<int>(strlen(request))) == 0;
}

RequestResult Channel::send_command(const char* cmd_fmt, const char* cmdline) {
    char request[kRequestBufferSize];
    const int length = snprintf(request, sizeof request, cmd_fmt, cmdline);
    const int rc = send_request(request, length);
    if (rc == kNotOneLine) return {RequestStatus::kRefused, 0};
    if (rc == kSendFailed) {
        shell_println("error: unknown error executing a command");
        return {RequestStatus::kNotSent, 0};
    }
    return response_helper();
}

RequestResult Channel::send_api_cmd(const char* cmdline) {
    return send_fixed("E: %s", cmdline);
}

RequestResult Channel::send_sys_cmd(const char* cmdline) {
    return send_fixed("D: %s", cmdline);
}

RequestResult Channel::send_session_cmd(const char* op, const char* arg) {
    return send_fixed("N: %s %s", op, arg);
}

// Takes the answer's leading number; an empty answer means the application
// closed the session.
RequestResult Channel::response_helper() {
    RequestResult result{RequestStatus::kAnswered, 0};
    bool empty = false;
    if (!wait_for_answer()) {
        result.status = RequestStatus::kHungUp;
    } else if (result.value = answer_result(&empty); empty) {
        shell_println("error: session is closed by peer");
        result = {RequestStatus::kGone, 0};
    } else if (result.value < 0 && did_registration) {
        shell_println("error: command not found");
    }
    return result;
}

void Channel::forget_answer() {
    set_answer("");
}

// Keeps the text of an answer line (or the empty text at the end of the
// connection) and wakes the waiting request.
void Channel::on_line(char* msg) {
    if (msg == nullptr) {
        set_answer("");
        connection_ended = true;
        sem_post(&response_sem);
    } else if (msg[0] == 'R') {
        const size_t len = strnlen(msg, 3);
        set_answer(len < 3 ? "" : msg + 3);
        sem_post(&response_sem);
    }
}

int Channel::message_handler(HXCOM /*h_client*/, char* msg) {
    if (Channel* channel = receiving.load(); channel != nullptr) channel->on_line(msg);
    return 0;
}
