// Start-up of a session in its steps, and its options.
#include "startup.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string_view>

#include "channel.h"
#include "cle.h"
#include "console.h"
#include "hangup.h"
#include "log_reader.h"
#include "login.h"
#include "login_report.h"
#include "main_loop.h"
#include "registration.h"
#include "session.h"
#include "session_end.h"

namespace {

constexpr const char* kReadyFile = "/tmp/ZconReady";
constexpr int kConnectRetryMs = 5000;  // between attempts to reach the application

int no_banner;       // --nobanner: no "whoami" at the start
int wait_to_start;   // --wait: wait for SIGUSR1 first
int view_only_mode;  // --logviewer: the live log only, no connection, no input
volatile sig_atomic_t debug_sig_continue;
struct sigaction debug_sa;

void sig_handler(int signum);

// Writes the usage text, each line ended by the session's line break.
void usage() {
    static constexpr const char* lines[] = {
        "Quorvex API/Debug shell usage: zcon [options]",
        "  -h hostname/addr Set host name/address for XCOM (default: localhost)",
        "  -p port          Set port for XCOM (default: 4121)",
        "  -t type          Set session type - \"api\", \"telnet\""};
    for (const char* line : lines)
        printf("%s%s", line, newline_string);
}

// The value of -p: its leading decimal digits, 0 when there are none.
int parse_port(const char* text) {
    long long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > INT32_MAX) value = INT32_MAX;
    }
    return static_cast<int>(value);
}

// Applies -t: any type switches to customer-API commands, which telnet
// sessions then leave again. Returns false for an unknown type.
bool apply_type(const char* type) {
    cmd_fmt = kFmtCustomerApi;
    const SessionTraits* traits = session_traits_of(type);
    if (traits == nullptr) return false;
    snprintf(session_type, sizeof session_type, "%s", traits->type);
    cmd_fmt = traits->cmd_fmt;
    return true;
}

// Reads the options left to right; returns the number of argument errors.
// --help ends the process at once.
int parse_options(int argc, char** argv) {
    int errors = 0;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        bool takes_value = arg == "-h" || arg == "-p" || arg == "-t";
        if (takes_value && i + 1 >= argc) {
            // Nothing left to consume: the option is as wrong as an unknown one.
            shell_println("Invalid argument \"%s\"", argv[i]);
            ++errors;
        } else if (arg == "-h") {
            const char* name = argv[++i];
            if (strlen(name) >= sizeof host_name) {
                shell_println("Invalid argument \"%s\"", name);
                ++errors;
            } else {
                snprintf(host_name, sizeof host_name, "%s", name);
            }
        } else if (arg == "-p") {
            host_port = parse_port(argv[++i]);
        } else if (arg == "-t") {
            const char* type = argv[++i];
            if (!apply_type(type)) {
                shell_println("Invalid type \"%s\" specified", type);
                ++errors;
            }
        } else if (arg == "--help") {
            usage();
            exit(0);
        } else if (arg == "--logviewer") {
            snprintf(session_type, sizeof session_type, "telnet");
            view_only_mode = 1;
        } else if (arg == "--noecho") {
            cmdecho_state = 0;
        } else if (arg == "--nobanner") {
            no_banner = 1;
        } else if (arg == "--wait") {
            wait_to_start = 1;
        } else {
            shell_println("Invalid argument \"%s\"", argv[i]);
            ++errors;
        }
    }
    return errors;
}

// Holds start-up until SIGUSR1 arrives, so a debugger can attach first.
void wait_for_debugger() {
    sigemptyset(&debug_sa.sa_mask);
    sigaddset(&debug_sa.sa_mask, SIGUSR1);
    debug_sa.sa_handler = sig_handler;
    debug_sa.sa_flags = 0;  // interrupted calls return early
    sigaction(SIGUSR1, &debug_sa, nullptr);
    printf("DEBUG: SIGUSR1 handler installed%s", newline_string);
    fflush(stdout);
    printf("DEBUG: waiting for SIGUSR1 to start...%s", newline_string);
    fflush(stdout);
    // Test, then sleep 5 s with SIGUSR1 let through only while asleep: a
    // signal arriving between the test and the sleep cannot be slept through.
    sigset_t blocked, during_sleep;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    sigprocmask(SIG_BLOCK, &blocked, &during_sleep);
    while (debug_sig_continue == 0) {
        timespec five_seconds{5, 0};
        ppoll(nullptr, 0, &five_seconds, &during_sleep);
    }
    sigprocmask(SIG_SETMASK, &during_sleep, nullptr);
}

