// Internal helpers of libxcom: waiting on one socket within a time budget that
// spans a whole call, and the library's switchable warnings.
#pragma once

#include <sys/time.h>

#include <chrono>

namespace xcom {

// Time budget of one whole call: every wait continues with what the earlier
// waits left of it. A default-constructed budget never runs out.
class Budget {
  public:
    Budget() = default;
    explicit Budget(std::chrono::seconds limit)
        : limited_(true), deadline_(std::chrono::steady_clock::now() + limit) {}

    // Fills tv with the time left (zero once spent) and returns it, or
    // returns nullptr when the budget is unlimited (select then waits forever).
    timeval* remaining(timeval& tv) const;
    // Whether the budget can run out.
    bool limited() const { return limited_; }

  private:
    bool limited_ = false;
    std::chrono::steady_clock::time_point deadline_{};
};

enum class Direction { read, write };
enum class WaitResult { ready, timed_out, failed, exception };

// Waits until socket is ready in the given direction or flags an exceptional
// condition (urgent data). An interrupted wait is repeated when retry_on_eintr
// is set and counts as failed otherwise. Descriptors outside the range select
// can handle fail with errno EBADF instead of overrunning the fd_set.
WaitResult wait_socket(int socket, Direction direction, const Budget& budget, bool retry_on_eintr);

// Thread-safe text for an errno value; scratch of kErrorTextSize bytes is
// enough for every message.
inline constexpr int kErrorTextSize = 64;
const char* error_text(int error, char* scratch, int size);

// Prints "XCOM:WARNING:" and the formatted text when warnings are switched on.
[[gnu::format(printf, 1, 2)]] void warn(const char* fmt, ...);

}  // namespace xcom
