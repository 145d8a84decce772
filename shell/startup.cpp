// Start-up of a session in its steps, and its options.
#include "startup.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
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
    for (const char* line : lines) {
        console_write_text(line, strlen(line));
        console_write_text(newline_string, strlen(newline_string));
    }
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
bool apply_type(SessionSettings& settings, const char* type) {
    settings.cmd_fmt = kFmtCustomerApi;
    const SessionTraits* traits = session_traits_of(type);
    if (traits == nullptr) return false;
    snprintf(settings.session_type, sizeof settings.session_type, "%s", traits->type);
    settings.cmd_fmt = traits->cmd_fmt;
    return true;
}

// Applies one option that takes no value; false for an unknown one.
// --help ends the process at once.
bool apply_flag(SessionSettings& settings, std::string_view arg) {
    if (arg == "--help") {
        usage();
        exit(0);
    } else if (arg == "--logviewer") {
        snprintf(settings.session_type, sizeof settings.session_type, "telnet");
        settings.view_only_mode = true;
    } else if (arg == "--noecho") {
        settings.cmdecho_state = 0;
    } else if (arg == "--nobanner") {
        settings.no_banner = true;
    } else if (arg == "--wait") {
        settings.wait_to_start = true;
    } else {
        return false;
    }
    return true;
}

// Reads the options left to right; returns the number of argument errors.
int parse_options(SessionSettings& settings, int argc, char** argv) {
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
            if (strlen(name) >= sizeof settings.host_name) {
                shell_println("Invalid argument \"%s\"", name);
                ++errors;
            } else {
                snprintf(settings.host_name, sizeof settings.host_name, "%s", name);
            }
        } else if (arg == "-p") {
            settings.host_port = parse_port(argv[++i]);
        } else if (arg == "-t") {
            const char* type = argv[++i];
            if (!apply_type(settings, type)) {
                shell_println("Invalid type \"%s\" specified", type);
                ++errors;
            }
        } else if (!apply_flag(settings, arg)) {
            shell_println("Invalid argument \"%s\"", argv[i]);
            ++errors;
        }
    }
    return errors;
}

// Writes one line of the --wait handshake.
void tell_debugger(const char* text) {
    console_write_text(text, strlen(text));
    console_write_text(newline_string, strlen(newline_string));
}

