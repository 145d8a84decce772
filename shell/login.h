// Login: the appliance password, fetched from the system tool at every
// start, and three attempts to give it with echo off.
#pragma once

#include <optional>

#include "ending.h"

inline constexpr int kPasswordSize = 64;  // a password and its terminator

// Runs the login of a session whose type asks for one. Returns nothing when
// the user passed (or no password is set), else how the session ends: the
// password could not be had, the login failed (to be reported), or it was
// given up before any wrong password.
std::optional<Ending> run_login(void);

// Takes the password from the system tool's first output line ("config sw 0
// " and the password): 0 with password filled (empty when none is set), 1
// when it does not fit in size bytes.
int parse_password_line(const char* line, char* password, int size);
// The folder of the file that link names, as getexefolder takes it from the
// shell's own executable: buf filled and returned, or NULL (errno ERANGE
// when the folder is longer than 255 characters or does not fit size).
char* folder_of_link(const char* link, char* buf, int size);
