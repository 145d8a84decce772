// Endings from outside. When the terminal hangs up (the telnet client went
// away, the serial line dropped: SIGHUP), or a signal from outside asks the
// session to end (SIGTERM; SIGINT or SIGQUIT by kill, since in character
// mode the terminal's keys are plain bytes), the session ends at once,
// whatever it is doing, the way end of input ends it: login report cleared
// and "U" sent where a connection is up, terminal settings restored where
// the terminal still exists, listener sockets removed, children ended.
// Ignoring the signals is not enough: only reads of the terminal notice a
// hang-up by themselves, and a session waiting for anything else (an
// answer, the application, the log, a child) would stay for good.
//
// How:
// - The handler only records. It sets the signal and puts /dev/null on
//   standard input, so that a read of the terminal that is about to begin
//   sees end of input; the editor and the password prompt then end as at
//   end of input. It is installed without SA_RESTART, so the blocking call
//   it interrupts returns with EINTR and its caller looks at the flag.
// - Side threads start with every signal blocked (start_side_thread, and the
//   XCOM reader does the same), so the signals reach the main thread, which
//   does every wait that must notice them.
// - Plain waits (the connect retry, the log viewer, the delay after a wrong
//   password, the flood pause) go through session_pause, and the wait for a
//   child through wait_child; both let the signals in only inside ppoll: one
//   arriving just before the wait cannot be slept through.
// - The wait for an answer runs in slices (answer_wait_slice), so a signal
//   that lands just before a slice begins is seen at its end. Afterwards,
//   what the ending session still sends waits for answers only until one
//   common deadline: an application that does not answer cannot keep the
//   process alive.
// - A watchdog alarm ends the process kWatchdogSeconds after the first
//   ending signal in case something no signal cuts short holds the main
//   thread (a host name lookup).
// - While the terminal is not in character mode (the password prompt, the
//   log viewer) Ctrl-C and Ctrl-\ reach the shell as SIGINT and SIGQUIT from
//   the kernel: they give the login up (the wrong passwords given before are
//   still reported) or quit the log viewer, as the keys of those states.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "hangup.h"

namespace {

constexpr int kAnswerSliceMs = 200;  // longest an ending signal goes unseen by the answer wait
constexpr int kAnswerGraceMs = 400;  // answers awaited after it, all together
constexpr unsigned kWatchdogSeconds = 1;
constexpr int kChildGraceMs = 100;  // a child's time to end on SIGTERM
constexpr int kChildSliceMs = 10;   // how often an ending child is looked at
constexpr int kEndingSignals[] = {SIGHUP, SIGTERM, SIGINT, SIGQUIT};

volatile sig_atomic_t ending_signal;  // the first ending signal, 0 while none
volatile sig_atomic_t terminal_key;   // it was the terminal's Ctrl-C or Ctrl-\ key
int null_fd = -1;                     // /dev/null, put on standard input by the handler
int terminal_fd = -1;                 // the terminal, to put back for restoring its settings
timespec grace_end;                   // main thread only
bool grace_started;

void on_ending_signal(int sig, siginfo_t* info, void* /*context*/) {
    const int saved_errno = errno;
    if (ending_signal == 0) {
        ending_signal = sig;
        terminal_key = sig != SIGHUP && info != nullptr && info->si_code == SI_KERNEL;
        alarm(kWatchdogSeconds);
    }
    if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
    errno = saved_errno;
}

void catch_ending_signal(int sig) {
    struct sigaction action {};  // the mask starts empty
    action.sa_sigaction = on_ending_signal;
    for (const int other : kEndingSignals)
        sigaddset(&action.sa_mask, other);
    action.sa_flags = SA_SIGINFO;  // no SA_RESTART: the interrupted call returns
    sigaction(sig, &action, nullptr);
}

// The ending signals, and extra if not 0.
sigset_t ending_signals(int extra) {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : kEndingSignals)
        sigaddset(&set, sig);
    if (extra != 0) sigaddset(&set, extra);
    return set;
}

// The time of clock ns nanoseconds from now.
timespec clock_after(clockid_t clock, long long ns) {
    timespec at{};
    clock_gettime(clock, &at);
    ns += at.tv_nsec;
    at.tv_sec += static_cast<time_t>(ns / 1000000000);
    at.tv_nsec = static_cast<long>(ns % 1000000000);
    return at;
}

timespec monotonic_after(long long ms) {
    return clock_after(CLOCK_MONOTONIC, ms * 1000000);
}

// Nanoseconds from now until at; zero or less once it has passed.
long long ns_until(const timespec& at) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (at.tv_sec - now.tv_sec) * 1000000000LL + (at.tv_nsec - now.tv_nsec);
}

timespec span_of(long long ns) {
    return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// The deadline for answers after an ending signal, set when first asked for.
const timespec* grace_deadline() {
    if (ending_signal == 0) return nullptr;
    if (!grace_started) {
        grace_end = monotonic_after(kAnswerGraceMs);
        grace_started = true;
    }
    return &grace_end;
}

void on_child(int /*sig*/) {}

}  // namespace

void hangup_install(void) {
    null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    terminal_fd = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
    for (const int sig : kEndingSignals)
        catch_ending_signal(sig);
    // Whatever the starting program left: the watchdog must be able to fire.
    signal(SIGALRM, SIG_DFL);
    sigset_t needed = ending_signals(SIGALRM);
    pthread_sigmask(SIG_UNBLOCK, &needed, nullptr);
}

bool session_cut_short(void) {
    return ending_signal != 0;
}

int session_end_status(int normal) {
    if (ending_signal == 0 || ending_signal == SIGHUP || terminal_key) return normal;
    return 128 + ending_signal;
}

void hangup_restore_stdin(void) {
    if (session_cut_short() && terminal_fd >= 0) dup2(terminal_fd, STDIN_FILENO);
}

namespace {

// Waits ms milliseconds (ms < 0: until any signal is caught), or until fd
// (unless -1) is readable. The ending signals get in only inside ppoll, so
// none is slept through. Returns 1 when fd is readable, 0 when the time
// passed or a signal came, -1 once the session is cut short.
int wait_cut_short(int fd, int ms) {
    const sigset_t cut = ending_signals(0);
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
        pollfd wait{fd, POLLIN, 0};
        const int rc = ppoll(&wait, fd < 0 ? 0 : 1, ms < 0 ? nullptr : &left, &during);
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
    const sigset_t blocked = ending_signals(SIGCHLD);
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

bool hangup_grace_over(void) {
    const timespec* grace = grace_deadline();
    return grace != nullptr && ns_until(*grace) <= 0;
}

int start_side_thread(pthread_t* thread, void* (*body)(void*)) {
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    const int rc = pthread_create(thread, nullptr, body, nullptr);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return rc;
}
