// What ends a session from outside: a hang-up (SIGHUP), SIGTERM, and SIGINT
// or SIGQUIT, whether sent by kill or, where the terminal still turns keys
// into signals (the password prompt, the log viewer), typed. The handler
// only records the signal; the waits (waits.h) notice it, and the session
// then ends as at end of input.
#pragma once

#include <pthread.h>
#include <signal.h>

// Catches the ending signals for the rest of the process: the first thing
// zcon_main does, so that none arriving during start-up ends the process
// unrecorded.
void ending_signals_install(void);
// True once an ending signal came.
bool session_cut_short(void);
// The exit status of a session that ends now, normal when nothing cut it
// short: a hang-up and the terminal's own keys keep normal; SIGTERM, and
// SIGINT or SIGQUIT sent by kill, give 128 + the signal's number.
int session_end_status(int normal);
// Puts the terminal back on standard input after an ending signal took it
// away, so its settings can be restored where it still exists.
void restore_terminal_stdin(void);
// Once the session has ended: after an ending signal, drops what stdio could
// not write to the terminal and gives standard output its flags back (the
// signal made it non-blocking), for whoever shares the terminal's file.
void release_terminal_output(void);
// The ending signals, and extra if not 0: what a wait lets in.
sigset_t ending_signal_set(int extra);
// Starts a side thread with every signal blocked: signals go to the main
// thread, whose waits they must cut short. Returns pthread_create's result.
int start_side_thread(pthread_t* thread, void* (*body)(void*));
