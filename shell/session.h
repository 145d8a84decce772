// The session settings that the shell's modules share, and the session
// types: one table says what each type of session does, and start-up
// settles the type once, so the rest of the code reads traits, not names.
#pragma once

#include <atomic>

// ---- Command formats and fixed texts ---------------------------------------

inline constexpr const char* kFmtNormal = "C: %s";       // normal mode
inline constexpr const char* kFmtCustomerApi = "E: %s";  // customer-API-only mode
inline constexpr const char* kFmtInternal = "D: %s";     // internal-only mode
inline constexpr const char* default_prompt = "-> ";
inline constexpr const char* no_prompt = "";
inline constexpr const char* serial_newline_string = "\r\n";

// ---- Buffer sizes, terminator included --------------------------------------

inline constexpr int kCmdBuffSize = 512;     // a command line
inline constexpr int kSessionTypeSize = 20;  // a session type's name
inline constexpr int kHostNameSize = 128;    // the application's host name
inline constexpr int kTtyNameSize = 80;      // the terminal's name

// ---- Session settings ------------------------------------------------------

extern char session_type[kSessionTypeSize];  // "telnet", "api" or "api-serial" after start-up
extern char host_name[kHostNameSize];
extern int host_port;
extern char tty_name[kTtyNameSize];
extern const char* cmd_fmt;  // one of the three kFmt* strings
extern int cmdecho_state;
extern int prompt_enabled;
extern int gbPrintToSysLog;       // 1: input and output lines go to the system log
extern std::atomic<int> gnCount;  // non-empty command lines so far
extern const char* newline_string;

// True when cmd_fmt has the content of fmt.
bool cmd_fmt_is(const char* fmt);

// ---- Session types ---------------------------------------------------------

// What a type of session does. The appliance's services start the shell
// with the type: telnet on port 23, api on port 24, api-serial on the serial
// console, whose other end is an automation client.
struct SessionTraits {
    const char* type;        // the name printed and sent at registration
    const char* alias;       // the other name -t accepts for it, or NULL
    const char* on_fpgas;    // the type it becomes on an "FPGAS" terminal, or NULL
    const char* cmd_fmt;     // the command format -t gives it
    bool login;              // asks for the password and reports the login
    bool console;            // banner, live log, no "whoami"; quit leaves customer-API-only mode
    bool mirrors_to_syslog;  // input and output lines go to the system log
    bool serial_line_ends;   // CR LF written, CR read untranslated as the line end
    bool setup_messages;     // "Waiting for application to start", listener set-up errors
    bool shell_resets_terminal;  // the shell command gives the terminal its settings back
    unsigned login_report_port;  // the local port the login report is kept for, 0 for none
};

// The traits of the type that -t names (a type's name or its alias), or NULL
// for a name that is no session type.
const SessionTraits* session_traits_of(const char* name);
// Settles the session type once its options are read: applies the rule of
// the terminal's name and fixes the traits that session_traits returns.
void session_settle_type(void);
// The settled session's traits (a telnet session's before start-up settles).
const SessionTraits& session_traits(void);
