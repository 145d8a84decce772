// Who may speak in a session, lines across datagrams, and endings that wait
// for nothing. These rows also run with the appliance's build of the shell
// under its emulator (ctest label qemu: ZCON_SHELL and ZCON_EMULATOR), so
// they look at the shell from outside only.
#include <gtest/gtest.h>
#include <signal.h>

#include "sim_env.h"

namespace {

using namespace zt;

struct Peers : ::testing::Test {
    SimEnv sim;
};

// A hang-up while --wait holds the start-up, before the options are even
// read whole: the session ends as its ending says, neither killed by the
// signal nor failing to start an editor on a terminal it no longer has.
TEST_F(Peers, AHangUpEarlyInStartUpEndsAsTheDesignSays) {
    const struct {
        Lines args;
        int status;
    } rows[] = {
        {{"--wait", "-t", "api-serial"}, 0},  // cut short before it connects
        {{"--wait"}, 1},                      // the login given up
    };
    for (const auto& r : rows) {
        auto z = sim.zcon(r.args);
        ASSERT_TRUE(z->expect("DEBUG: waiting for SIGUSR1 to start...\r\n"));
        z->hang_up();
        EXPECT_EQ(z->wait_exit(), r.status) << r.args.size();
    }
}

}  // namespace
