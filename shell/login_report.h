// The login report: settings the application keeps about the last telnet
// and API clients ("telnet_client_23", "telnet_client_23_success", and the
// same for 24), written through it as customer API requests.
#pragma once

struct SessionTraits;
class Channel;

// Reports a failed login of a session of the type traits over a connection
// of its own (the session is not registered yet), then closes it again.
void update_unsuccessful_login(const SessionTraits& traits);
// Writes the client's address and the result (0: passed) for the port of
// the session type traits, over channel; types without a login report
// write nothing.
void update_ui_login_params(Channel& channel, int auth_result, const SessionTraits& traits);
// Clears the address setting of the session's login report, if it has one.
void login_report_clear(Channel& channel);
