// Hang-ups (SIGHUP) and Ctrl-C at the password prompt: what cuts the
// session's waits short, and the waits that notice it.
#pragma once

#include <pthread.h>
#include <semaphore.h>

// Catches SIGHUP for the rest of the process; call at start-up, before any
// side thread exists.
void hangup_install(void);
// True once the terminal has hung up.
bool hangup_seen(void);
// While on, Ctrl-C ends the reading of the password as a hang-up ends a
// read; off gives SIGINT its earlier disposition back.
void login_interrupt_catch(bool on);
// True once Ctrl-C ended the login.
bool login_interrupted(void);
// Puts the terminal back on standard input after a hang-up or Ctrl-C took it
// away, so its settings can be restored where it still exists.
void hangup_restore_stdin(void);
// Sleeps ms milliseconds (ms < 0: until any signal is caught). Returns false,
// early, when the terminal hangs up or the login is interrupted.
bool session_pause(int ms);
// One slice of the wait for an answer: waits on sem until a short
// deadline, or after a hang-up until the deadline common to all answers
// still awaited. Returns 0 when sem was taken, else -1 with errno.
int answer_wait_slice(sem_t* sem);
// True once, after a hang-up, answers are awaited no longer.
bool hangup_grace_over(void);
// Starts a side thread with every signal blocked: signals go to the main
// thread, whose waits they must cut short. Returns pthread_create's result.
int start_side_thread(pthread_t* thread, void* (*body)(void*));
