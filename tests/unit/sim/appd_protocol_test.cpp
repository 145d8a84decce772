// appd's wire protocol as the shell sees it: registration, answers, output
// datagrams and the in-band "sim" scripting.
#include <string>

#include "appd_fixture.h"

using ProtocolTest = AppdTest;

// A request's output is already queued on the event socket when its answer
// arrives, so "nothing queued" right after an answer means no output.
constexpr int kNow = 0;

TEST_F(ProtocolTest, RegisteredSessionGetsOutputBeforeItsAnswer) {
    auto c = connect_registered("a", "api");
    EXPECT_EQ(request(*c, "C: echo hello world"), "R: 0");
    EXPECT_EQ(next_datagram(*c, kNow), "hello world\n");
    EXPECT_EQ(request(*c, "D: whoami"), "R: 0");
    EXPECT_EQ(next_datagram(*c, kNow),
              "session " + std::to_string(c->id) + " type api socket " + c->path + "\n");
}

TEST_F(ProtocolTest, PipelinedRequestsGetOneAnswerEachInOrder) {
    auto c = connect_registered("a");
    // Blank lines, other prefixes and "U" get no answer; unknown commands -1.
    ASSERT_TRUE(write_all(c->tcp.get(),
                          "C: echo one\r\nC: nosuch\n\nX: ignored\nE: echo two\nN: name lobby\n"
                          "N: find nobody\nN: rename x\nD: reboot later\nC: echo three\n"));
    for (const char* expected :
         {"R: 0", "R: -1", "R: 0", "R: 0", "R: -1", "R: -1", "R: -1", "R: 0"}) {
        std::string answer;
        ASSERT_EQ(c->answers.read_line(&answer), 1);
        EXPECT_EQ(answer, expected);
    }
    EXPECT_EQ(next_datagram(*c, kNow), "one\n");
    EXPECT_EQ(next_datagram(*c, kNow), "two\n");
    EXPECT_EQ(next_datagram(*c, kNow), "three\n");
    EXPECT_EQ(next_datagram(*c, kNow), "<none>");

    // After "U" requests are still answered, but output has nowhere to go.
    EXPECT_EQ(request(*c, "U\nC: echo gone"), "R: 0");
    EXPECT_EQ(next_datagram(*c, kNow), "<none>");
}

TEST_F(ProtocolTest, SettingsAreStoredSilentlyAndShownOnRequest) {
    auto c = connect_registered("a");
    EXPECT_EQ(request(*c, "E: execwithoutecho systemsetting telnet_client_23 192.0.2.7"), "R: 0");
    EXPECT_EQ(request(*c, "E: execwithoutecho systemsetting telnet_client_23_success True"),
              "R: 0");
    EXPECT_EQ(next_datagram(*c, kNow), "<none>");
    EXPECT_EQ(request(*c, "C: systemsetting telnet_client_23"), "R: 0");
    EXPECT_EQ(next_datagram(*c, kNow), "telnet_client_23=192.0.2.7\n");

    // The shell clears the address with an empty value: "NAME " and nothing.
    EXPECT_EQ(request(*c, "E: execwithoutecho systemsetting telnet_client_23 "), "R: 0");
    EXPECT_EQ(request(*c, "C: settings"), "R: 0");
    EXPECT_EQ(next_datagram(*c, kNow), "telnet_client_23_success=True\n");
    EXPECT_EQ(next_datagram(*c, kNow), "<none>");
    EXPECT_EQ(control("settings"), std::vector<std::string>{"telnet_client_23_success=True"});
}

TEST_F(ProtocolTest, ScriptedAnswersAreSentVerbatim) {
    auto c = connect_registered("a");
    EXPECT_EQ(request(*c, "C: sim answer R: -3"), "R: -3");
    EXPECT_EQ(request(*c, "E: sim answer Rxy5"), "Rxy5");
    EXPECT_EQ(request(*c, "D: sim answer R:"), "R:");
    EXPECT_EQ(request(*c, "N: sim answer"), "");
    // An extra line on the connection comes before the answer.
    EXPECT_EQ(request(*c, "C: sim line hello there"), "hello there");
    std::string answer;
    ASSERT_EQ(c->answers.read_line(&answer), 1);
    EXPECT_EQ(answer, "R: 0");
    EXPECT_EQ(request(*c, "C: sim bogus"), "R: -1");
}

