// One session of zcon-peer-check, held as the shell holds its own: a TCP
// connection to the application and the Unix datagram socket whose path it
// registers. Everything received is kept with the time it came, so the
// checks can judge it afterwards.
#pragma once

#include <netinet/in.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "sim_text.h"
#include "unique_fd.h"

// Something received, with the monotonic time it came in microseconds and,
// for a datagram, the sender the kernel vouches for.
struct Received {
    int64_t at_us = 0;
    std::string bytes;
    long uid = -1;
    long pid = -1;
};

struct PeerLink {
    PeerLink() = default;
    PeerLink(const PeerLink&) = delete;
    PeerLink& operator=(const PeerLink&) = delete;
    ~PeerLink();  // removes the socket file

    UniqueFd tcp;
    UniqueFd dgram;
    std::string path;  // the socket's path, empty until bound
    int slot = -1;     // its place in the table the signal handler cleans up
    SimLineBuf in;
    std::vector<Received> lines;      // from the connection, without LF and one CR
    std::vector<Received> datagrams;  // on the socket
    std::string ended;                // why the connection ended; empty while open
    std::string last_sent;            // the last line sent, without its LF
};

// Microseconds of the monotonic clock.
int64_t peer_now_us();

// Connects link to the application at address within timeout_ms. Returns 0,
// or -1 with the reason in *error.
int peer_connect(PeerLink* link, const sockaddr_in& address, int timeout_ms, std::string* error);

// Whether the connected application runs on this host, where it can reach
// the link's socket: it answers from a loopback address or from ours.
bool peer_is_local(const PeerLink* link);

// This end's address on the connection, as text.
std::string peer_own_address(const PeerLink* link);

// The user who owns the application's end of the connection, from the
// kernel's TCP tables; -1 when it is not on this host.
long peer_application_uid(const PeerLink* link);

// Binds link's datagram socket at path, writable by everyone as the
// shell's are (the application may run as another user), and asks for each
// datagram's sender. Returns 0, or -1 with the reason in *error.
int peer_bind(PeerLink* link, const std::string& path, std::string* error);

// Sends one line (the LF is added). Returns 0 or -1.
int peer_send(PeerLink* link, std::string_view line);

// Takes what arrives on the links' connections and sockets until done()
// holds or the deadline (peer_now_us) passes. Returns whether done() held.
bool peer_pump(const std::vector<PeerLink*>& links, int64_t deadline_us,
               const std::function<bool()>& done);

// Takes what arrives until the links have been silent for quiet_ms, or
// until the deadline.
void peer_settle(const std::vector<PeerLink*>& links, int quiet_ms, int64_t deadline_us);

// Forgets what the link has received so far.
void peer_clear(PeerLink* link);

// Removes every socket file still bound; safe in a signal handler.
void peer_remove_all_sockets();
