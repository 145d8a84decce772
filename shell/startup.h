// The entry of the session driver: start-up in its steps, then the main
// command loop until the session ends.
#pragma once

// Runs one session; returns the process's exit status.
int zcon_main(int argc, char** argv);
