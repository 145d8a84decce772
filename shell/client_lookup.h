// Who is at the other end of the session's TCP connections, from the
// kernel's TCP tables. The login report's client: the far end of the
// connection to the session's port that the shell itself or its nearest
// ancestor holds (telnetd holds the connection of the session it starts),
// found by its socket's inode number; under sshd the client it names;
// failing both, the first client of the port in the IPv6 table, which may be
// another session's. And the user that owns the application's end of the
// session's connection to it, when that end is on this machine.
#pragma once

#include <stddef.h>
#include <stdio.h>

// The longest address text, terminator included (INET6_ADDRSTRLEN).
inline constexpr size_t kClientAddressSize = 46;

// Sockets held by the shell and its ancestors, each with its holder's
// distance: 0 the shell, 1 its parent, and so on.
struct HeldSockets {
    static constexpr int kMax = 64;
    unsigned long long inode[kMax];
    int depth[kMax];
    int count = 0;
};

// A client found so far.
struct ClientFound {
    int depth = -1;  // its holder's distance; -1 while none is found
    char address[kClientAddressSize] = "";
    bool swapped = false;  // the table's words are in the other byte order than this program's
};

// Reads a TCP table (the format of /proc/net/tcp6 or /proc/net/tcp). An
// established connection on local port whose socket held holds takes the
// place of *found when its holder is nearer. With held NULL, the table's
// first established connection on port is taken, unless *found has one.
// An address is written as text, an IPv4-mapped one (but ::ffff:0.0.0.0)
// in its dotted IPv4 form.
void client_lookup_table(FILE* table, unsigned port, const HeldSockets* held, ClientFound* found);

// Writes the session's client's address on local port into address (size
// bytes): its own, else the first in the IPv6 table, else "". connection is
// the session's connection to the application, which tells the byte order
// the tables are written in.
void client_lookup(unsigned port, int connection, char* address, size_t size);

// Finds the connection whose socket has the inode number inode in the
// tables (each in the format of /proc/net/tcp or /proc/net/tcp6), then its
// far end, the connection between the same two ends the other way round, in
// any of them, and writes its owner into *uid. Returns false when either is
// not there (the far end is on another machine).
bool client_lookup_peer_owner_in(FILE* const* tables, int count, unsigned long long inode,
                                 unsigned* uid);

// The same in the kernel's tables.
bool client_lookup_peer_owner(unsigned long long inode, unsigned* uid);
