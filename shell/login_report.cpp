// The login report the application keeps about telnet and API clients: the
// client's address and whether its login passed, for the local port the
// session type serves.
#include "login_report.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>

#include <memory>

#include "channel.h"
#include "listener_socket.h"
#include "registration.h"
#include "session.h"

namespace {

constexpr size_t kSettingNameSize = 40;  // "telnet_client_<port>_success"
constexpr size_t kAddressSize = 56;      // an address in text (INET6_ADDRSTRLEN) and room to spare
constexpr size_t kSettingRequestSize = 192;  // "execwithoutecho systemsetting <name> <value>"
constexpr int kTableLineSize = 512;          // a line of the kernel's TCP table (about 150 bytes)

// The setting that holds the client's address: "telnet_client_<port>".
void address_setting_of(unsigned port, char* name, size_t size) {
    snprintf(name, size, "telnet_client_%u", port);
}

// The address of the client of port, from the kernel's TCP table.
void get_telnet_client_ip_from_proc(unsigned int port, char* ip_string) {
    ip_string[0] = '\0';
    const std::unique_ptr<FILE, int (*)(FILE*)> table(fopen("/proc/net/tcp6", "r"), fclose);
    if (table) parse_tcp6_client(table.get(), port, ip_string);
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
            report.disconnect();
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
    get_telnet_client_ip_from_proc(port, address);
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

namespace {

// Reads the next line of table into line (size bytes), dropping what does
// not fit. Returns false at the end.
bool next_table_line(FILE* table, char* line, int size) {
    if (fgets(line, size, table) == nullptr) return false;
    if (strchr(line, '\n') == nullptr) {
        int c;
        while ((c = fgetc(table)) != EOF && c != '\n') {
        }
    }
    return true;
}

}  // namespace

void parse_tcp6_client(FILE* table, unsigned int port, char* ip_string) {
    ip_string[0] = '\0';
    // Line by line, each scanned on its own: scanned as one stream, the
    // format's closing "\n" reads on past the entry found to skip the next
    // line's indent, and every read of the kernel's table walks all of its
    // connection slots again, which on a large machine costs a millisecond.
    char line[kTableLineSize];
    if (!next_table_line(table, line, sizeof line)) return;  // the heading
    while (next_table_line(table, line, sizeof line)) {
        unsigned int local_port, state;
        unsigned int words[4];
        int got = sscanf(line, "%*s %*32s:%x %8x%8x%8x%8x:%*x %x %*[ -z]\n", &local_port, &words[0],
                         &words[1], &words[2], &words[3], &state);
        if (got != 6 || state != 1 || local_port != port) continue;
        // Each word was printed from memory in the machine's own byte order,
        // so storing it back the same way restores the address bytes.
        unsigned char bytes[sizeof(in6_addr)];
        memcpy(bytes, words, sizeof bytes);
        static constexpr unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        static constexpr unsigned char any4[4] = {0, 0, 0, 0};
        if (memcmp(bytes, mapped, sizeof mapped) == 0 &&
            memcmp(bytes + sizeof mapped, any4, sizeof any4) != 0) {
            inet_ntop(AF_INET, bytes + sizeof mapped, ip_string, INET_ADDRSTRLEN);
        } else {
            inet_ntop(AF_INET6, bytes, ip_string, INET6_ADDRSTRLEN);
        }
        return;
    }
}
