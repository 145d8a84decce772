// An in-process stand-in for the application, for unit tests of the shell's
// modules: a loopback TCP listener that records every line it receives and
// answers each request, unless told otherwise.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace zt {

class TestPeer {
  public:
    TestPeer();
    ~TestPeer();
    TestPeer(const TestPeer&) = delete;
    TestPeer& operator=(const TestPeer&) = delete;

    int port() const { return port_; }

    // Answer line sent for each received line beginning "R: ", "C: ", "E: ",
    // "D: " or "N: "; nullopt withholds answers.
    void set_answer(std::optional<std::string> answer);
    // Every line received so far, without its line feed.
    std::vector<std::string> lines();
    // Waits until at least count lines have been received.
    bool wait_lines(size_t count, Millis timeout = 5000ms);
    bool wait_connected(Millis timeout = 5000ms);
    // Sends bytes on the current connection.
    void send(std::string_view bytes);
    // Closes the current connection; the next one is accepted.
    void close_connection();

  private:
    void serve();

    std::mutex mutex_;
    std::condition_variable changed_;
    UniqueFd listener_;
    UniqueFd conn_;
    UniqueFd wake_[2];
    int port_ = 0;
    bool stopping_ = false;
    std::optional<std::string> answer_ = "R: 0";
    std::vector<std::string> lines_;
    std::thread thread_;
};

}  // namespace zt
