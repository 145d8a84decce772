// cle: the command-line editor. Character-mode terminal handling, in-place
// line editing on wrapped lines, and the command history store.
#pragma once

#include <pthread.h>

// Output lock: called with 1 to take and 0 to release the lock that guards
// terminal output; the tag is always NULL. The editor takes it around every
// stretch of its own output and every change of its state; it is not
// recursive, and the editor never takes it twice. The callback must block
// until it holds the lock, and must not call back into the editor.
typedef void (*cle_LockCallbackT)(int lock, char* tag);
// Typing state: called with 1 when a line has been begun, 0 when it ended.
// Both calls come while the editor holds the output lock: the callback may
// only note the state (another thread reads it under that lock). It must
// not take the lock, write to the terminal, or call any cle_ function: the
// lock is held, and the editor is in the middle of a key.
typedef void (*cle_InlineCallbackT)(int state);

// Saves the terminal settings of standard input and switches it to character
// mode without driver echo. Returns 0, or -1 when stdin is no terminal.
int cle_init();
// Restores the saved settings and the previous SIGWINCH handler, and empties
// the history store. Safe to call more than once. Returns 0.
int cle_cleanup();
// Restores the saved terminal settings only. Returns 0 or -1.
// Kept in the editor's interface; the shell never calls it.
int cle_reset_term();
// Any non-zero value switches editor output on.
void cle_echo_enable(int echo);
// From now on output the terminal does not take at once is dropped, never
// waited for: the session is ending. Safe to call from a signal handler.
void cle_drop_slow_output(void);
// Non-zero: carriage return is the line end and is not translated. Call
// before cle_init to affect the terminal mode.
void cle_no_cr_translation(int disable);
void cle_register_sync_callbacks(cle_LockCallbackT cb);
// Registers a lock callback that takes and releases mutex, the lock the
// caller's other writers to the terminal hold; NULL registers none.
void cle_use_output_mutex(pthread_mutex_t* mutex);
void cle_register_inline_callback(cle_InlineCallbackT cb);

// Reads one edited line into buffer, which holds max_len (at least 1)
// bytes: at most max_len - 1 characters.
// Returns 0 when the line was ended (it may be empty), -1 at end of input,
// on a read error or on Ctrl-D.
int cle_get_command_line(const char* prompt, char* buffer, int max_len);

// The three calls below are for the editor's caller and its other threads,
// which write to the same terminal; call each with the output lock held.
//
// Says what text is already on the cursor's row, left of where the input
// begins (a mark the caller printed, a question, or ""): the editor's own
// prompt and the typed line follow it, and Home, End, redraws and wrapping
// count its columns. Given between lines, it holds for the next line; given
// while a line is read and nothing has been typed into it yet, it replaces
// whatever stood before the input, prompt included (the caller has just
// written output that ended with a line end: pass ""). Each line's end
// clears it. The text is the caller's: it must stay as it is until the line
// it leads has ended (the shell passes constants), and each of its
// characters must take one column (printable ASCII). Nothing changes for
// NULL or while a typed line owns the row.
void cle_set_row_text(const char* text);
// Takes the row text, the prompt and the line being typed off the screen:
// the cursor goes to column 0 of the row where they began, and everything
// from there down is erased. Returns 1, or 0 when nothing was hidden (no
// line is being read, nothing is on the row, or echo is off). After 1 the
// caller writes its output, ending with a line end, then calls
// cle_refresh_line.
int cle_hide_line();
// Writes the row text, the prompt and the line again from column 0 of the
// cursor's row (after the caller's output ended with a line end), and puts
// the cursor back on the character it was on. With echo off only the
// prompt and the line are written, as they stand. Returns 1 if anything
// was written, else 0.
int cle_refresh_line();

// History store: a ring of CLE_HISTORY_SLOTS lines, addressed by slot number.
#define CLE_HISTORY_SLOTS 64
// Text of slot index (0..63), or NULL for a slot that never held a line.
char* cle_history(int index);
int cle_history_size();
// Slot of the oldest line.
int cle_history_get_start();
// Replaces the newest line with a copy of replacement; -1 for NULL, else 0.
int cle_history_replace_last_entry(const char* replacement);
// Sets the command filter switch; returns its previous value.
// Kept in the editor's interface; nothing calls it or reads the switch.
int cle_history_command_filter(int x);
