// Runs an appd server in a thread of the test, on a free port, and gives
// the tests shell-like clients and a control connection.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "appd.h"
#include "sim_test_util.h"

// One session as the shell holds it: the TCP connection and the bound
// datagram socket that receives its output.
struct AppdClient {
    UniqueFd tcp;
    LineReader answers;
    UniqueFd events;
    std::string path;
    unsigned id = 0;  // the server's session id, from "whoami"
};

class AppdTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Connects without registering.
    std::unique_ptr<AppdClient> connect_client();
    // Connects, binds an event socket named after tag and registers as type;
    // the registration must be answered "R: 0".
    std::unique_ptr<AppdClient> connect_registered(const std::string& tag,
                                                   const std::string& type = "telnet");
    // Sends one line (an LF is added) and returns the next line the server
    // sends back, "<timeout>" or "<closed>" when none comes.
    std::string request(AppdClient& c, const std::string& line);
    // Returns the next datagram, "<none>" when none comes within timeout_ms.
    std::string next_datagram(AppdClient& c, int timeout_ms = kWaitMs);
    // Sends a control command; returns the data lines (without their
    // leading space) and puts the status line in *status.
    std::vector<std::string> control(const std::string& command, std::string* status = nullptr);

    TempDir dir_;
    void (*request_log_)(const char* entry) = nullptr;  // set before SetUp runs
    AppdServer* server_ = nullptr;
    std::thread loop_;
    int port_ = 0;
    int run_result_ = -2;
    UniqueFd control_fd_;
    LineReader control_reader_;
};
