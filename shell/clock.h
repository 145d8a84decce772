// The clocks the shell reads: the wall clock, against which the flood guard
// measures the gaps between lines, and the monotonic clock, which deadlines
// and rate limits use because setting the time must not move them.
#pragma once

#include <sys/time.h>
#include <time.h>

// Wall-clock time in milliseconds.
inline long long wall_clock_ms(void) {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_usec / 1000;
}

// The monotonic clock in milliseconds.
inline long long monotonic_ms(void) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// A span of ns nanoseconds (ns >= 0).
inline timespec span_of(long long ns) {
    return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// The time of clock ns nanoseconds from now.
inline timespec clock_after(clockid_t clock, long long ns) {
    timespec at{};
    clock_gettime(clock, &at);
    ns += at.tv_nsec;
    at.tv_sec += static_cast<time_t>(ns / 1000000000);
    at.tv_nsec = static_cast<long>(ns % 1000000000);
    return at;
}

// The monotonic clock's time ms milliseconds from now.
inline timespec monotonic_after(long long ms) {
    return clock_after(CLOCK_MONOTONIC, ms * 1000000);
}

// Nanoseconds from now until at, on the monotonic clock; zero or less once
// it has passed.
inline long long ns_until(const timespec& at) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (at.tv_sec - now.tv_sec) * 1000000000LL + (at.tv_nsec - now.tv_nsec);
}
