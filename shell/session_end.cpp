// The end of a session, whichever way it comes: the teardown that undoes
// what start-up set up, and the exit with the session's status.
#include "session_end.h"

#include <stdlib.h>

#include "channel.h"
#include "console.h"
#include "hangup.h"
#include "listener_socket.h"
#include "login_report.h"
#include "registration.h"
#include "session.h"

void cleanup(void) {
    if (hclient != nullptr) unregister_session();
    flush_held_output_at_end();
    hangup_restore_stdin();
    console_editor_cleanup();
    channel_disconnect();
    channel_destroy_semaphores();
    remove_listener_sockets();
}

void end_of_session(void) {
    login_report_clear();
    cleanup();
    end_process("End of session", 0);
}

void end_unregistered_session(void) {
    channel_disconnect();
    console_editor_cleanup();  // never leave the user's terminal in character mode
    remove_listener_sockets();
    end_process("End of session", -1);
}

void end_process(const char* entry, int status) {
    if (gbPrintToSysLog) mysyslog("%s", entry);
    exit(status);
}
