// The log listeners: sockets that sessions bind in the listener directory
// and that receive every record as one datagram.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "unique_fd.h"

struct SyslogListeners {
    std::string dir;                 // ends in "/"
    std::vector<std::string> paths;  // sorted, so every record visits them in one order
    UniqueFd sender;                 // unbound datagram socket used for all sends
};

// Prepares the sending socket; returns 0 or -1.
int listeners_init(SyslogListeners* l, std::string_view dir);

// Replaces the list with the sockets now in the directory. Returns their count.
int listeners_rescan(SyslogListeners* l);

// Sends record to every listener. A listener whose socket has gone is
// dropped (and reported on standard error); one whose queue is full misses
// this record only. Returns the number of listeners that got it.
int listeners_send(SyslogListeners* l, std::string_view record);
