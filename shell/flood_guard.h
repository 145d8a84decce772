// The flood guard of the command loop: lines that come too fast in a row
// earn strikes; too many strikes end the session.
#pragma once

struct FloodGuard {
    int DoSCount = 0;        // lines that came fast in a row
    int DoSattempts = 0;     // strikes
    long long lastTime = 0;  // milliseconds of the previous line
};
// Counts one line read at now (milliseconds). Returns true when the session
// must be terminated.
bool flood_guard_check(FloodGuard* guard, long long now);
