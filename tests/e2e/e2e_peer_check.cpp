// zcon-peer-check against the simulator: every check passes against appd,
// and each fails against appd broken in the way that check is there to catch.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "sim_env.h"

namespace {

using namespace zt;

// The text of "key": "text" in a line of the JSON report, "" if absent.
std::string field(const std::string& line, const std::string& key) {
    const size_t at = line.find("\"" + key + "\": \"");
    if (at == std::string::npos) return "";
    const size_t start = at + key.size() + 5;
    return line.substr(start, line.find('"', start) - start);
}

// Runs the checker with short waits; returns its exit status, and in
// *not_passed each check that did not pass, with its result ("fail", "n/a").
int peer_check(Lines* not_passed) {
    const std::string command =
        bin_path("zcon-peer-check") + " --json --quiet 20 --timeout 1000 --samples 5";
    FILE* out = popen(command.c_str(), "r");
    std::string json;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, out)) > 0;)
        json.append(buf, n);
    const int status = pclose(out);
    std::istringstream rows(json);
    for (std::string row; std::getline(rows, row);) {
        const std::string result = field(row, "result");
        if (!result.empty() && result != "pass")
            not_passed->push_back(field(row, "name") + " " + result);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Sockets the checker left in the listener directory.
int leftover_sockets() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/tmp/apiasynclisteners"))
        count += entry.path().filename().string().starts_with("peer-check") ? 1 : 0;
    return count;
}

TEST(PeerCheck, PassesAgainstTheSimulatorAndCatchesEachBreach) {
    SimEnv sim;
    sim.start_appd();
    Lines not_passed;
    EXPECT_EQ(peer_check(&not_passed), 0);
    EXPECT_EQ(not_passed, Lines{"reboot now n/a"});
    const struct {
        const char* control;  // what breaks appd
        Lines checks;         // the checks that must fail
    } rows[] = {
        {"register-result 1", {"register telnet", "register api", "register api-serial"}},
        {"breach double-answer", {"request C:", "request E:", "request D:", "request N:"}},
        {"breach bare-answer", {"request C:", "whoami"}},
        {"breach unanswered-naming", {"request N:"}},
        {"breach unknown-accepted", {"unknown command"}},
        {"breach no-whoami", {"whoami"}},
        {"breach settings-refused", {"login report"}},
        {"breach output-unterminated", {"output in datagrams"}},
        {"breach output-on-connection", {"only answers on the connection"}},
        {"breach output-crossed", {"sessions at once"}},
        {"breach output-after-unregister", {"unregister"}},
        {"breach answer-unregister", {"unregister"}},
        {"breach keep-open", {"close after U"}},
        {"quit", {"connect"}},  // nothing listens any more
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.control);
        sim.control(row.control);
        not_passed.clear();
        EXPECT_EQ(peer_check(&not_passed), 1);
        for (const std::string& check : row.checks)
            EXPECT_EQ(std::count(not_passed.begin(), not_passed.end(), check + " fail"), 1)
                << check;
        if (std::string_view(row.control) == "quit") break;
        sim.control("breach none");
        sim.control("register-result 0");
    }
    EXPECT_EQ(leftover_sockets(), 0);
}

}  // namespace
