// The waits of the main thread, cut short by the ending signals: plain
// pauses (the connect retry, the log viewer, the delay after a wrong
// password, the flood pause) and the wait for a child let the signals in
// only inside ppoll. The wait for an answer runs in slices, so a signal that
// lands just before a slice begins is seen at its end; afterwards, what the
// ending session still sends waits for answers only until one common
// deadline: an application that does not answer cannot keep the process
// alive.
#include "waits.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>

#include "clock.h"
#include "ending_signals.h"

namespace {

constexpr int kAnswerSliceMs = 200;  // longest an ending signal goes unseen by the answer wait
constexpr int kAnswerGraceMs = 400;  // answers awaited after it, all together
constexpr int kChildGraceMs = 100;   // a child's time to end on SIGTERM
constexpr int kChildSliceMs = 10;    // how often an ending child is looked at

timespec grace_end;  // main thread only
bool grace_started;

// The deadline for answers after an ending signal, set when first asked for.
const timespec* grace_deadline() {
    if (!session_cut_short()) return nullptr;
    if (!grace_started) {
        grace_end = monotonic_after(kAnswerGraceMs);
        grace_started = true;
    }
    return &grace_end;
}

void on_child(int /*sig*/) {}

// Waits ms milliseconds (ms < 0: until any signal is caught), or until fd
// (unless -1) is readable. The ending signals get in only inside ppoll, so
// none is slept through. Returns 1 when fd is readable, 0 when the time
// passed or a signal came, -1 once the session is cut short.
int wait_cut_short(int fd, int ms) {
    const sigset_t cut = ending_signal_set(0);
    sigset_t during;
    pthread_sigmask(SIG_BLOCK, &cut, &during);
    const timespec end = monotonic_after(ms < 0 ? 0 : ms);
    int result = 0;
    while (!session_cut_short()) {
        timespec left{};
        if (ms >= 0) {
            const long long rest = ns_until(end);
            if (rest <= 0) break;
            left = span_of(rest);
        }
        pollfd wait{fd, POLLIN, {}};  // poll passes over an fd of -1
        const int rc = ppoll(&wait, 1, ms < 0 ? nullptr : &left, &during);
        if (rc > 0 || (rc < 0 && errno != EINTR)) {
            result = 1;  // readable, or a failure the read will report
            break;
        }
        if (ms < 0 && rc < 0 && fd < 0) break;
    }
    pthread_sigmask(SIG_SETMASK, &during, nullptr);
    return session_cut_short() ? -1 : result;
}

}  // namespace

void session_pause(int ms) {
    wait_cut_short(-1, ms);
}

bool session_wait_readable(int fd) {
    return wait_cut_short(fd, -1) > 0;
}

int wait_child(pid_t pid) {
    // SIGCHLD wakes the wait once the child ends; it needs a handler for that.
    struct sigaction wake {
    }, before{};
    wake.sa_handler = on_child;
    sigemptyset(&wake.sa_mask);
    const sigset_t blocked = ending_signal_set(SIGCHLD);
    sigset_t during;
    pthread_sigmask(SIG_BLOCK, &blocked, &during);
    sigaction(SIGCHLD, &wake, &before);
    int status = 0;
    timespec kill_at{};
    bool ending = false;
    for (;;) {
        // Not reaped yet (WNOWAIT): the ended leader keeps its group's number
        // from any new process until the group has been ended.
        siginfo_t info{};
        const int rc = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
        if (rc != 0 && errno != EINTR) {
            status = -1;
            break;
        }
        const bool ended = rc == 0 && info.si_pid == pid;
        if (ended && !ending) break;
        if (session_cut_short() && !ending) {
            kill(-pid, SIGTERM);
            kill_at = monotonic_after(kChildGraceMs);
            ending = true;
        } else if (ending && ns_until(kill_at) <= 0) {
            // The leader (the tool's /bin/sh) ends on SIGTERM; what it
            // started may ignore it.
            kill(-pid, SIGKILL);
            if (ended) break;
        }
        const timespec slice = span_of(kChildSliceMs * 1000000LL);
        ppoll(nullptr, 0, ending ? &slice : nullptr, &during);
    }
    while (status != -1 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    sigaction(SIGCHLD, &before, nullptr);
    pthread_sigmask(SIG_SETMASK, &during, nullptr);
    return status;
}

int answer_wait_slice(sem_t* sem) {
    const timespec* grace = grace_deadline();
    long long ns = kAnswerSliceMs * 1000000LL;
    if (grace != nullptr) ns = std::max(ns_until(*grace), 0LL);
    // sem_timedwait, whose deadline is on the wall clock, rather than
    // sem_clockwait: ThreadSanitizer sees the ordering a post gives only with
    // the former. Only this short span is measured on the wall clock.
    const timespec until = clock_after(CLOCK_REALTIME, ns);
    return sem_timedwait(sem, &until);
}

bool answer_grace_over(void) {
    const timespec* grace = grace_deadline();
    return grace != nullptr && ns_until(*grace) <= 0;
}
