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

#include <optional>
#include <string_view>

#include "channel.h"
#include "cle.h"
#include "clock.h"
#include "console.h"
#include "ending_signals.h"
#include "input_gate.h"
#include "log_reader.h"
#include "login.h"
#include "login_report.h"
#include "main_loop.h"
#include "registration.h"
#include "session.h"
#include "session_end.h"
#include "system_log.h"
#include "waits.h"

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

// What the options asked for.
enum class Options { kRead, kHelp, kBad };

// Applies one option that takes no value; false for an unknown one.
bool apply_flag(SessionSettings& settings, std::string_view arg) {
    if (arg == "--logviewer") {
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

// Reads the options left to right. --help stops the reading at once, after
// printing the usage text.
Options parse_options(SessionSettings& settings, int argc, char** argv) {
    int errors = 0;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        bool takes_value = arg == "-h" || arg == "-p" || arg == "-t";
        if (arg == "--help") {
            usage();
            return Options::kHelp;
        } else if (takes_value && i + 1 >= argc) {
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
    return errors > 0 ? Options::kBad : Options::kRead;
}

// Writes one line of the --wait handshake.
void tell_debugger(const char* text) {
    console_write_text(text, strlen(text));
    console_write_text(newline_string, strlen(newline_string));
}

// Holds start-up until SIGUSR1 arrives, so a debugger can attach first, or
// until an ending signal cuts the session short.
void wait_for_debugger() {
    sigemptyset(&debug_sa.sa_mask);
    sigaddset(&debug_sa.sa_mask, SIGUSR1);
    debug_sa.sa_handler = sig_handler;
    debug_sa.sa_flags = 0;  // interrupted calls return early
    sigaction(SIGUSR1, &debug_sa, nullptr);
    tell_debugger("DEBUG: SIGUSR1 handler installed");
    tell_debugger("DEBUG: waiting for SIGUSR1 to start...");
    // Test, then sleep 5 s with SIGUSR1 and the ending signals let through
    // only while asleep: one arriving between the test and the sleep cannot
    // be slept through.
    sigset_t blocked = ending_signal_set(SIGUSR1), during_sleep;
    sigprocmask(SIG_BLOCK, &blocked, &during_sleep);
    while (debug_sig_continue == 0 && !session_cut_short()) {
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
std::optional<Ending> check_surroundings(SessionSettings& settings) {
    settings.process_start_ms = wall_clock_ms();

    if (!ready_file_present()) {
        puts("Fatal: telnet server not running.");
        return Ending::kNotReady;
    }

    int err = ttyname_r(1, settings.tty_name, sizeof settings.tty_name);
    if (err != 0) {
        errno = err;
        perror("Can't get TTY name");
        return Ending::kNoTerminal;
    }
    return std::nullopt;
}

// Console output first, so that the options can be complained about.
std::optional<Ending> read_options(SessionSettings& settings, int argc, char** argv) {
    if (console_init() != 0) {
        shell_println("error: failed to bind stdout_shio to stdout");
        return Ending::kNoConsole;
    }
    switch (parse_options(settings, argc, argv)) {
        case Options::kHelp:
            return Ending::kHelpShown;
        case Options::kBad:
            shell_println("Usage:");
            usage();
            return Ending::kBadArguments;
        case Options::kRead:
            break;
    }
    if (settings.wait_to_start) wait_for_debugger();
    return std::nullopt;
}

// Settles the session type, makes the settings the session's for good (the
// steps after this one read them as session_settings()), and sets up what
// follows from them for the whole process.
void settle_session(SessionSettings& settings) {
    const SessionTraits& traits = session_settle_type(settings.session_type, settings.tty_name);
    snprintf(settings.session_type, sizeof settings.session_type, "%s", traits.type);
    settings.traits = &traits;
    session_settings_set(settings);
    system_log_open();  // before any thread that may write to it
    if (traits.serial_line_ends) console_use_serial_line_ends();
    signal(SIGPIPE, SIG_IGN);
    syslog_mirror("Session started\n");
}

// Login, banner and live log.
std::optional<Ending> greet_user() {
    const SessionSettings& settings = session_settings();
    const SessionTraits& traits = session_traits();
    if (traits.login) {
        if (const std::optional<Ending> failed = run_login()) return failed;
    }
    if (traits.console) {
        shell_println("Quorvex Command Shell");
        shell_println("XCOM host:    %s port: %d", settings.host_name, settings.host_port);
        shell_println("TTY name:     %s", settings.tty_name);
    }
    if (settings.view_only_mode) shell_println("Log viewer mode (Ctrl-C to quit) ...");
    if (traits.console) log_reader_start();
    return std::nullopt;
}

// The answer semaphore, the input gate and the line editor. A log viewer
// goes no further: its log reader runs until a signal ends the wait (Ctrl-C,
// its quit key; a hang-up or another ending signal; SIGUSR1 after --wait).
std::optional<Ending> prepare_input(Channel& channel, InputGate& gate) {
    const SessionSettings& settings = session_settings();
    console_set_echo(settings.cmdecho_state);
    if (!channel.init_semaphores()) {
        shell_println("Cound not initialize response semaphore");
        return Ending::kNoAnswerSemaphore;
    }
    if (!gate.init()) {
        shell_println("Cound not initialize response semaphore");  // sic: the same text
        return Ending::kNoInputGate;
    }
    if (settings.view_only_mode) {
        session_pause(-1);
        return Ending::kLogViewerDone;
    }
    // A session cut short has no terminal on standard input any more (the
    // ending signal put /dev/null there), so the editor could not start:
    // its failure then is the signal's ending, not a broken terminal's.
    if (session_cut_short()) return Ending::kCutShortConnecting;
    if (console_editor_init() != 0) {
        if (session_cut_short()) return Ending::kCutShortConnecting;
        shell_println("Failed to initialize command-line editor");
        return Ending::kNoEditor;
    }
    return std::nullopt;
}

// Connects to the application, waiting for it as long as it takes, or until
// an ending signal (a session cut short before it connects does not connect
// at all): nothing is registered or reported yet, so the session just ends.
std::optional<Ending> connect_to_application(Channel& channel) {
    const SessionSettings& settings = session_settings();
    bool waiting_told = false;
    for (;;) {
        if (session_cut_short()) return Ending::kCutShortConnecting;
        if (channel.connect(settings.host_name, settings.host_port)) return std::nullopt;
        if (!session_cut_short() && session_traits().setup_messages && !waiting_told) {
            shell_println("Waiting for application to start");
            waiting_told = true;
        }
        session_pause(kConnectRetryMs);
    }
}

// Connects and registers, then reports the login and asks who the user is.
std::optional<Ending> open_session(Channel& channel) {
    if (const std::optional<Ending> ended = connect_to_application(channel)) return ended;
    if (register_session(channel) != 0) return Ending::kRegistrationRefused;
    channel.mark_registered();
    const SessionSettings& settings = session_settings();
    const SessionTraits& traits = session_traits();
    if (traits.console) shell_println("Session type: %s", settings.session_type);
    if (traits.login) update_ui_login_params(channel, 0, traits);
    if (!traits.console && !settings.no_banner) channel.send_api_cmd("whoami");
    return std::nullopt;
}

// Start-up in its steps, then the command loop. Returns how the session
// ended: each step that can end it says how.
Ending run_session(int argc, char** argv, Channel& channel, InputGate& gate) {
    SessionSettings settings;
    if (const std::optional<Ending> ended = check_surroundings(settings)) return *ended;
    if (const std::optional<Ending> ended = read_options(settings, argc, argv)) return *ended;
    settle_session(settings);
    if (const std::optional<Ending> ended = greet_user()) return *ended;
    if (const std::optional<Ending> ended = prepare_input(channel, gate)) return *ended;
    if (const std::optional<Ending> ended = open_session(channel)) return *ended;
    return run_command_loop(channel, gate);
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
    // First of all: from here on a hang-up or SIGTERM is recorded, never
    // fatal, whatever step it lands in, and the steps that wait notice it.
    ending_signals_install();
    // The session's one connection to the application, and the input gate.
    Channel channel;
    InputGate gate;
    const int status = end_session(run_session(argc, argv, channel, gate), channel);
    release_terminal_output();
    return status;
}
