// The end of a session, whichever way it comes: the teardown that undoes
// what start-up set up, and the exit with the session's status.
#include "session_end.h"

#include <stdlib.h>

#include "channel.h"
#include "console.h"
#include "ending_signals.h"
#include "listener_socket.h"
#include "login_report.h"
#include "registration.h"
#include "session.h"
#include "system_log.h"

void cleanup(Channel& channel) {
    if (channel.connected()) unregister_session(channel);
    console_flush_at_end();
    restore_terminal_stdin();
    console_editor_cleanup();
    channel.disconnect();
    channel.destroy_semaphores();
    remove_listener_sockets();
}

void end_of_session(Channel& channel) {
    login_report_clear(channel);
    cleanup(channel);
    end_process("End of session", session_end_status(0));
}

void end_unregistered_session(Channel& channel) {
    channel.disconnect();
    console_editor_cleanup();  // never leave the user's terminal in character mode
    remove_listener_sockets();
    end_process("End of session", session_end_status(-1));
}

void end_process(const char* entry, int status) {
    syslog_mirror("%s", entry);
    exit(status);
}
