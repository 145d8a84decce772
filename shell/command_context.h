// The context a local command runs in.
#pragma once

#include <optional>

#include "ending.h"

class Channel;
struct ShellCommandS;

// What a local command acts on besides its words: the command loop's
// command mode, which apicmds and devcmds change and which decides what
// forwarded lines look like, and the channel its requests go through. A
// command that ends the session says how in ending.
struct CommandContext {
    CommandContext(const char* fmt, Channel& requests) : cmd_fmt(fmt), channel(requests) {}

    const char* cmd_fmt;  // kFmtNormal, kFmtCustomerApi or kFmtInternal
    Channel& channel;
    std::optional<Ending> ending;            // set by a command that ends the session
    const ShellCommandS* command = nullptr;  // the row being run
};
