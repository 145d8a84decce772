// What every test program shares: the one way to wait for a condition, the
// one descriptor owner, temporary folders, files and the build's programs,
// and terminal output made readable.
#pragma once

#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zt {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;
using Lines = std::vector<std::string>;

// How long a program the tests started has to end on SIGTERM, which lets it
// write its coverage counts, before it is killed.
inline constexpr Millis kEndGrace = 3000ms;

// Tests cond about every millisecond until it holds or timeout passes.
// Returns whether it held.
bool wait_until(const std::function<bool()>& cond, Millis timeout = 5000ms);

// The lines, then more.
inline Lines plus(Lines lines, const Lines& more) {
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

// Path of a program of the build under test ($ZCON_BIN_DIR, else ./bin).
std::string bin_path(std::string_view program);
// Path of a file of the source tree ($ZCON_SOURCE_DIR).
std::string source_path(std::string_view relative);
// Whole content of a file, or "" when it cannot be read.
std::string read_file(const std::string& path);
// Appends what fd holds now, without waiting. False once it has ended.
bool read_available(int fd, std::string* out);
// Runs command under sh and returns its exit status (-1 if it did not
// exit), both its output streams in *out; one that does not end (a program
// that wrongly starts serving) is ended after a minute.
int run_command(const std::string& command, std::string* out);
// Sends bytes as one datagram to the Unix socket at path; true if it went.
bool send_datagram(const std::string& path, std::string_view bytes);

// A descriptor closed when it goes out of scope.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    explicit operator bool() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// A loopback TCP listener on a port of the kernel's choice.
struct Listener {
    Listener();
    UniqueFd fd;
    int port = 0;
};

// A fresh directory under /tmp, removed with its contents when destroyed.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }
    // Writes an executable shell script of that name here.
    void script(std::string_view name, const std::string& body) const;

  private:
    std::string path_;
};

// How many descriptors process pid has open.
int open_fds(pid_t pid);

// Whether pid's main thread waits in a read of standard input, in ppoll or
// on a futex (an answer), so that a signal sent now cuts the wait short.
bool waits_for_input(pid_t pid);

// Renders terminal bytes readably: <cr> <lf> <bs> <bel> <ceos> <upN>
// <downN> <rightN>, "<" as <lt>, other control bytes as <xHH>.
std::string term_tokens(std::string_view bytes);

}  // namespace zt
