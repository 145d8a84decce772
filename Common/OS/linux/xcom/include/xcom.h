// XCOM client: one TCP connection to the application, carrying newline-framed
// text lines. A reader thread hands every received line to the user's callback.
#pragma once

// Opaque handle of one connection; NULL means none.
typedef void* HXCOM;

// Called on the reader thread with each received line (valid only during the
// call), and once with a NULL line when the connection ends on its own.
typedef int (*XCOMCallBackT)(HXCOM h_client, char* msg);

// One connection attempt (at most 10 s); starts the reader thread.
// Returns the handle, or NULL on any failure (no descriptor is left open).
HXCOM xcom_client_connect(const char* server, int port_number, XCOMCallBackT callback);

// Sends command plus a line feed as one line. Returns 0, or -1 when the line
// cannot be sent or is longer than XCOM_MAX_COMMAND characters.
int xcom_client_send(HXCOM h_client, const char* command);

// The connection's socket (to look it up, not to read or write), or -1.
int xcom_client_socket(HXCOM h_client);

// Closes the connection, stops the reader (the callback is not called once
// this has begun) and frees the handle. Returns 0.
int xcom_client_disconnect(HXCOM h_client);

// Longest command xcom_client_send accepts: a 512-byte area holds the text,
// its line feed and the terminator.
#define XCOM_MAX_COMMAND 510
