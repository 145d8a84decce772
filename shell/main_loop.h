// The main command loop: read a line, trim it, guard against floods, and
// hand it to the quit/exit/reboot handling, the local commands or the
// application.
#pragma once

// Flood guard: lines that come too fast in a row earn strikes; too many
// strikes end the session.
struct FloodGuard {
    int DoSCount = 0;        // lines that came fast in a row
    int DoSattempts = 0;     // strikes
    long long lastTime = 0;  // milliseconds of the previous line
};
// Counts one line read at now (milliseconds). Returns true when the session
// must be terminated.
bool flood_guard_check(FloodGuard* guard, long long now);
// Wall-clock time in milliseconds.
long long wall_clock_ms(void);
void preprocess_legacy_bang_input_cmd(char* input);
// Removes spaces and control characters at both ends of line, in place.
void trim_command_line(char* line);
class Channel;

// Reads and handles lines until the session is to end; requests go through
// channel. The loop owns the command mode, which starts as the settings say.
void run_command_loop(Channel& channel);
