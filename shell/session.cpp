// The session's settings, built once by start-up, and the table of session
// types.
#include "session.h"

#include <string.h>

namespace {

// clang-format off
constexpr SessionTraits kSessionTypes[] = {
//   type          alias       on_fpgas      cmd_fmt          login  console mirror serial setup  shell  report
    {"telnet",     nullptr,    nullptr,      kFmtNormal,      true,  true,   false, false, true,  false, 23},
    {"api",        "telnet24", "api-serial", kFmtCustomerApi, true,  false,  true,  false, true,  false, 24},
    {"api-serial", "rs232",    nullptr,      kFmtCustomerApi, false, false,  true,  true,  false, true,  0},
};
// clang-format on

SessionSettings settings;

}  // namespace

bool cmd_fmt_is(const char* cmd_fmt, const char* fmt) {
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

const SessionTraits& session_settle_type(const char* type, const char* tty_name) {
    const SessionTraits* traits = session_traits_of(type);
    if (traits == nullptr) traits = &kSessionTypes[0];
    if (traits->on_fpgas != nullptr && strstr(tty_name, "FPGAS") != nullptr) {
        traits = session_traits_of(traits->on_fpgas);
    }
    return *traits;
}

const SessionSettings& session_settings(void) {
    return settings;
}

const SessionTraits& session_traits(void) {
    return settings.traits != nullptr ? *settings.traits : kSessionTypes[0];
}

void session_settings_set(const SessionSettings& new_settings) {
    settings = new_settings;
}