// Holds start-up until SIGUSR1 arrives, so a debugger can attach first.
void wait_for_debugger() {
    sigemptyset(&debug_sa.sa_mask);
    sigaddset(&debug_sa.sa_mask, SIGUSR1);
    debug_sa.sa_handler = sig_handler;
    debug_sa.sa_flags = 0;  // interrupted calls return early
    sigaction(SIGUSR1, &debug_sa, nullptr);
    tell_debugger("DEBUG: SIGUSR1 handler installed");
    tell_debugger("DEBUG: waiting for SIGUSR1 to start...");
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

// Whether the service's ready file is there. Anyone may put something in
// its place in /tmp while the service is down: only a regular file, not
// reached through a link, counts. It is opened without blocking (a FIFO
// would keep the open waiting for a writer) and without following a link,
// which could lead to a device that opening alone sets going.
bool ready_file_present() {
    const int fd = open(kReadyFile, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    close(fd);
    return regular;
}

// Steps before the options: the start time, the ready file of the service
// that started the shell, and the terminal's name. They come before the
// console exists, so their two fatal messages are written directly.
void check_surroundings(SessionSettings& settings) {
    settings.process_start_ms = wall_clock_ms();

    if (!ready_file_present()) {
        puts("Fatal: telnet server not running.");
        exit(1);
    }

    int err = ttyname_r(1, settings.tty_name, sizeof settings.tty_name);
    if (err != 0) {
        errno = err;
        perror("Can't get TTY name");
        exit(-1);
    }
}

// Console output first, so that the options can be complained about.
void read_options(SessionSettings& settings, int argc, char** argv) {
    if (console_init() != 0) {
        shell_println("error: failed to bind stdout_shio to stdout");
        exit(-3);
    }
    if (parse_options(settings, argc, argv) > 0) {
        shell_println("Usage:");
        usage();
        exit(1);
    }
    if (settings.wait_to_start) wait_for_debugger();
}

// Settles the session type, makes the settings the session's for good, and
// sets up what follows from them for the whole process.
void settle_session(SessionSettings& settings) {
    const SessionTraits& traits = session_settle_type(settings.session_type, settings.tty_name);
    snprintf(settings.session_type, sizeof settings.session_type, "%s", traits.type);
    settings.traits = &traits;
    if (traits.mirrors_to_syslog) settings.gbPrintToSysLog = 1;
    session_settings_set(settings);
    if (traits.serial_line_ends) console_use_serial_line_ends();
    signal(SIGPIPE, SIG_IGN);
    hangup_install();
    if (settings.gbPrintToSysLog) mysyslog("Session started\n");
}

// Login, banner and live log.
void greet_user(const SessionSettings& settings) {
    const SessionTraits& traits = session_traits();
    if (traits.login) login_or_exit();
    if (traits.console) {
        shell_println("Quorvex Command Shell");
        shell_println("XCOM host:    %s port: %d", settings.host_name, settings.host_port);
        shell_println("TTY name:     %s", settings.tty_name);
    }
    if (settings.view_only_mode) shell_println("Log viewer mode (Ctrl-C to quit) ...");
    if (traits.console) log_reader_start();
}

// The answer semaphores and the line editor. A log viewer goes no further:
// its log reader runs until a signal ends the wait (Ctrl-C, its quit key; a
// hang-up or another ending signal; SIGUSR1 after --wait).
void prepare_input(const SessionSettings& settings, Channel& channel) {
    console_set_echo(settings.cmdecho_state);
    if (const int status = channel.init_semaphores(); status != 0) {
        shell_println("Cound not initialize response semaphore");
        exit(status);
    }
    if (settings.view_only_mode) {
        session_pause(-1);
        cleanup(channel);
        exit(session_end_status(0));
    }
    if (console_editor_init() != 0) {
        shell_println("Failed to initialize command-line editor");
        exit(-111);
    }
}

// Connects to the application, waiting for it as long as it takes, or until
// the terminal hangs up: nothing is registered or reported yet, so the
// session just ends.
void connect_to_application(const SessionSettings& settings, Channel& channel) {
    bool waiting_told = false;
    while (!channel.connect(settings.host_name, settings.host_port)) {
        if (!session_cut_short() && session_traits().setup_messages && !waiting_told) {
            shell_println("Waiting for application to start");
            waiting_told = true;
        }
        session_pause(kConnectRetryMs);
        if (session_cut_short()) {
            cleanup(channel);
            end_process("End of session", session_end_status(0));
        }
    }
}

// Connects and registers, then reports the login and asks who the user is.
void open_session(const SessionSettings& settings, Channel& channel) {
    connect_to_application(settings, channel);
    if (register_session(channel) != 0) end_unregistered_session(channel);
    channel.mark_registered();
    const SessionTraits& traits = session_traits();
    if (traits.console) shell_println("Session type: %s", settings.session_type);
    if (traits.login) update_ui_login_params(channel, 0, traits);
    if (!traits.console && !settings.no_banner) channel.send_api_cmd("whoami");
}

// SIGUSR1 ends the start-up wait of --wait. Only async-signal-safe calls
// here, so the acknowledgement is written directly.
void sig_handler(int signum) {
    if (signum != SIGUSR1) return;
    debug_sig_continue = 1;
    static constexpr char text[] = "DEBUG: SIGUSR1 received! set continue flag to true";
    ssize_t ignored = write(STDOUT_FILENO, text, sizeof text - 1);
    ignored = write(STDOUT_FILENO, newline_string, strlen(newline_string));
    (void)ignored;
}

}  // namespace

int zcon_main(int argc, char** argv) {
    SessionSettings settings;
    check_surroundings(settings);
    read_options(settings, argc, argv);
    settle_session(settings);
    greet_user(settings);
    // The session's one connection to the application; it lives as long as
    // the process, which ends through exit().
    Channel channel;
    prepare_input(settings, channel);
    open_session(settings, channel);
    run_command_loop(channel);
    end_of_session(channel);
}
