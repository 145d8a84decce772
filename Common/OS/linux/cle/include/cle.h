// cle: the command-line editor. Character-mode terminal handling, in-place
// line editing on wrapped lines, and the command history store.
#pragma once

// Output lock: called with 1 to take and 0 to release the lock that guards
// terminal output; the tag is always NULL.
typedef void (*cle_LockCallbackT)(int lock, char* tag);
// Typing state: called with 1 when a line has been begun, 0 when it ended.
typedef void (*cle_InlineCallbackT)(int state);

// Saves the terminal settings of standard input and switches it to character
// mode without driver echo. Returns 0, or -1 when stdin is no terminal.
int cle_init();
// Restores the saved settings and the previous SIGWINCH handler, and empties
// the history store. Safe to call more than once. Returns 0.
int cle_cleanup();
// Restores the saved terminal settings only. Returns 0 or -1.
int cle_reset_term();
// Any non-zero value switches editor output on.
void cle_echo_enable(int echo);
// Non-zero: carriage return is the line end and is not translated. Call
// before cle_init to affect the terminal mode.
void cle_no_cr_translation(int disable);
void cle_register_sync_callbacks(cle_LockCallbackT cb);
void cle_register_inline_callback(cle_InlineCallbackT cb);

// Reads one edited line into buffer (at most max_len - 1 characters).
// Returns 0 when the line was ended (it may be empty), -1 at end of input,
// on a read error or on Ctrl-D.
int cle_get_command_line(const char* prompt, char* buffer, int max_len);
// Writes the current prompt and line again at the cursor. Returns 1 if
// anything was written, else 0.
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
int cle_history_command_filter(int x);
