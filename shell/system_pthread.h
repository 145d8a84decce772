// Running a shell command line in a child process, for the boot environment
// commands.
#pragma once

// Runs command with /bin/sh -c and waits for it. Returns the wait status,
// or -1 when the child cannot be created or waited for.
int system_pthread(const char* command);
