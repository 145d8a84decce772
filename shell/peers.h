// Who may speak in the session. Its listener sockets are open to every user
// (syslogd and the application must reach them), so each datagram comes
// with its sender's credentials, which the kernel vouches for, and only the
// session's peers are heard: root, the shell's own user, and the user that
// owns the application's end of the connection when that end is on this
// machine. (The logger that feeds the live log is a peer by the first two:
// the shell signals only a syslogd of root or of its own user.)
#pragma once

#include <stddef.h>

#include "libxcom.h"

// The kind of bad input (bad_input.h) of a datagram dropped because its
// sender is none of the session's peers; beside the receive's and the
// event stream's own kinds.
inline constexpr int kBadInputStranger = 32;
// Room for a sender's particulars: "uid 4294967295, pid -2147483648".
inline constexpr size_t kSenderTextSize = 40;

// Notes the connection to the application, on socket, whose far end's
// owner is a peer when that end is on this machine. Called once connected,
// before the event reader starts.
void peers_note_application(int socket);
// Whether sender is one of the session's peers.
bool peers_accept(const SocketSenderT& sender);
// Writes the sender's particulars for a warning into text (kSenderTextSize).
void peers_describe(const SocketSenderT& sender, char* text);
