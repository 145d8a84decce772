// Stands in for the system logger behind the console's vsyslog seam:
// keeps every entry as formatted, whole, so tests can read what a session
// would have logged.
#pragma once

#include <stdarg.h>
#include <stdio.h>

#include <string>
#include <utility>
#include <vector>

namespace zt {

struct LogEntry {
    int priority;
    std::string text;
};

inline std::vector<LogEntry> captured_entries;

inline void capture_entry(int priority, const char* format, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    const int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    vsnprintf(text.data(), text.size() + 1, format, ap);
    captured_entries.push_back({priority, std::move(text)});
}

}  // namespace zt
