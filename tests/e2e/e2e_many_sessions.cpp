// Two hundred sessions on one application under an event flood: each gets
// all of its own lines, in order, and none of anyone else's.
#include <gtest/gtest.h>
#include <poll.h>

#include <map>

#include "sim_env.h"

namespace {

using namespace std::chrono_literals;

constexpr int kSessions = 200;
constexpr int kLines = 1000;

TEST(ManySessions, EachReceivesItsOwnFloodWhole) {
    zt::SimEnv sim;
    sim.start_appd();
    std::map<std::string, std::unique_ptr<zt::PtyProcess>> by_socket;
    for (int i = 0; i < kSessions; ++i) {
        auto z = sim.zcon({"-t", "api", "--nobanner"});
        std::string socket = "/tmp/apiasynclisteners/zcon" + z->tty_name().substr(9);
        by_socket[socket] = std::move(z);
    }
    std::vector<std::string> sessions;
    ASSERT_TRUE(zt::wait_until(
        [&] {
            sessions = sim.control("sessions");
            int registered = 0;
            for (const auto& s : sessions)
                registered += s.find(" api ") != std::string::npos;
            return registered == kSessions;
        },
        60000ms));

    // Which session id each terminal belongs to: "id type path name".
    std::map<zt::PtyProcess*, std::string> id_of;
    for (const auto& s : sessions) {
        size_t path = s.find(" /tmp/");
        std::string socket = s.substr(path + 1, s.find(' ', path + 1) - path - 1);
        ASSERT_TRUE(by_socket.count(socket)) << s;
        id_of[by_socket[socket].get()] = s.substr(0, s.find(' '));
    }
    std::string status;
    sim.control("flood all " + std::to_string(kLines) + " 80 20", &status);
    ASSERT_EQ(status, "ok");

    // Drain every terminal until each shows its last line.
    auto done = [&](zt::PtyProcess* z) {
        return z->output().find("flood " + id_of[z] + " " + std::to_string(kLines) + ".") !=
               std::string::npos;
    };
    auto deadline = std::chrono::steady_clock::now() + 120s;
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<zt::PtyProcess*> open;
        for (auto& [z, id] : id_of) {
            if (done(z)) continue;
            fds.push_back({z->master(), POLLIN, 0});
            open.push_back(z);
        }
        if (open.empty()) break;
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << open.size() << " unfinished";
        poll(fds.data(), fds.size(), 100);
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents) open[i]->pump();
        }
    }
    for (auto& [z, id] : id_of) {
        std::string expected;
        for (int n = 1; n <= kLines; ++n) {
            std::string line = "flood " + id + " " + std::to_string(n);
            expected += line + std::string(80 - line.size(), '.') + "\n";
        }
        EXPECT_TRUE(z->output() == expected)
            << "session " << id << " got " << z->output().size() << " bytes";
    }
}

}  // namespace
