// Requests to the application and the reading of its answers, over a real
// loopback connection to an in-process peer.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "channel.h"
#include "channel_fixture.h"
#include "registration.h"
#include "session.h"

namespace {

struct Channel : zt::ChannelFixture {
    void SetUp() override {
        newline_string = serial_newline_string;
        ChannelFixture::SetUp();
    }
    // Sends one command against the given answer; returns its result and
    // what was printed.
    int ask(const std::string& answer, std::string* printed = nullptr) {
        peer.set_answer(answer);
        zt::StdoutCapture out;
        int rc = send_command("status");
        std::string text = out.text();
        if (printed != nullptr) *printed = text;
        return rc;
    }
};

TEST_F(Channel, ResultIsTheLeadingNumberOfTheAnswer) {
    std::string printed;
    EXPECT_EQ(ask("R: 0"), 0);
    EXPECT_EQ(ask("R: 12 lines follow"), 12);
    EXPECT_EQ(ask("R: done"), 0);
    EXPECT_EQ(ask("R:  +7"), 7);
    // Only the first character is looked at.
    EXPECT_EQ(ask("Rxy5"), 5);
    EXPECT_EQ(ask("R: 99999999999"), INT32_MAX);
    EXPECT_EQ(ask("R: -3", &printed), -1);
    EXPECT_EQ(printed, "error: command not found\r\n");
    // Every answered request opens the input gate once.
    EXPECT_EQ(gate(), 7);
}

TEST_F(Channel, NegativeAnswerBeforeRegistrationIsReturnedSilently) {
    did_registration = 0;
    std::string printed;
    EXPECT_EQ(ask("R: -3", &printed), -3);
    EXPECT_EQ(printed, "");
}

TEST_F(Channel, EmptyAnswerMeansTheSessionIsClosed) {
    std::string printed;
    EXPECT_EQ(ask("R: ", &printed), kAppGone);
    EXPECT_EQ(printed, "error: session is closed by peer\r\n");
    EXPECT_EQ(ask("R:"), kAppGone);
}

TEST_F(Channel, RequestsCarryTheirPrefixes) {
    send_command("status");
    cmd_fmt = kFmtCustomerApi;
    send_command("status");
    cmd_fmt = kFmtInternal;
    send_command("status");
    send_api_cmd("whoami");
    send_sys_cmd("uptime");
    send_session_cmd("name", "lobby");
    ASSERT_TRUE(peer.wait_lines(6));
    EXPECT_EQ(peer.lines(), (std::vector<std::string>{"C: status", "E: status", "D: status",
                                                      "E: whoami", "D: uptime", "N: name lobby"}));
}

// The reader stores an answer nobody asked for while the main thread may
// still be reading the previous one: nothing orders the two but a lock.
TEST_F(Channel, AnUnaskedAnswerIsTakenByTheNextRequest) {
    peer.set_answer(std::nullopt);
    std::atomic<bool> read{false};
    std::thread application([&] {
        peer.wait_lines(1);
        peer.send("R: 5\n");
        while (!read.load(std::memory_order_relaxed))  // relaxed: orders nothing
            std::this_thread::yield();
        peer.send("R: 6\n");
    });
    EXPECT_EQ(send_command("a"), 5);
    read.store(true, std::memory_order_relaxed);
    application.join();
    ASSERT_TRUE(zt::wait_until([] {
        int posted = 0;
        sem_getvalue(&response_sem, &posted);
        return posted > 0;
    }));
    EXPECT_EQ(send_command("b"), 6);
}

TEST_F(Channel, LinesNotBeginningWithRAreIgnored) {
    peer.set_answer(std::nullopt);
    peer.send("hello\nS: 4\n");
    std::thread answer([&] {
        peer.wait_lines(1);
        peer.send("R: 4\n");
    });
    EXPECT_EQ(send_command("x"), 4);
    answer.join();
}

TEST_F(Channel, RequestThatIsNotOneLineIsRefusedWithoutEndingTheSession) {
    const std::string kTooLong = "error: command line too long\r\n";
    const std::string kBreak = "error: request holds a line break, not sent\r\n";
    const struct {
        std::string text;
        const std::string& message;
    } rows[] = {
        {std::string(508, 'x'), kTooLong},  // 511 characters with its prefix
        {"y\nC: echo smuggled", kBreak},
        {"y\rC: echo smuggled", kBreak},
        {"\n", kBreak},
    };
    for (const auto& row : rows) {
        zt::StdoutCapture out;
        EXPECT_EQ(send_command(row.text.c_str()), -1);
        EXPECT_EQ(send_api_cmd(row.text.c_str()), -1);
        EXPECT_EQ(send_sys_cmd(row.text.c_str()), -1);
        EXPECT_EQ(send_session_cmd("name", row.text.c_str()), -1);
        EXPECT_EQ(out.text(), row.message + row.message + row.message + row.message) << row.text;
    }
    zt::StdoutCapture out;
    EXPECT_EQ(channel_send("R: telnet /tmp/a\nC: x"), -1);  // nor can registration
    EXPECT_EQ(out.text(), kBreak);
    EXPECT_EQ(gate(), 4);              // each refused forwarded line counts as handled
    const std::string fits(507, 'x');  // 510 characters fit
    EXPECT_EQ(send_command(fits.c_str()), 0);
    ASSERT_TRUE(peer.wait_lines(1));
    EXPECT_EQ(peer.lines(), std::vector<std::string>{"C: " + fits});
}

TEST_F(Channel, EndOfConnectionIsStickyForEveryLaterRequest) {
    peer.set_answer(std::nullopt);
    std::thread closer([&] {
        peer.wait_lines(1);
        peer.close_connection();
    });
    std::string printed;
    zt::StdoutCapture out;
    EXPECT_EQ(send_command("status"), kAppGone);
    closer.join();
    // No answer can come any more: later requests return at once.
    EXPECT_EQ(send_api_cmd("execwithoutecho systemsetting telnet_client_23 "), kAppGone);
    EXPECT_EQ(unregister_session(), -1);
    EXPECT_EQ(out.text(),
              "error: session is closed by peer\r\nerror: session is closed by peer\r\n");
    EXPECT_EQ(peer.lines(), std::vector<std::string>{"C: status"});
}

TEST_F(Channel, EndArrivingWhileIdleAnswersTheNextRequest) {
    peer.close_connection();
    ASSERT_TRUE(zt::wait_until([] { return channel_ended(); }));
    zt::StdoutCapture out;
    EXPECT_EQ(send_command("status"), kAppGone);
    EXPECT_EQ(send_command("status"), kAppGone);
    EXPECT_EQ(out.text(),
              "error: session is closed by peer\r\nerror: session is closed by peer\r\n");
}

TEST(ChannelHandler, AnswerTextIsCutToFitTheResponse) {
    sem_init(&response_sem, 0, 0);
    std::string line = "R: 1" + std::string(1000, '0');
    message_handler(nullptr, line.data());
    EXPECT_EQ(strlen(response), static_cast<size_t>(kResponseSize - 1));
    EXPECT_EQ(std::string(response, 2), "10");
    message_handler(nullptr, const_cast<char*>("x"));  // not an answer: nothing changes
    EXPECT_EQ(strlen(response), static_cast<size_t>(kResponseSize - 1));
    int posted = 0;
    sem_getvalue(&response_sem, &posted);
    EXPECT_EQ(posted, 1);
    sem_destroy(&response_sem);
}

}  // namespace
