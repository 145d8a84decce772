// The session-wide settings, shared by the shell's modules, and the table of
// session types.
#include "session.h"

#include <stdio.h>
#include <string.h>

char session_type[kSessionTypeSize] = "telnet";
char host_name[kHostNameSize] = "localhost";
int host_port = 4121;
char tty_name[kTtyNameSize];
const char* cmd_fmt = kFmtNormal;
int cmdecho_state = 1;
int prompt_enabled = 1;
int gbPrintToSysLog;
std::atomic<int> gnCount;
const char* newline_string = "\n";

namespace {

// clang-format off
constexpr SessionTraits kSessionTypes[] = {
//   type          alias       on_fpgas      cmd_fmt          login  console mirror serial setup  shell  report
    {"telnet",     nullptr,    nullptr,      kFmtNormal,      true,  true,   false, false, true,  false, 23},
    {"api",        "telnet24", "api-serial", kFmtCustomerApi, true,  false,  true,  false, true,  false, 24},
    {"api-serial", "rs232",    nullptr,      kFmtCustomerApi, false, false,  true,  true,  false, true,  0},
};
// clang-format on

const SessionTraits* settled = &kSessionTypes[0];

}  // namespace

bool cmd_fmt_is(const char* fmt) {
    return strcmp(cmd_fmt, fmt) == 0;
}

const SessionTraits* session_traits_of(const char* name) {
    for (const SessionTraits& row : kSessionTypes) {
        if (strcmp(name, row.type) == 0 || (row.alias != nullptr && strcmp(name, row.alias) == 0)) {
            return &row;
        }
    }
    return nullptr;
}

void session_settle_type(void) {
    const SessionTraits* traits = session_traits_of(session_type);
    if (traits == nullptr) traits = &kSessionTypes[0];
    if (traits->on_fpgas != nullptr && strstr(tty_name, "FPGAS") != nullptr) {
        traits = session_traits_of(traits->on_fpgas);
    }
    snprintf(session_type, sizeof session_type, "%s", traits->type);
    settled = traits;
}

const SessionTraits& session_traits(void) {
    return *settled;
}
