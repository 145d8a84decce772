// The main command loop: read a line, trim it, guard against floods, and
// hand it to the quit/exit/reboot handling, the local commands or the
// application, until the session is to end.
#pragma once

#include "ending.h"

class Channel;
class InputGate;

// Reads and handles lines until the session is to end, and says how it
// ends. Requests go through channel; gate is taken before each line is read
// and given at the end of each turn. The loop owns the command mode, which
// starts as the settings say.
Ending run_command_loop(Channel& channel, InputGate& gate);
