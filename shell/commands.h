// The commands the shell runs itself: each typed line the loop does not take
// is offered to them before the loop forwards it to the application.
#pragma once

#include "command_context.h"

// Offers one line to the local commands of the mode context.cmd_fmt. Returns
// true when it was handled here (a command ran, the line was a comment, or
// it could not be split) and false when no local command of the mode
// matched: the caller then forwards the line as it gave it.
bool process_command(const char* cmd, CommandContext& context);
