// The main command loop: read a line, trim it, guard against floods, and
// hand it to the quit/exit/reboot handling, the local commands or the
// application.
#pragma once

class Channel;

// Reads and handles lines until the session is to end; requests go through
// channel. The loop owns the command mode, which starts as the settings say.
void run_command_loop(Channel& channel);
