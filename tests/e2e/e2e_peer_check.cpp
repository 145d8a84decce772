// zcon-peer-check against the simulator: every check passes against appd,
// and against appd broken in one way the rows that meet the fault fail,
// each naming it and the contract's section, and no other row does.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "sim_env.h"

namespace {

using namespace zt;

const std::string kChecker = bin_path("zcon-peer-check") + " --quiet 20 --timeout 1000 --samples 5";

struct CheckRun {
    int status = -1;
    std::string json;
    Lines not_passed;  // "<name> <result>" of each row that did not pass
    Lines failed;      // the names of the failing rows
    Lines details;     // and their details
};

CheckRun peer_check() {
    CheckRun run;
    run.status = run_command(kChecker + " --json", &run.json);
    // A row of the report: {"name": "...", "result": "...", "detail": "..."},
    // the detail's quotes escaped.
    static const std::regex row(
        R"re(\{"name": "([^"]*)", "result": "([^"]*)", "detail": "(.*)"\})re");
    for (std::sregex_iterator m(run.json.begin(), run.json.end(), row), end; m != end; ++m) {
        const std::string name = (*m)[1], result = (*m)[2];
        if (result != "pass") run.not_passed.push_back(name + " " + result);
        if (result != "fail") continue;
        run.failed.push_back(name);
        run.details.push_back(std::regex_replace((*m)[3].str(), std::regex(R"(\\")"), "\""));
    }
    return run;
}

// Sockets the checker left in the listener directory.
int leftover_sockets() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/tmp/apiasynclisteners"))
        count += entry.path().filename().string().starts_with("peer-check") ? 1 : 0;
    return count;
}

TEST(PeerCheck, PassesAgainstTheSimulatorAndNamesEachBreachWhereItIsMet) {
    SimEnv sim;
    sim.start_appd();
    CheckRun run = peer_check();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.not_passed, Lines{"reboot now n/a"});
    EXPECT_NE(run.json.find("\"format\": 1,\n  \"checker\": \"zcon-peer-check "),
              std::string::npos);
    const Lines answered = {"request C:",      "request E:", "request D:",  "request N:",
                            "unknown command", "whoami",     "login report"};
    Lines registered = {"register telnet", "register api", "register api-serial"};
    Lines form = registered;
    form.insert(form.end(), answered.begin(), answered.end());
    const struct {
        const char* control;  // what breaks appd
        Lines fail;           // the rows that meet the fault
        const char* seen;     // what each of them says was seen
        const char* rule;     // and which rule it breaks
        const char* section;  // of the contract
    } rows[] = {
        {"register-result 1", registered, "got \"R: 1\"", "accepted with 0", "2.1"},
        {"breach answer-form", form, "got \"OK ", "an answer is \"R: <int>\"", "3.1"},
        {"breach bare-answer", answered, "got \"R:\"", "the session is closed", "3.1"},
        {"breach late-answer 1200",
         {"request E:", "unknown command", "whoami", "login report"},
         "answered after 1.",
         "limit 1.0 s: every request gets one answer within 1.0 s",
         "3.2"},
        {"breach double-answer", answered, "answered 2 times", "one answer per request", "3.2"},
        {"breach unanswered-naming", {"request N:"}, "no answer to \"N: ", "within 1.0 s", "3.2"},
        {"breach unknown-accepted", {"unknown command"}, "-> 0", "negative result", "2.2"},
        {"breach no-whoami", {"whoami"}, "\"E: whoami\" -> -1", "requests succeed", "2.4"},
        {"breach settings-refused", {"login report"}, "-> -1", "writes succeed", "6"},
        {"breach output-on-connection",
         {"only answers on the connection"},
         "\"session ",
         "output goes to the session socket",
         "3.3"},
        {"breach output-unterminated", {"output in datagrams"}, "without LF", "LF", "4.2"},
        {"breach output-crossed", {"sessions at once"}, "socket: \"session ", "only there", "4.1"},
        {"breach foreign-sender", {"output sender"}, "from uid 65534", "drops", "4.3"},
        {"breach output-after-unregister", {"unregister"}, "socket received", "no output", "2.5"},
        {"breach answer-unregister", {"unregister"}, "carried \"R: 0\"", "no answer", "2.5"},
        {"breach keep-open", {"close after U"}, "still open", "closes its end", "2.5"},
        {"quit", {"connect"}, "connect:", "takes the shell's connection", "1.1"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.control);
        sim.control(row.control);
        run = peer_check();
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.failed, row.fail);
        for (const std::string& detail : run.details) {
            EXPECT_NE(detail.find(row.seen), std::string::npos) << detail;
            EXPECT_NE(detail.find(row.rule), std::string::npos) << detail;
            EXPECT_TRUE(detail.ends_with(std::string(" (protocol.md ") + row.section + ")"))
                << detail;
        }
        if (std::string_view(row.control) == "quit") break;
        sim.control("breach none");
        sim.control("register-result 0");
    }
    EXPECT_EQ(leftover_sockets(), 0);
}

TEST(PeerCheck, OnATerminalShowsEachRowAsItIsDecidedAndWhatItWaitsFor) {
    SimEnv sim;
    sim.start_appd();
    sim.control("breach unanswered-naming");
    PtyOptions options;
    options.argv = {"/bin/sh", "-c", "exec " + kChecker};
    PtyProcess check(options);
    EXPECT_TRUE(check.expect("pass  connect"));
    EXPECT_TRUE(check.expect("waiting for the answer to \"N: name"));
    EXPECT_TRUE(check.running());
    EXPECT_TRUE(check.expect("\r\033[Kfail  request N:"));
    EXPECT_EQ(check.wait_exit(30000ms), 1);
}

}  // namespace
