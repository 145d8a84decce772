// The session's listener sockets: Unix datagram sockets bound under /tmp,
// named after the terminal, on which syslogd and the application send it
// lines. The end of the session removes the ones it bound.
#pragma once

// Longest listener socket path, terminator included.
inline constexpr int kListenerPathSize = 128;

// Binds "/tmp/<pipe_name>zcon<terminal>" (pipe_name is "sysloglisteners/" or
// "apiasynclisteners/"), open to every user. Returns the descriptor, with the
// path copied into fullname_buffer (kListenerPathSize bytes) unless NULL; -1
// after reporting the failing step (not in sessions without set-up messages),
// or, silently, once remove_listener_sockets has run.
int setupSocket(const char* pipe_name, char* fullname_buffer);
// Removes the listener socket files this process bound (at the session's end).
void remove_listener_sockets(void);
// The same from a signal handler (the watchdog's): no lock taken, only
// lstat and unlink.
void remove_listener_sockets_at_once(void);
