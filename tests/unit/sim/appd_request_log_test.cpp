// appd's request log (the program's --syslog): one entry per answered
// request, written when the answer goes out.
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "appd_fixture.h"

namespace {

std::mutex g_mutex;
std::vector<std::string> g_entries;

// The server thread's log: entries are kept for the test to compare.
void keep_entry(const char* entry) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_entries.emplace_back(entry);
}

// The entries so far, taken out of the log.
std::vector<std::string> take_entries() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return std::exchange(g_entries, {});
}

struct RequestLogTest : AppdTest {
    void SetUp() override {
        take_entries();
        request_log_ = keep_entry;
        AppdTest::SetUp();
    }
};

TEST_F(RequestLogTest, EachAnswerIsLoggedWithItsRequestAndResult) {
    auto c = connect_registered("a", "api");
    std::string session = "session " + std::to_string(c->id) + ": ";
    EXPECT_EQ(request(*c, "C: status"), "R: 0");
    EXPECT_EQ(request(*c, "C: nosuch"), "R: -1");
    EXPECT_EQ(request(*c, "D: sim answer Rxy5"), "Rxy5");
    EXPECT_EQ(request(*c, "N: sim line extra"), "extra");  // an extra line is no answer
    std::string answer;
    EXPECT_EQ(c->answers.read_line(&answer), 1);
    EXPECT_EQ(request(*c, "C: echo tab\there"), "R: 0");
    // Lines that get no answer leave no entry.
    EXPECT_EQ(request(*c, "X: ignored\nU\nE: echo done"), "R: 0");

    std::vector<std::string> expected = {
        session + "R: api " + c->path + " -> 0",
        session + "E: whoami -> 0",
        session + "C: status -> 0",
        session + "C: nosuch -> -1",
        session + "D: sim answer Rxy5 -> Rxy5",
        session + "N: sim line extra -> 0",
        session + "C: echo tab\\there -> 0",
        session + "E: echo done -> 0",
    };
    EXPECT_EQ(take_entries(), expected);
}

TEST_F(RequestLogTest, HeldAnswersAreLoggedWhenReleasedAndLongRequestsAreCut) {
    auto c = connect_registered("a");
    take_entries();
    std::string status;
    control("hold on", &status);
    ASSERT_EQ(status, "ok");
    std::string long_text(600, 'x');
    ASSERT_TRUE(write_all(c->tcp.get(), "C: echo " + long_text + "\n"));
    ASSERT_TRUE(
        wait_until([&] { return control("requests " + std::to_string(c->id)).size() == 3; }));
    EXPECT_TRUE(take_entries().empty());

    control("hold off", &status);
    std::string answer;
    ASSERT_EQ(c->answers.read_line(&answer), 1);
    EXPECT_EQ(answer, "R: 0");
    std::string shown = ("C: echo " + long_text).substr(0, 400) + "...";
    EXPECT_EQ(take_entries(), std::vector<std::string>{"session " + std::to_string(c->id) + ": " +
                                                       shown + " -> 0"});
}

}  // namespace
