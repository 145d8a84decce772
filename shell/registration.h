// Session registration: the session binds its own datagram socket, starts
// the event reader on it and tells the application where to send the
// user's output.
#pragma once

class Channel;

// Binds the session socket, starts the event reader and sends "R: <type>
// <path>" over channel. Returns the answer's result (0 is success), or a
// negative value when the socket, the thread or the send failed (reported),
// or the answer never came.
int register_session(Channel& channel);
// Sends "U" when the connection is still up. Returns 0, or -1.
int unregister_session(Channel& channel);
// The body of the event reader thread: prints every line the application
// sends to the session socket, held back while the user types.
void* apiAsyncEventReaderThread(void* args);
