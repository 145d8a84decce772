// The endings of a session, each with its teardown, log entry and status.
#include "session_end.h"

#include <unistd.h>

#include "channel.h"
#include "console.h"
#include "ending_signals.h"
#include "listener_socket.h"
#include "login_report.h"
#include "registration.h"
#include "session.h"
#include "system_log.h"
#include "waits.h"

namespace {

constexpr const char* kEndEntry = "End of session";
constexpr int kFloodPauseMs = 10000;  // a flooded session's end waits this long

// Tears the session down: unregisters, shows the last events, writes held
// output, gives the terminal back, closes the connection, releases the
// answer semaphore and removes the listener sockets. Safe to call more than
// once.
void cleanup(Channel& channel) {
    if (channel.connected()) unregister_session(channel);
    registration_end_events();
    console_flush_at_end();
    restore_terminal_stdin();
    console_editor_cleanup();
    channel.disconnect();
    channel.destroy_semaphores();
    remove_listener_sockets();
}

// The end of a session that was open: the login report's address cleared,
// the teardown, "End of session" in the mirror.
int end_open_session(Channel& channel) {
    login_report_clear(channel);
    cleanup(channel);
    syslog_mirror("%s", kEndEntry);
    return session_end_status(0);
}

// Ends a session that could not be registered: its connection, terminal
// and listener sockets, nothing more.
int end_unregistered_session(Channel& channel) {
    registration_end_events();
    channel.disconnect();
    console_editor_cleanup();  // never leave the user's terminal in character mode
    remove_listener_sockets();
    syslog_mirror("%s", kEndEntry);
    return session_end_status(-1);
}

// The flood guard's end: the termination text, in the mirror and on the
// terminal, and a pause before the end proper.
void terminate_flooded_session() {
    static constexpr const char* text =
        "Terminating session due to persistent, excessive command arrival.";
    syslog_mirror("%s\n", text);
    console_write_plain_line(text);
    session_pause(kFloodPauseMs);
}

// A confirmed reboot: the application is asked for it, then the session
// ends without clearing the login report (the application is going).
int reboot(Channel& channel) {
    channel.send_api_cmd("reboot now");
    sleep(1);
    cleanup(channel);
    sleep(1);
    syslog_mirror("%s", kEndEntry);
    return 0;
}

}  // namespace

int end_session(Ending ending, Channel& channel) {
    switch (ending) {
        case Ending::kFlooded:
            terminate_flooded_session();
            return end_open_session(channel);
        case Ending::kQuit:
        case Ending::kApplicationGone:
        case Ending::kCutShort:
            return end_open_session(channel);
        case Ending::kExitCommand:
            cleanup(channel);
            return 0;
        case Ending::kRebootConfirmed:
            return reboot(channel);
        case Ending::kCutShortConnecting:
            cleanup(channel);
            syslog_mirror("%s", kEndEntry);
            return session_end_status(0);
        case Ending::kRegistrationRefused:
            return end_unregistered_session(channel);
        case Ending::kLogViewerDone:
            cleanup(channel);
            return session_end_status(0);
        case Ending::kLoginFailed:
            update_unsuccessful_login(session_traits());
            syslog_mirror("End of session\n");
            return session_end_status(1);
        case Ending::kLoginGivenUp:
            syslog_mirror("End of session\n");
            return session_end_status(1);
        case Ending::kNoPassword:
            syslog_mirror("Password access failure.\n");
            return 1;
        case Ending::kHelpShown:
            return 0;
        case Ending::kNotReady:
        case Ending::kBadArguments:
            return 1;
        case Ending::kNoTerminal:
        case Ending::kNoAnswerSemaphore:
            return -1;
        case Ending::kNoConsole:
            return -3;
        case Ending::kNoInputGate:
            return -11;
        case Ending::kNoEditor:
            return -111;
    }
    return -1;
}
