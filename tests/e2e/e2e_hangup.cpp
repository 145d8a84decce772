// A hang-up ends the session within a second whatever it is doing, the way
// end of input ends it; the programs the shell starts do not inherit the
// hang-up ignored.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "sim_env.h"

namespace {

using namespace std::chrono_literals;
using zt::printable;
using Lines = std::vector<std::string>;

const std::string kSet = "E: execwithoutecho systemsetting ";
const std::string kClear = kSet + "telnet_client_23 ";
const std::string kRetry = " -- password failed, retry --\r\n";
const Lines kStart = {"R: telnet", kClear, kSet + "telnet_client_23_success True"};
const Lines kFailedLogin = {"R: telnet", kClear, kSet + "telnet_client_23_success False", "U"};

// Whether a process of that name runs in the test's private process table.
bool process_runs(const std::string& name) {
    DIR* proc = opendir("/proc");
    bool found = false;
    while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
        std::string stat = zt::read_file("/proc/" + std::string(entry->d_name) + "/stat");
        found = found || stat.find(" (" + name + ") ") != std::string::npos;
    }
    if (proc != nullptr) closedir(proc);
    return found;
}

struct Hangup : ::testing::Test {
    void SetUp() override { sim.start_syslogd(); }
    // The requests appd received, the registration's socket path left out.
    Lines requests() {
        Lines lines = sim.requests();
        for (auto& line : lines) {
            if (line.rfind("R: ", 0) == 0) line = line.substr(0, line.find(' ', 3));
        }
        return lines;
    }
    zt::SimEnv sim;
};

struct State {
    const char* name;
    std::vector<std::string> args;
    const char* password;  // "" for none
    bool appd;
    void (*reach)(Hangup&, zt::PtyProcess&);  // brings the session into the state
    bool signal_only;                         // SIGHUP while the terminal stays
    int status;
    Lines requests;  // what the application has received in the end
};

void at_command_line(Hangup&, zt::PtyProcess& z) {
    ASSERT_TRUE(z.expect("Session type: telnet\r\n")) << printable(z.output());
    z.write("half a li");
    ASSERT_TRUE(z.expect("half a li"));
}

TEST_F(Hangup, EndsEveryStateWithinASecond) {
    auto plus = [](Lines lines, const Lines& more) {
        lines.insert(lines.end(), more.begin(), more.end());
        return lines;
    };
    const State states[] = {
        {"command line", {}, "", true, at_command_line, false, 0, plus(kStart, {kClear, "U"})},
        {"command line, terminal still there",
         {},
         "",
         true,
         at_command_line,
         true,
         0,
         plus(kStart, {kClear, "U"})},
        {"answer wait",
         {},
         "",
         true,
         [](Hangup& t, zt::PtyProcess& z) {
             ASSERT_TRUE(t.sim.wait_trace("< " + kSet + "telnet_client_23_success True"));
             t.sim.control("hold on");
             z.write("echo held\r");
             ASSERT_TRUE(t.sim.wait_trace("< C: echo held"));
         },
         false,
         0,
         plus(kStart, {"C: echo held", kClear, "U"})},
        {"connect wait",
         {},
         "",
         false,
         [](Hangup&, zt::PtyProcess& z) {
             ASSERT_TRUE(z.expect("Waiting for application to start\r\n")) << printable(z.output());
         },
         false,
         0,
         {}},
        {"log viewer",
         {"--logviewer"},
         "",
         false,
         [](Hangup&, zt::PtyProcess& z) {
             ASSERT_TRUE(z.expect("Log viewer mode (Ctrl-C to quit) ...\r\n"));
             ASSERT_TRUE(zt::wait_until([] { return process_runs("zcon"); }));
         },
         false,
         0,
         {}},
        {"password prompt",
         {},
         "s3cret",
         true,
         [](Hangup&, zt::PtyProcess& z) { ASSERT_TRUE(z.expect("Password:\r\n")); },
         false,
         1,
         {}},  // nobody guessed: nothing to report
        {"password prompt after a wrong password",
         {},
         "s3cret",
         true,
         [](Hangup&, zt::PtyProcess& z) {
             ASSERT_TRUE(z.expect("Password:\r\n"));
             z.write("guess\n");
             ASSERT_TRUE(z.expect(kRetry));
         },
         false,
         1,
         kFailedLogin},
    };
    for (const State& s : states) {
        SCOPED_TRACE(s.name);
        sim.stop_appd();
        unlink(zt::SimEnv::kTrace);
        if (s.appd) sim.start_appd();
        sim.set_password(s.password);
        auto z = sim.zcon(s.args);
        s.reach(*this, *z);
        if (HasFatalFailure()) return;
        auto hung_up = std::chrono::steady_clock::now();
        if (s.signal_only) {
            z->kill(SIGHUP);
        } else {
            z->hang_up();
        }
        int status = z->wait_exit(3000ms);
        auto ms =
            std::chrono::duration_cast<zt::Millis>(std::chrono::steady_clock::now() - hung_up);
        printf("hang-up to exit, %s: %lld ms\n", s.name, static_cast<long long>(ms.count()));
        EXPECT_EQ(status, s.status);
        EXPECT_LT(ms, 1000ms);
        EXPECT_FALSE(process_runs("zcon"));
        if (s.signal_only) {
            EXPECT_TRUE(zt::same_attributes(z->attributes(), z->initial_attributes()));
        }
        if (s.appd) sim.control("hold off");
        zt::wait_until([&] { return requests() == s.requests; });
        EXPECT_EQ(requests(), s.requests);
    }
}

// The boot environment tool reports its own signal state as the listing.
TEST_F(Hangup, ChildrenStartWithTheDefaultDisposition) {
    sim.start_appd();
    sim.set_password("");
    zt::TempDir bin;
    {
        FILE* tool = fopen(bin.file("fw_printenv").c_str(), "w");
        ASSERT_NE(tool, nullptr);
        fputs("#!/bin/sh\nsed -n 's/^Sig\\(Ign\\|Blk\\):\\t*/\\1=/p' /proc/self/status\n", tool);
        fclose(tool);
        chmod(bin.file("fw_printenv").c_str(), 0755);
    }
    zt::PtyOptions options;
    options.env = {"PATH=" + bin.path() + ":/usr/bin:/bin"};
    auto z = sim.registered_zcon({}, options);
    z->write("printenv\r");
    ASSERT_TRUE(z->expect("\n\r\n\r")) << printable(z->output());
    for (const char* set : {"Ign=", "Blk="}) {
        size_t at = z->output().find(set);
        ASSERT_NE(at, std::string::npos) << printable(z->output());
        unsigned long long mask = std::stoull(z->output().substr(at + 4, 16), nullptr, 16);
        EXPECT_EQ(mask & (1ull << (SIGHUP - 1)), 0u) << set << printable(z->output());
    }
}

}  // namespace
