// The log listeners: sockets that sessions bind in the listener directory
// and that receive every record as one datagram.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "unique_fd.h"

// One socket in the directory, known by its path.
struct SyslogListener {
    std::string path;
};

struct SyslogListeners {
    std::string dir;                        // ends in "/"
    std::vector<SyslogListener> listeners;  // sorted by path: every record visits them in one order
    UniqueFd sender;                        // unbound datagram socket used for all sends
};

// Prepares the sending socket; returns 0 or -1.
int listeners_init(SyslogListeners* l, std::string_view dir);

// Replaces the list with the sockets now in the directory that take
// datagrams and that root or this logger's own user made (anyone else's,
// or a link, could lead the records anywhere). A socket file left by a
// session that ended without removing it takes none, while the next
// session's socket at the same path does, whatever inode number and times
// the file system gave it. Returns their count.
int listeners_rescan(SyslogListeners* l);

// Sends record to every listener. A listener whose socket has gone is
// dropped and reported on standard error; a rescan takes its path up again
// only when a new socket is bound there. One whose queue is full misses
// this record only. Returns the number of listeners that got it.
int listeners_send(SyslogListeners* l, std::string_view record);
