// The log listeners: sockets that sessions bind in the listener directory
// and that receive every record as one datagram.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <string>
#include <string_view>
#include <vector>

#include "unique_fd.h"

// One socket file in the directory, known by its path and its file (an inode
// number alone may come back for a new file).
struct SyslogListener {
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    timespec changed{};
};

struct SyslogListeners {
    std::string dir;                        // ends in "/"
    std::vector<SyslogListener> listeners;  // sorted by path: every record visits them in one order
    std::vector<SyslogListener> gone;       // dropped ones whose file is still there
    UniqueFd sender;                        // unbound datagram socket used for all sends
};

// Prepares the sending socket; returns 0 or -1.
int listeners_init(SyslogListeners* l, std::string_view dir);

// Replaces the list with the sockets now in the directory, leaving out the
// socket files already found gone (a session that ended without removing
// its file). Returns their count.
int listeners_rescan(SyslogListeners* l);

// Sends record to every listener. A listener whose socket has gone is
// dropped and reported on standard error, once: a rescan does not take its
// file up again, only a new socket bound at that path. One whose queue is
// full misses this record only. Returns the number of listeners that got it.
int listeners_send(SyslogListeners* l, std::string_view record);
