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
// The end of the session's events: shuts the session socket for reading, so
// that the event reader shows what it received and the starts of lines still
// waiting for their ends, each alone, and ends; waits for that a short while
// (300 ms) at most. After "U": nothing more is sent.
void registration_end_events(void);
// The body of the event reader thread: prints every line the application
// sends to the session socket, held back while the user types.
void* apiAsyncEventReaderThread(void* args);
