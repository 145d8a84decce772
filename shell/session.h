// The session's settings and the session types: one table says what each
// type of session does; start-up builds the settings once, and the rest of
// the code reads them, and the type's traits rather than its name.
#pragma once

// ---- Command formats and fixed texts ---------------------------------------

inline constexpr const char* kFmtNormal = "C: %s";       // normal mode
inline constexpr const char* kFmtCustomerApi = "E: %s";  // customer-API-only mode
inline constexpr const char* kFmtInternal = "D: %s";     // internal-only mode
inline constexpr const char* default_prompt = "-> ";
inline constexpr const char* no_prompt = "";
// The line break of every message the shell prints, in every session type.
inline constexpr const char* newline_string = "\r\n";

// ---- Buffer sizes, terminator included --------------------------------------

inline constexpr int kCmdBuffSize = 512;     // a command line
inline constexpr int kSessionTypeSize = 20;  // a session type's name
inline constexpr int kHostNameSize = 128;    // the application's host name
inline constexpr int kTtyNameSize = 80;      // the terminal's name

// True when the command format cmd_fmt has the content of fmt.
bool cmd_fmt_is(const char* cmd_fmt, const char* fmt);

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
// The type a session of the type named type becomes on the terminal
// tty_name (the "FPGAS" rule); a name that is no type counts as telnet.
const SessionTraits& session_settle_type(const char* type, const char* tty_name);

// ---- Session settings ------------------------------------------------------

// What start-up settles from the options, the terminal and the session type.
// Nothing changes it afterwards: what a session changes as it runs (the
// command mode, the echo, the prompt flag) lives with the code that owns it.
struct SessionSettings {
    char session_type[kSessionTypeSize] = "telnet";  // as printed and sent
    char host_name[kHostNameSize] = "localhost";
    int host_port = 4121;
    char tty_name[kTtyNameSize] = "";
    const SessionTraits* traits = nullptr;  // the settled type's; NULL: telnet's
    const char* cmd_fmt = kFmtNormal;       // the command mode the session starts in
    int cmdecho_state = 1;                  // echo of typed characters at the start
    bool no_banner = false;                 // --nobanner: no "whoami" at the start
    bool wait_to_start = false;             // --wait: wait for SIGUSR1 first
    bool view_only_mode = false;            // --logviewer: the live log only
    long long process_start_ms = 0;         // wall clock at the start
};

// The session's settings; defaults until start-up has built them.
const SessionSettings& session_settings(void);
// The settled type's traits (a telnet session's before start-up settles).
const SessionTraits& session_traits(void);
// Makes settings the session's: start-up calls it once, before any thread
// but the main one exists and before anything reads them.
void session_settings_set(const SessionSettings& settings);
