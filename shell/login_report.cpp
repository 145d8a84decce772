// The login report the application keeps about telnet and API clients: the
// client's address and whether its login passed, for the local port the
// session type serves.
#include "login_report.h"

#include <stdio.h>

#include "channel.h"
#include "client_lookup.h"
#include "listener_socket.h"
#include "registration.h"
#include "session.h"

namespace {

constexpr size_t kSettingNameSize = 40;  // "telnet_client_<port>_success"
constexpr size_t kAddressSize = 56;      // an address in text (INET6_ADDRSTRLEN) and room to spare
constexpr size_t kSettingRequestSize = 192;  // "execwithoutecho systemsetting <name> <value>"

// The setting that holds the client's address: "telnet_client_<port>".
void address_setting_of(unsigned port, char* name, size_t size) {
    snprintf(name, size, "telnet_client_%u", port);
}

// The address of the session's client on port (see client_lookup.h).
void get_telnet_client_ip_from_proc(const Channel& channel, unsigned int port, char* ip_string) {
    client_lookup(port, channel.connection_socket(), ip_string, kAddressSize);
}

// Writes one appliance setting through the application.
void zcon_cfg_write(Channel& channel, const char* param_name, const char* param_value) {
    if (param_name == nullptr || param_value == nullptr || param_name[0] == '\0') return;
    char request[kSettingRequestSize];
    snprintf(request, sizeof request, "execwithoutecho systemsetting %s %s", param_name,
             param_value);
    channel.send_api_cmd(request);
}

}  // namespace

void update_unsuccessful_login(const SessionTraits& traits) {
    Channel report;
    if (report.init_semaphores()) {
        const SessionSettings& settings = session_settings();
        if (report.connect(settings.host_name, settings.host_port)) {
            register_session(report);
            update_ui_login_params(report, 1, traits);
            unregister_session(report);
            registration_end_events();
        }
    }
    remove_listener_sockets();
}

// Only the session types that log in come here, and each has its port.
void update_ui_login_params(Channel& channel, int auth_result, const SessionTraits& traits) {
    const unsigned port = traits.login_report_port;
    char address_setting[kSettingNameSize];
    char success_setting[kSettingNameSize];
    address_setting_of(port, address_setting, sizeof address_setting);
    snprintf(success_setting, sizeof success_setting, "telnet_client_%u_success", port);
    char address[kAddressSize];
    get_telnet_client_ip_from_proc(channel, port, address);
    zcon_cfg_write(channel, address_setting, address);
    zcon_cfg_write(channel, success_setting, auth_result == 0 ? "True" : "False");
}

void login_report_clear(Channel& channel) {
    const unsigned port = session_traits().login_report_port;
    if (port == 0) return;
    char address_setting[kSettingNameSize];
    address_setting_of(port, address_setting, sizeof address_setting);
    zcon_cfg_write(channel, address_setting, "");
}
