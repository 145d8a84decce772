// The one place a session ends: the teardown, the log entry and the exit
// status of each way of ending.
#pragma once

#include "ending.h"

class Channel;

// Tears down what start-up set up, as ending asks, writes the log entry of
// ending and returns the process's exit status. Its switch is the table of
// endings in docs/design.md.
int end_session(Ending ending, Channel& channel);
