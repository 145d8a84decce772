// Fuzzes the local command dispatcher with arbitrary lines in every command
// mode and session type. Nothing real runs: the command runner is stubbed,
// exit only says the session ends, and the channel never connects to the
// application, so every request fails at once with its error message. The
// printed output goes to /dev/null.
//
// Input: the first byte picks the command mode (low two bits: normal, customer
// API, internal, normal) and the session type (next two bits: telnet, api,
// api-serial, telnet); the rest is the line. In the seeds, C is normal mode in
// telnet, E customer-API mode in api, F internal mode in api, I customer-API
// mode in api-serial.
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "channel.h"
#include "cle.h"
#include "commands.h"
#include "log_view.h"
#include "seams.h"
#include "session.h"

namespace {

int stub_runner(const char*) {
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) dup2(null_fd, STDOUT_FILENO);
    system_pthread_set_runner(stub_runner);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static const char* const formats[] = {kFmtNormal, kFmtCustomerApi, kFmtInternal, kFmtNormal};
    static const char* const types[] = {"telnet", "api", "api-serial", "telnet"};
    SessionSettings settings;
    settings.traits = &session_settle_type(types[(data[0] >> 2) & 3], "");
    snprintf(settings.session_type, sizeof settings.session_type, "%s", settings.traits->type);
    session_settings_set(settings);
    session_log_view().clear_filters();
    // A few history entries, so that repeat reaches its copy and replace.
    if (cle_history_size() == 0) {
        for (const char* line : {"status", "history", "show add x"})
            cle_history_test_add(line);
    }

    static Channel unconnected;
    CommandContext context{formats[data[0] & 3], unconnected};
    const std::string line(reinterpret_cast<const char*>(data + 1), size - 1);
    process_command(line.c_str(), context);
    return 0;
}
