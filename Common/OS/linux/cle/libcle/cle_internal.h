// Declarations shared by the parts of the editor library; not for callers.
#pragma once

#include <cstddef>

#include "cle.h"

// --- Terminal layer (terminal.cpp) -------------------------------------

// Current width in columns, 0 while not yet measured. The window-size
// handler may change it between two key actions.
int cle_term_width();
// How often the window has changed size (a counter that may wrap).
unsigned cle_window_changes();
// Measures the width of the terminal on standard output (80 when it cannot
// be read or reports 0 or 1 columns), stores and returns it.
int cle_measure_term_width();
// Non-zero while carriage return is the line end and is not translated.
int cle_no_cr_flag();
// Restores the terminal settings saved by cle_init. Returns 0 or -1.
int cle_restore_term();
// Calls the registered output lock callback, if any: take or release.
void cle_call_lock(bool take);
// Calls the registered typing-state callback, if any.
void cle_call_inline(bool typing);

// --- Output primitives (echo_output.cpp) -------------------------------
// Bytes collect in one fixed buffer and go to the terminal in one write at
// the flush that ends a key action; a longer action spills in pieces. The
// echo_ calls write nothing while the echo switch is off. What the terminal
// does not take within a second is dropped: nothing here reports it.

int cle_echo_flag();
void echo_putchar(char c);
void echo_fputs(const char* s);
void echo_write(const char* s, int n);
// ESC [ n code: cursor up (A), down (B) or right (C) by n. A move of less
// than one is not written.
void echo_cursor(int n, char code);
// Writes the collected bytes to the terminal.
void echo_fflush();
// Write regardless of the echo switch (the prompt, a refresh).
void direct_fputs(const char* s);
void direct_fflush();

// --- History store (history.cpp) ---------------------------------------

// The slot before x in the ring; slot 0 steps back to the last slot only
// when the ring is full.
int cle_history_decr_circular(int x);
// Zeroes the ring counters; the slots and the filter switch stay.
void cle_history_reset_counters();
// Frees every entry and empties the store; safe to repeat.
void cle_history_release();
