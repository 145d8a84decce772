// appd's control socket: listing and steering sessions from outside.
#include <algorithm>
#include <string>

#include "appd_fixture.h"

using ControlTest = AppdTest;

TEST_F(ControlTest, SessionsListsIdTypePathAndName) {
    auto a = connect_registered("a", "api");
    auto idle = connect_client();
    EXPECT_EQ(request(*a, "N: name desk"), "R: 0");
    ASSERT_TRUE(wait_until([&] { return control("sessions").size() == 2; }));
    std::string status;
    auto lines = control("sessions", &status);
    EXPECT_EQ(status, "ok");
    EXPECT_EQ(lines[0], std::to_string(a->id) + " api " + a->path + " desk");
    EXPECT_EQ(lines[1], std::to_string(a->id + 1) + " - - -");
}

TEST_F(ControlTest, NotifyDgramAndSendReachTheSession) {
    auto a = connect_registered("a");
    auto b = connect_registered("b");
    std::string status;
    control("notify maintenance at noon", &status);
    EXPECT_EQ(status, "ok");
    EXPECT_EQ(next_datagram(*a), "maintenance at noon\n");
    EXPECT_EQ(next_datagram(*b), "maintenance at noon\n");

    control("dgram " + std::to_string(a->id) + " part\\x01 one\\npart two", &status);
    EXPECT_EQ(status, "ok");
    EXPECT_EQ(next_datagram(*a), "part\x01 one\npart two");

    control("send " + std::to_string(b->id) + " not an answer\\nRxy1\\n", &status);
    EXPECT_EQ(status, "ok");
    std::string line;
    ASSERT_EQ(b->answers.read_line(&line), 1);
    EXPECT_EQ(line, "not an answer");
    ASSERT_EQ(b->answers.read_line(&line), 1);
    EXPECT_EQ(line, "Rxy1");

    for (const char* bad :
         {"dgram 999 x", "send nope x", "dgram 1 bad\\", "close 999", "hold maybe",
          "register-result x", "requests 0", "flood 1 x 1 1", "flood all 1 1 0", "frobnicate"}) {
        control(bad, &status);
        EXPECT_EQ(status.rfind("error", 0), 0u) << bad;
    }
}

TEST_F(ControlTest, CloseEndsTheConnection) {
    auto a = connect_registered("a");
    std::string status;
    control("close " + std::to_string(a->id), &status);
    EXPECT_EQ(status, "ok");
    std::string line;
    EXPECT_EQ(a->answers.read_line(&line), 0);
    // Its requests stay available after the session has gone.
    auto lines = control("requests " + std::to_string(a->id), &status);
    EXPECT_EQ(status, "ok");
    EXPECT_EQ(lines, (std::vector<std::string>{"R: telnet " + a->path, "E: whoami"}));
}

TEST_F(ControlTest, HoldWithholdsAnswersUntilReleased) {
    control("hold on");
    auto c = connect_client();
    c->path = dir_.file("zconh");
    c->events.reset(bind_dgram(c->path));
    ASSERT_TRUE(write_all(c->tcp.get(), "R: telnet " + c->path + "\nC: echo queued\n"));
    const std::string id = "1";  // the first session of a fresh server
    // Wait until the server has the registration; the echo stays unread
    // behind the withheld answer.
    ASSERT_TRUE(wait_until([&] { return control("requests " + id).size() == 1; }));
    EXPECT_EQ(next_datagram(*c, 0), "<none>");
    control("hold off");
    std::string line;
    ASSERT_EQ(c->answers.read_line(&line), 1);
    EXPECT_EQ(line, "R: 0");
    ASSERT_EQ(c->answers.read_line(&line), 1);
    EXPECT_EQ(line, "R: 0");
    EXPECT_EQ(next_datagram(*c, 0), "queued\n");
}

TEST_F(ControlTest, RegisterResultRefusesRegistrations) {
    control("register-result -5");
    auto c = connect_client();
    EXPECT_EQ(request(*c, "R: telnet /tmp/nowhere"), "R: -5");
    auto lines = control("sessions");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(lines[0].find(' ')), " - - -");
    control("register-result 0");
    EXPECT_EQ(request(*c, "R: telnet /tmp/nowhere"), "R: 0");
}

TEST_F(ControlTest, RequestsListsEveryLineInOrder) {
    auto a = connect_registered("a");
    EXPECT_EQ(request(*a, "C: sim dgram x\tcontrol\\x01"), "R: 0");
    EXPECT_EQ(request(*a, "U\nN: name z"), "R: 0");
    auto lines = control("requests " + std::to_string(a->id));
    EXPECT_EQ(lines,
              (std::vector<std::string>{"R: telnet " + a->path, "E: whoami",
                                        "C: sim dgram x\\tcontrol\\\\x01", "U", "N: name z"}));
}

TEST_F(ControlTest, QuitEndsTheServer) {
    std::string status;
    control("quit", &status);
    EXPECT_EQ(status, "ok");
    loop_.join();
    EXPECT_EQ(run_result_, 0);
}