TEST_F(ProtocolTest, ScriptedDatagramsCarryExactBytes) {
    auto c = connect_registered("a");
    EXPECT_EQ(request(*c, "C: sim dgram a\\nb\\0c\\x7f\\tend\\r\\\\"), "R: 0");
    EXPECT_EQ(next_datagram(*c, kNow), std::string("a\nb\0c\x7f\tend\r\\", 12));
    EXPECT_EQ(request(*c, "C: sim dgram "), "R: 0");
    EXPECT_EQ(next_datagram(*c, kNow), "");  // an empty datagram
    EXPECT_EQ(request(*c, "C: sim dgram bad\\q"), "R: -1");

    EXPECT_EQ(request(*c, "C: sim lines 3 10"), "R: 0");
    for (const char* line : {"line 1....\n", "line 2....\n", "line 3....\n"}) {
        EXPECT_EQ(next_datagram(*c, kNow), line);
    }
    EXPECT_EQ(next_datagram(*c, kNow), "<none>");
}

TEST_F(ProtocolTest, HeldRequestStaysUnansweredAndLaterOnesGoOn) {
    auto c = connect_registered("a");
    // The held request is never answered, so the next answer is the next
    // request's; a lagging answer keeps the ones behind it in order.
    ASSERT_TRUE(write_all(c->tcp.get(), "C: sim hold\nC: sim lag 30\nC: sim answer R: 7\n"));
    std::string answer;
    ASSERT_EQ(c->answers.read_line(&answer), 1);
    EXPECT_EQ(answer, "R: 0");
    ASSERT_EQ(c->answers.read_line(&answer), 1);
    EXPECT_EQ(answer, "R: 7");
}

TEST_F(ProtocolTest, ConnectionEndsOnScriptedCloseAndOverlongLine) {
    auto c = connect_registered("a");
    EXPECT_EQ(request(*c, "C: sim close"), "<closed>");

    // 16384 bytes with the LF is the longest line taken.
    auto d = connect_registered("d");
    std::string longest = "C: echo " + std::string(16384 - 9, 'x');
    EXPECT_EQ(request(*d, longest), "R: 0");
    EXPECT_EQ(next_datagram(*d, kNow).size(), 16384u - 8);
    EXPECT_EQ(request(*d, longest + "y"), "<closed>");
}

TEST_F(ProtocolTest, RebootNotifiesEverySessionAndNamesAreFound) {
    auto a = connect_registered("a");
    auto b = connect_registered("b", "api-serial");
    EXPECT_EQ(request(*b, "N: name lobby"), "R: 0");
    EXPECT_EQ(request(*a, "N: find lobby"), "R: 0");
    EXPECT_EQ(next_datagram(*a, kNow),
              "session " + std::to_string(b->id) + " api-serial " + b->path + "\n");

    EXPECT_EQ(request(*a, "E: reboot now"), "R: 0");
    EXPECT_EQ(next_datagram(*a, kNow), "The system is going down for reboot NOW!\n");
    std::string broadcast = next_datagram(*a, kNow);
    EXPECT_NE(broadcast.find("rebooting"), std::string::npos);
    EXPECT_EQ(next_datagram(*b), broadcast);
    // The simulator keeps serving.
    EXPECT_EQ(request(*b, "C: status"), "R: 0");
    EXPECT_EQ(next_datagram(*b, kNow).rfind("Model: ", 0), 0u);
}

TEST_F(ProtocolTest, TraceRecordsReceivedAndSentLines) {
    auto c = connect_registered("a");
    EXPECT_EQ(request(*c, "C: nosuch"), "R: -1");
    std::string id = std::to_string(c->id);
    std::string trace = read_file(dir_.file("trace"));
    EXPECT_NE(trace.find(id + " < C: nosuch\n" + id + " > R: -1\n"), std::string::npos) << trace;
}
