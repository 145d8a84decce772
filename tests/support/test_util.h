// Small helpers shared by the test programs.
#pragma once

#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace zt {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

// Re-tests cond about every millisecond until it holds or timeout passes.
// Returns whether it held.
bool wait_until(const std::function<bool()>& cond, Millis timeout = 5000ms);

// Path of a program of the build under test ($ZCON_BIN_DIR, else ./bin).
std::string bin_path(std::string_view program);

// Path of a file of the source tree ($ZCON_SOURCE_DIR).
std::string source_path(std::string_view relative);

// Renders terminal output readably for failure messages: control bytes and
// the editor's escape sequences become tokens such as <cr>, <bs>, <bel>,
// <up1>, <right79>, <ceos>.
std::string printable(std::string_view bytes);

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
        int fd = fd_;
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

// A fresh directory under /tmp, removed with its contents when destroyed.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

  private:
    std::string path_;
};

// Number of descriptors open in this process.
int open_fd_count();

// Whole content of a file, or "" when it cannot be read.
std::string read_file(const std::string& path);

}  // namespace zt
