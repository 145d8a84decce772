// Test seam of the console: the call that writes system-log entries.
#pragma once

#include <stdarg.h>

extern void (*zcon_vsyslog)(int priority, const char* format, va_list ap);
