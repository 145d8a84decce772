// Helpers for the simulator tests: temporary directories, sockets read with
// deadlines, and child processes. Nothing here sleeps to wait for an event:
// every wait is on a descriptor or a condition, bounded by a deadline.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "test_util.h"
#include "unique_fd.h"

// How long a test waits for something that should happen at once.
inline constexpr int kWaitMs = 5000;

using zt::read_file;
using zt::TempDir;

// True when fd became readable within timeout_ms.
bool wait_readable(int fd, int timeout_ms);

// Reads LF-terminated lines from a stream socket.
class LineReader {
  public:
    explicit LineReader(int fd = -1) : fd_(fd) {}
    void attach(int fd) { fd_ = fd; }
    // Reads the next line (without its LF) within timeout_ms. Returns 1, 0
    // when the peer closed, -1 on a time-out or an error.
    int read_line(std::string* line, int timeout_ms = kWaitMs);

  private:
    int fd_;
    std::string buf_;
};

// Connects to 127.0.0.1:port; -1 on failure.
int tcp_connect(int port);
// Connects a Unix stream socket to path; -1 on failure.
int unix_stream_connect(const std::string& path);
// Binds a Unix datagram socket at path (replacing a stale file); -1 on failure.
int bind_dgram(const std::string& path);
// Sends one datagram to the socket bound at path; true when it went.
bool send_dgram_to(const std::string& path, std::string_view bytes);
// Receives one datagram within timeout_ms (0: only if one is queued now).
bool recv_dgram(int fd, std::string* out, int timeout_ms = kWaitMs);
// Writes all of data; true on success.
bool write_all(int fd, std::string_view data);
// Polls cond until it holds or timeout_ms passes; returns the last result.
inline bool wait_until(const std::function<bool()>& cond, int timeout_ms = kWaitMs) {
    return zt::wait_until(cond, zt::Millis(timeout_ms));
}
// Splits text into lines at LF (a last line without LF counts too).
std::vector<std::string> split_lines(std::string_view text);
// The build's program folder (ZCON_BIN_DIR, set by ctest).
std::string bin_dir();

// A child process with standard output and error on one pipe.
struct Child {
    pid_t pid = -1;
    UniqueFd output;
};
// Starts argv[0] with argv and the extra environment variables. Returns
// the child, pid -1 on failure.
Child spawn(const std::vector<std::string>& argv,
            const std::map<std::string, std::string>& env = {});
// Waits for the child to end within timeout_ms; returns its exit status,
// 128 + signal when killed, -1 on a time-out.
int wait_exit(pid_t pid, int timeout_ms = kWaitMs);
// Reads the child's output until end of file or timeout_ms.
std::string read_all(int fd, int timeout_ms = kWaitMs);
// Runs a command line through /bin/sh and returns its output; *status
// gets the exit status.
std::string run_shell(const std::string& command, int* status);
