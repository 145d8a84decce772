// What ends a session from outside: a hang-up (SIGHUP), SIGTERM, and SIGINT
// or SIGQUIT, whether sent by kill or, where the terminal still turns keys
// into signals (the password prompt, the log viewer), typed. They cut the
// session's waits short, and the session ends as at end of input.
#pragma once

#include <pthread.h>
#include <semaphore.h>
#include <sys/types.h>

// Catches the ending signals for the rest of the process; call at start-up,
// before any side thread exists.
void hangup_install(void);
// True once an ending signal came.
bool session_cut_short(void);
// The exit status of a session that ends now, normal when nothing cut it
// short: a hang-up and the terminal's own keys keep normal; SIGTERM, and
// SIGINT or SIGQUIT sent by kill, give 128 + the signal's number.
int session_end_status(int normal);
// Puts the terminal back on standard input after an ending signal took it
// away, so its settings can be restored where it still exists.
void hangup_restore_stdin(void);
// Sleeps ms milliseconds (ms < 0: until any signal is caught), or less
// once the session is cut short.
void session_pause(int ms);
// Waits until fd is readable. Returns false, early, once the session is
// cut short.
bool session_wait_readable(int fd);
// One slice of the wait for an answer: waits on sem until a short
// deadline, or once cut short until the deadline common to all answers
// still awaited. Returns 0 when sem was taken, else -1 with errno.
int answer_wait_slice(sem_t* sem);
// True once, after the session was cut short, answers are awaited no longer.
bool hangup_grace_over(void);
// Waits for the child pid, the leader of a process group of its own. Once
// the session is cut short, the group is ended (SIGTERM, SIGKILL if it
// stays) and reaped. Returns the wait status, or -1.
int wait_child(pid_t pid);
// Starts a side thread with every signal blocked: signals go to the main
// thread, whose waits they must cut short. Returns pthread_create's result.
int start_side_thread(pthread_t* thread, void* (*body)(void*));
