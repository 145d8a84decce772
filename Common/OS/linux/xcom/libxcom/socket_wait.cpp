// Waiting on one socket with select under a whole-call time budget.
#include "socket_wait.h"

#include <sys/select.h>

#include "seams.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// The wait itself, replaceable so tests can see the time left of a budget
// and end the wait at once instead of living through the limit.
SocketSelectT select_call = select;

}  // namespace

SocketSelectT socket_set_select(SocketSelectT new_select) {
    const SocketSelectT previous = select_call;
    select_call = new_select != nullptr ? new_select : select;
    return previous;
}

namespace xcom {

// Time left as a timeval for select, or nullptr for an unlimited budget.
timeval* Budget::remaining(timeval& tv) const {
    if (!limited_) return nullptr;
    using namespace std::chrono;
    const auto left = duration_cast<microseconds>(deadline_ - steady_clock::now());
    const long long usec = std::max(left, microseconds::zero()).count();
    tv.tv_sec = static_cast<time_t>(usec / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(usec % 1000000);
    return &tv;
}

// Waits for readiness or an exception on socket; see the header for results.
WaitResult wait_socket(int socket, Direction direction, const Budget& budget, bool retry_on_eintr) {
    if (socket < 0 || socket >= FD_SETSIZE) {
        errno = EBADF;
        return WaitResult::failed;
    }
    for (;;) {
        fd_set ready_set;
        fd_set exception_set;
        FD_ZERO(&ready_set);
        FD_ZERO(&exception_set);
        FD_SET(socket, &ready_set);
        FD_SET(socket, &exception_set);
        timeval tv;
        const int result =
            select_call(socket + 1, direction == Direction::read ? &ready_set : nullptr,
                        direction == Direction::write ? &ready_set : nullptr, &exception_set,
                        budget.remaining(tv));
        if (result < 0 && errno == EINTR && retry_on_eintr) continue;
        if (result < 0) return WaitResult::failed;
        if (result == 0) return WaitResult::timed_out;
        if (FD_ISSET(socket, &exception_set)) return WaitResult::exception;
        return WaitResult::ready;
    }
}

// GNU strerror_r: returns a pointer to the text, in scratch or static storage.
const char* error_text(int error, char* scratch, int size) {
    return strerror_r(error, scratch, static_cast<size_t>(size));
}

}  // namespace xcom
