// A test fixture that connects the shell's command channel to a TestPeer,
// as a registered session would be. Link with zcon_core.
#pragma once

#include <gtest/gtest.h>

#include "channel.h"
#include "session.h"
#include "test_peer.h"

namespace zt {

class ChannelFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        sem_init(&response_sem, 0, 0);
        sem_init(&input_ready_sem, 0, 0);
        channel_reset();
        did_registration = 1;
        cmd_fmt = kFmtNormal;
        hclient = xcom_client_connect("127.0.0.1", peer.port(), message_handler);
        ASSERT_NE(hclient, nullptr);
        ASSERT_TRUE(peer.wait_connected());
    }
    void TearDown() override {
        if (hclient != nullptr) xcom_client_disconnect(hclient);
        hclient = nullptr;
        did_registration = 0;
        sem_destroy(&response_sem);
        sem_destroy(&input_ready_sem);
    }
    // Value of the input gate.
    static int gate() {
        int value = 0;
        sem_getvalue(&input_ready_sem, &value);
        return value;
    }

    TestPeer peer;
};

// Captures what the code under test prints on standard output.
class StdoutCapture {
  public:
    StdoutCapture() { ::testing::internal::CaptureStdout(); }
    std::string text() {
        fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }
};

}  // namespace zt
