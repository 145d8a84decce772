// The commands the shell runs itself: each typed line the loop does not take
// is offered to them before the loop forwards it to the application.
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

// Offers one line to the local commands of the mode context.cmd_fmt. Returns
// true when it was handled here (a command ran, the line was a comment, or
// it could not be split) and false when no local command of the mode
// matched: the caller then forwards the line as it gave it.
bool process_command(const char* cmd, CommandContext& context);
