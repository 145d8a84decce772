// The main thread's waits that an ending signal must cut short: pauses, a
// descriptor to become readable, an answer of the application, a child.
// Each lets the ending signals in only where it blocks, so that one arriving
// just before the wait cannot be slept through.
#pragma once

#include <semaphore.h>
#include <sys/types.h>

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
bool answer_grace_over(void);
// Waits for the child pid, the leader of a process group of its own. Once
// the session is cut short, the group is ended (SIGTERM, SIGKILL if it
// stays) and reaped. Returns the wait status, or -1.
int wait_child(pid_t pid);
