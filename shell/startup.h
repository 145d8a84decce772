// The entry of the session driver: start-up in its steps, then the main
// command loop until the session ends.
#pragma once

// Runs one session; returns only through the end of the process.
int zcon_main(int argc, char** argv);
