// The ways a session ends: the teardown and the process's end with its
// exit status.
#pragma once

class Channel;

// Tears the session down: unregisters, writes held output, gives the
// terminal back, closes the connection, releases the semaphores and removes
// the listener sockets. Safe to call more than once.
void cleanup(Channel& channel);
// Ends the session normally: clears the login report, tears down, logs
// "End of session" when mirroring and exits with status 0.
[[noreturn]] void end_of_session(Channel& channel);
// Ends a session whose registration failed: closes the connection, gives
// the terminal back, removes the listener sockets, exits with status 255.
[[noreturn]] void end_unregistered_session(Channel& channel);
// Ends the process with status, logging entry first when mirroring.
[[noreturn]] void end_process(const char* entry, int status);
