// Endings from outside. When the terminal hangs up (the telnet client went
// away, the serial line dropped: SIGHUP), or a signal from outside asks the
// session to end (SIGTERM; SIGINT or SIGQUIT by kill, since in character
// mode the terminal's keys are plain bytes), the session ends at once,
// whatever it is doing, the way end of input ends it. Ignoring the signals
// is not enough: only reads of the terminal notice a hang-up by themselves,
// and a session waiting for anything else (an answer, the application, the
// log, a child) would stay for good.
//
// - The handler only records. It sets the signal and puts /dev/null on
//   standard input, so that a read of the terminal that is about to begin
//   sees end of input; the editor and the password prompt then end as at
//   end of input. It is installed without SA_RESTART, so the blocking call
//   it interrupts returns with EINTR and its caller looks at the flag.
// - Side threads start with every signal blocked (start_side_thread, and the
//   XCOM reader does the same), so the signals reach the main thread, which
//   does every wait that must notice them (waits.cpp).
// - Endings never wait for the terminal. A terminal that does not drain (a
//   stalled client, flow control) would hold every write to it, and with a
//   side thread's write the console's lock, which the teardown needs. So
//   the handler makes standard output's file non-blocking, then stops and
//   restarts the terminal's output (tcflow): only that wakes a write
//   already blocked in another thread (new flags alone do not reach a
//   writer asleep in the kernel), which then returns what it wrote. From
//   then on what the terminal does not take at once is dropped; the flags
//   are put back when the session has ended.
// - A watchdog alarm ends the process kWatchdogSeconds after the first
//   ending signal in case something no signal cuts short holds the main
//   thread (a host name lookup); it removes the listener sockets first.
// - While the terminal is not in character mode (the password prompt, the
//   log viewer) Ctrl-C and Ctrl-\ reach the shell as SIGINT and SIGQUIT from
//   the kernel: they give the login up (the wrong passwords given before are
//   still reported) or quit the log viewer, as the keys of those states.
#include "ending_signals.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <termios.h>
#include <unistd.h>

#include "cle.h"
#include "listener_socket.h"

namespace {

constexpr unsigned kWatchdogSeconds = 1;
constexpr int kEndingSignals[] = {SIGHUP, SIGTERM, SIGINT, SIGQUIT};

volatile sig_atomic_t ending_signal;  // the first ending signal, 0 while none
volatile sig_atomic_t terminal_key;   // it was the terminal's Ctrl-C or Ctrl-\ key
int null_fd = -1;                     // /dev/null, put on standard input by the handler
int terminal_fd = -1;                 // the terminal, to put back for restoring its settings
int output_flags = -1;                // standard output's file status flags at the start

// Makes writes to the terminal that it does not take at once fail rather
// than wait, a write already waiting included.
void stop_waiting_for_terminal() {
    if (output_flags < 0) return;
    fcntl(STDOUT_FILENO, F_SETFL, output_flags | O_NONBLOCK);
    cle_drop_slow_output();
    tcflow(STDOUT_FILENO, TCOOFF);  // SIGTTOU is blocked here: allowed in the background too
    tcflow(STDOUT_FILENO, TCOON);
}

void on_ending_signal(int sig, siginfo_t* info, void* /*context*/) {
    const int saved_errno = errno;
    if (ending_signal == 0) {
        ending_signal = sig;
        terminal_key = sig != SIGHUP && info != nullptr && info->si_code == SI_KERNEL;
        alarm(kWatchdogSeconds);
        stop_waiting_for_terminal();
    }
    if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
    errno = saved_errno;
}

// The watchdog: the sockets go, the terminal's flags are put back, and the
// process ends by SIGALRM, delivered again as soon as this returns.
void on_watchdog(int /*sig*/) {
    remove_listener_sockets_at_once();
    if (output_flags >= 0) fcntl(STDOUT_FILENO, F_SETFL, output_flags);
    signal(SIGALRM, SIG_DFL);
    raise(SIGALRM);
}

void catch_ending_signal(int sig) {
    struct sigaction action {};  // the mask starts empty
    action.sa_sigaction = on_ending_signal;
    for (const int other : kEndingSignals)
        sigaddset(&action.sa_mask, other);
    sigaddset(&action.sa_mask, SIGTTOU);
    action.sa_flags = SA_SIGINFO;  // no SA_RESTART: the interrupted call returns
    sigaction(sig, &action, nullptr);
}

}  // namespace

void ending_signals_install(void) {
    null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    terminal_fd = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
    output_flags = fcntl(STDOUT_FILENO, F_GETFL);
    for (const int sig : kEndingSignals)
        catch_ending_signal(sig);
    // Whatever the starting program left: the watchdog must be able to fire.
    signal(SIGALRM, on_watchdog);
    sigset_t needed = ending_signal_set(SIGALRM);
    pthread_sigmask(SIG_UNBLOCK, &needed, nullptr);
}

bool session_cut_short(void) {
    return ending_signal != 0;
}

int session_end_status(int normal) {
    if (ending_signal == 0 || ending_signal == SIGHUP || terminal_key) return normal;
    return 128 + ending_signal;
}

void restore_terminal_stdin(void) {
    if (session_cut_short() && terminal_fd >= 0) dup2(terminal_fd, STDIN_FILENO);
}

void release_terminal_output(void) {
    if (!session_cut_short() || output_flags < 0) return;
    // What stdio could not write stays behind; with the flags back, the
    // exit's flush of it would wait for the terminal after all.
    fflush(stdout);
    __fpurge(stdout);
    fcntl(STDOUT_FILENO, F_SETFL, output_flags);
}

sigset_t ending_signal_set(int extra) {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : kEndingSignals)
        sigaddset(&set, sig);
    if (extra != 0) sigaddset(&set, extra);
    return set;
}

int start_side_thread(pthread_t* thread, void* (*body)(void*)) {
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    const int rc = pthread_create(thread, nullptr, body, nullptr);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return rc;
}
