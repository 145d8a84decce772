// libxcom: newline-framed text lines over stream and datagram sockets, the
// library's warning printer, and a small doubly linked list.
#pragma once

#include <stddef.h>
#include <sys/types.h>

// Longest accepted line, counted up to and including its line feed.
#define XCOM_MAX_LINE 16384
// Most unconsumed bytes a receive buffer may hold.
#define XCOM_MAX_BUFFER 32768

// Sends the whole NUL-terminated line (its terminator excluded). Returns 0
// when every byte went, and also when 10 s passed without the socket becoming
// writable (the rest is dropped); -1 on an error.
int socket_write_line(int socket, const char* line);

// Hands out one line from the caller-owned accumulation buffer, receiving
// more as needed. buffer holds XCOM_MAX_BUFFER + 1 bytes, line
// XCOM_MAX_LINE + 1. Returns the trimmed line's length (> 0), 0 on a time-out
// or an empty line, -1 on an error, a closed peer or at the size limits. An
// empty datagram is passed over; a datagram socket ends when shut for reading.
// timeout is in whole seconds for the whole call; 0 waits without limit.
int socket_read_line(int socket, char* buffer, int* buflen, char* line, int timeout);

// Largest datagram that socket_recv_datagrams reads whole.
#define XCOM_MAX_DATAGRAM 65536
// Most datagrams that socket_recv_datagrams takes in one call.
#define XCOM_DATAGRAM_BATCH 8

// Kinds of bad input met in a datagram, as bits: reported to the caller,
// which decides whether and how to warn.
#define SOCKET_BAD_LONG_LINE 1  // a line over XCOM_MAX_LINE bytes, cut to that many
#define SOCKET_BAD_TRUNCATED 2  // the datagram was longer than the buffer; its rest is lost
#define SOCKET_BAD_EMPTY 4      // an empty datagram

// Who sent a datagram, as the kernel tells it (SCM_CREDENTIALS): its
// process, as this process's namespace sees it (0 when it cannot), and its
// user. known is 0 when no credentials came with the datagram.
typedef struct {
    pid_t pid;
    uid_t uid;
    int known;
} SocketSenderT;

// Asks the kernel for the sender's credentials with every datagram the
// socket receives. Set it before the socket is bound, so that no datagram
// ever arrives without them. Returns 0, or -1 with errno.
int socket_pass_credentials(int socket);

// One datagram received: its length, at most the buffer's size (a longer
// one is cut, with SOCKET_BAD_TRUNCATED in kinds; an empty one is 0 long,
// with SOCKET_BAD_EMPTY), and its sender.
typedef struct {
    int length;
    int kinds;
    SocketSenderT sender;
} SocketReceivedT;

// Receives, in one call, the datagrams waiting on socket, up to count (at
// most XCOM_DATAGRAM_BATCH), waiting as long as it takes for the first:
// the i-th whole into buffers[i] (size + 1 bytes, NUL-terminated),
// described by got[i]. Returns how many, or -1 on a receive error or when
// the socket was shut for reading (once what came before is taken). For
// datagram sockets only.
int socket_recv_datagrams(int socket, char* const* buffers, int size, int count,
                          SocketReceivedT* got);

// Cleans the first len bytes of line in place as socket_read_line cleans a
// line (NULs dropped, control bytes trimmed off both ends), terminates it
// and returns its length.
int socket_clean_line(char* line, int len);

// Removes NUL bytes from the first len bytes of line, terminates the result
// and returns its length.
int xcom_remove_nulls(char* line, int len);

// Writes prefix and the formatted text (at most 511 bytes) to standard output.
[[gnu::format(printf, 2, 3)]] int xcom_log(const char* prefix, const char* fmt, ...);
// Switches the library's warnings on or off; returns the previous setting.
// Kept in the library's interface; the shell never calls it.
int xcom_log_errors(int bLogErrors);
int xcom_should_print_errors();

// Printable form of len bytes: 0x20..0x7E as is, others as "[%02x]".
// output must hold 4 * len + 1 bytes. Returns output.
// Kept in the library's interface; the shell never calls it.
char* hexasc(const char* buff, int len, char* output);

// Kept in the library's interface; the shell never calls it.
const char* xcom_get_version();

// The list: kept in the library's interface; the shell never uses it.
typedef struct _xlist {
    struct _xlist* next;
    struct _xlist* prev;
    void* ptr;
} xlist;

// Appends a node carrying ptr; returns it, or NULL when memory is short.
xlist* xlist_add(xlist** head, void* ptr);
// Unlinks and frees element (not its payload).
void xlist_remove(xlist** head, xlist* element);
// Calls callback for each node until one call returns non-zero.
void xlist_walk(xlist* head, int (*callback)(xlist*));
int xlist_size(xlist* head);