// Steps before the options: the settings' defaults, the ready file of the
// service that started the shell, and the terminal's name.
void check_surroundings() {
    snprintf(host_name, sizeof host_name, "localhost");
    host_port = 4121;
    snprintf(session_type, sizeof session_type, "telnet");
    process_start_ms = wall_clock_ms();

    FILE* ready = fopen(kReadyFile, "r");
    if (ready == nullptr) {
        puts("Fatal: telnet server not running.");
        exit(1);
    }
    fclose(ready);

    int err = ttyname_r(1, tty_name, sizeof tty_name);
    if (err != 0) {
        errno = err;
        perror("Can't get TTY name");
        exit(-1);
    }
    newline_string = serial_newline_string;
}

// Console output first, so that the options can be complained about.
void read_options(int argc, char** argv) {
    if (console_init() != 0) {
        shell_println("error: failed to bind stdout_shio to stdout");
        exit(-3);
    }
    if (parse_options(argc, argv) > 0) {
        shell_println("Usage:");
        usage();
        exit(1);
    }
    if (wait_to_start) wait_for_debugger();
}

// Settles the session type and what follows from it for the whole process.
void settle_session() {
    session_settle_type();
    const SessionTraits& traits = session_traits();
    if (traits.serial_line_ends) console_use_serial_line_ends();
    if (traits.mirrors_to_syslog) gbPrintToSysLog = 1;
    signal(SIGPIPE, SIG_IGN);
    hangup_install();
    if (gbPrintToSysLog) mysyslog("Session started\n");
}

// Login, banner and live log. Returns true in a console session, which
// shows the live log and sends no "whoami".
bool greet_user() {
    const SessionTraits& traits = session_traits();
    if (traits.login) login_or_exit();
    if (traits.console) {
        shell_println("Quorvex Command Shell");
        shell_println("XCOM host:    %s port: %d", host_name, host_port);
        shell_println("TTY name:     %s", tty_name);
    }
    if (view_only_mode) shell_println("Log viewer mode (Ctrl-C to quit) ...");
    if (traits.console) log_reader_start();
    return traits.console;
}

// The answer semaphores and the line editor. A log viewer goes no further:
// its log reader runs until a signal ends the wait (a hang-up, SIGUSR1
// after --wait, or Ctrl-C, whose default action ends the process).
void prepare_input() {
    cle_echo_enable(cmdecho_state);
    if (const int status = channel_init_semaphores(); status != 0) {
        shell_println("Cound not initialize response semaphore");
        exit(status);
    }
    if (view_only_mode) {
        session_pause(-1);
        cleanup();
        exit(0);
    }
    if (console_editor_init() != 0) {
        shell_println("Failed to initialize command-line editor");
        exit(-111);
    }
}

// Connects to the application, waiting for it as long as it takes, or until
// the terminal hangs up: nothing is registered or reported yet, so the
// session just ends.
void connect_to_application() {
    static bool waiting_told;
    while (!channel_connect()) {
        if (!hangup_seen() && session_traits().setup_messages && !waiting_told) {
            shell_println("Waiting for application to start");
            waiting_told = true;
        }
        if (hangup_seen() || !session_pause(kConnectRetryMs)) {
            cleanup();
            end_process("End of session", 0);
        }
    }
}

// Connects and registers, then reports the login and asks who the user is.
void open_session(bool console) {
    connect_to_application();
    if (register_session() != 0) end_unregistered_session();
    did_registration = 1;
    const SessionTraits& traits = session_traits();
    if (traits.console) shell_println("Session type: %s", session_type);
    if (traits.login) update_ui_login_params(0, session_type);
    if (!console && !no_banner) send_api_cmd("whoami");
}

// SIGUSR1 ends the start-up wait of --wait. Only async-signal-safe calls here.
void sig_handler(int signum) {
    if (signum != SIGUSR1) return;
    debug_sig_continue = 1;
    static constexpr char text[] = "DEBUG: SIGUSR1 received! set continue flag to true";
    ssize_t ignored = write(1, text, sizeof text - 1);
    ignored = write(1, newline_string, strlen(newline_string));
    (void)ignored;
}

}  // namespace

int zcon_main(int argc, char** argv) {
    check_surroundings();
    read_options(argc, argv);
    settle_session();
    const bool console = greet_user();
    prepare_input();
    open_session(console);
    run_command_loop();
    end_of_session();
}
