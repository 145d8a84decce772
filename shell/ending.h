// How a session ends: the value each way of ending gives back to zcon_main,
// which hands it to end_session (session_end.h).
#pragma once

enum class Ending {
    kQuit,                // quit, exit, end of input, a one-character reboot answer but y or n
    kExitCommand,         // exit with words after it
    kFlooded,             // the flood guard
    kRebootConfirmed,     // y to the reboot question
    kApplicationGone,     // a request could not be sent, or the application closed the session
    kCutShort,            // an ending signal at the command line, in a request or a child
    kCutShortConnecting,  // an ending signal while waiting for the application
    kLoginFailed,         // wrong passwords, or end of input at the password prompt
    kLoginGivenUp,        // an ending signal at the password prompt before any wrong password
    kNoPassword,          // the password tool could not be run
    kRegistrationRefused,
    kLogViewerDone,  // the log viewer's wait ended (its quit key, a signal)
    // Start-up failures, before the connection:
    kHelpShown,  // --help
    kNotReady,   // no ready file
    kNoTerminal,
    kBadArguments,
    kNoConsole,  // no buffered output
    kNoAnswerSemaphore,
    kNoInputGate,
    kNoEditor,
};
