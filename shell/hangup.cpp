// Hang-ups. When the terminal hangs up (the telnet client went away, the
// serial line dropped: SIGHUP), the session ends at once, whatever it is
// doing, the way end of input ends it: login report cleared and "U" sent
// where a connection is up, terminal settings restored where the terminal
// still exists. Ignoring the signal is not enough: only reads of the terminal
// notice a hang-up by themselves, and a session waiting for anything else
// (an answer, the application, the log) would stay for good.
//
// How:
// - The handler only records. It sets a flag and puts /dev/null on standard
//   input, so that a read of the terminal that is about to begin sees end of
//   input; the editor and the password prompt then end as at end of input.
//   It is installed without SA_RESTART, so the blocking call it interrupts
//   returns with EINTR and its caller looks at the flag.
// - Side threads start with every signal blocked (start_side_thread, and the
//   XCOM reader does the same), so the signal reaches the main thread, which
//   does every wait that must notice it.
// - Plain waits (the connect retry, the log viewer, the delay after a wrong
//   password, the flood pause) go through session_pause, which lets the
//   signal in only inside ppoll: one arriving just before the wait cannot be
//   slept through.
// - The wait for an answer runs in slices (answer_wait_slice), so a hang-up
//   that lands just before a slice begins is seen at its end. After a
//   hang-up, what the ending session still sends waits for answers only
//   until one common deadline: an application that does not answer cannot
//   keep the process alive.
// - A watchdog alarm ends the process kWatchdogSeconds after the hang-up in
//   case something no signal cuts short holds the main thread (a host name
//   lookup, a child that does not end).
// - While the login reads the password the terminal still turns Ctrl-C into
//   SIGINT; the same handler then ends the login as given up, so the wrong
//   passwords given before are still reported.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "hangup.h"

namespace {

constexpr int kAnswerSliceMs = 200;  // longest a hang-up goes unseen by the answer wait
constexpr int kAnswerGraceMs = 400;  // answers awaited after a hang-up, all together
constexpr unsigned kWatchdogSeconds = 1;

volatile sig_atomic_t hung_up;
volatile sig_atomic_t interrupted;  // Ctrl-C while the login reads the password
int null_fd = -1;                   // /dev/null, put on standard input by the handler
int terminal_fd = -1;               // the terminal, to put back for restoring its settings
struct sigaction sigint_before {};
timespec grace_end;  // main thread only
bool grace_started;

void on_cut_short(int sig) {
    const int saved_errno = errno;
    if (sig == SIGHUP) {
        if (!hung_up) alarm(kWatchdogSeconds);
        hung_up = 1;
    } else {
        interrupted = 1;
    }
    if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
    errno = saved_errno;
}

void catch_signal(int sig, struct sigaction* before) {
    struct sigaction action {};
    action.sa_handler = on_cut_short;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGHUP);
    sigaddset(&action.sa_mask, SIGINT);
    action.sa_flags = 0;  // no SA_RESTART: the interrupted call returns
    sigaction(sig, &action, before);
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

bool cut_short() {
    return hung_up || interrupted;
}

// The deadline for answers after a hang-up, set when first asked for.
const timespec* grace_deadline() {
    if (!hung_up) return nullptr;
    if (!grace_started) {
        grace_end = monotonic_after(kAnswerGraceMs);
        grace_started = true;
    }
    return &grace_end;
}

}  // namespace

void hangup_install(void) {
    null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    terminal_fd = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
    catch_signal(SIGHUP, nullptr);
    // Whatever the starting program left: the watchdog must be able to fire.
    signal(SIGALRM, SIG_DFL);
    sigset_t needed;
    sigemptyset(&needed);
    sigaddset(&needed, SIGHUP);
    sigaddset(&needed, SIGALRM);
    pthread_sigmask(SIG_UNBLOCK, &needed, nullptr);
}

bool hangup_seen(void) {
    return hung_up != 0;
}

void login_interrupt_catch(bool on) {
    if (on) {
        catch_signal(SIGINT, &sigint_before);
    } else {
        sigaction(SIGINT, &sigint_before, nullptr);
    }
}

bool login_interrupted(void) {
    return interrupted != 0;
}

void hangup_restore_stdin(void) {
    if (cut_short() && terminal_fd >= 0) dup2(terminal_fd, STDIN_FILENO);
}

bool session_pause(int ms) {
    sigset_t cut, during;
    sigemptyset(&cut);
    sigaddset(&cut, SIGHUP);
    sigaddset(&cut, SIGINT);
    pthread_sigmask(SIG_BLOCK, &cut, &during);
    const timespec end = monotonic_after(ms < 0 ? 0 : ms);
    while (!cut_short()) {
        timespec left{};
        if (ms >= 0) {
            const long long rest = ns_until(end);
            if (rest <= 0) break;
            left.tv_sec = static_cast<time_t>(rest / 1000000000);
            left.tv_nsec = static_cast<long>(rest % 1000000000);
        }
        // SIGHUP and SIGINT get in only here, so none is slept through.
        const int rc = ppoll(nullptr, 0, ms < 0 ? nullptr : &left, &during);
        if (ms < 0 && rc < 0 && errno == EINTR) break;
    }
    pthread_sigmask(SIG_SETMASK, &during, nullptr);
    return !cut_short();
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
