// Start-up of a session, its options, and the ways it ends.
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <string_view>

#include "cle.h"
#include "zcon.h"

namespace {

constexpr const char* valid_types[] = {"telnet", "api", "api-serial", "rs232", "telnet24"};

struct sigaction debug_sa;
pthread_t threadReader;
bool cle_ready;         // the line editor owns the terminal
bool semaphores_ready;  // response_sem and input_ready_sem exist

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
    bool valid = false;
    for (const char* candidate : valid_types)
        valid = valid || strcmp(type, candidate) == 0;
    if (!valid) return false;
    if (strcmp(type, "telnet24") == 0) {
        type = "api";
    } else if (strcmp(type, "rs232") == 0) {
        type = "api-serial";
    }
    snprintf(session_type, sizeof session_type, "%s", type);
    if (session_is("telnet")) cmd_fmt = kFmtNormal;
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

[[noreturn]] void log_and_exit(const char* entry, int status) {
    if (gbPrintToSysLog) mysyslog("%s", entry);
    exit(status);
}

// Asks for the password when one is set; a failed login ends the process.
// While the password is held the process is not dumpable, so no core file
// or ptrace reader gets it; the previous setting returns once the copies are
// cleared, at the end of the login.
void login() {
    const int dumpable = prctl(PR_GET_DUMPABLE);
    prctl(PR_SET_DUMPABLE, 0);
    char password[64] = "";
    const int fetched = get_net_password(password, sizeof password);
    int result = 0;
    if (fetched == 0 && password[0] != '\0' && !hangup_seen()) {
        result = authenticate_user(password);
    }
    explicit_bzero(password, sizeof password);
    if (dumpable >= 0) prctl(PR_SET_DUMPABLE, dumpable);
    if (fetched != 0) log_and_exit("Password access failure.\n", 1);
    if (result == 0 && !hangup_seen() && !login_interrupted()) return;
    // Wrong passwords are reported however the login then ended; a user who
    // hung up or gave up with Ctrl-C before guessing leaves nothing to report.
    if (result > 0 || (result < 0 && !hangup_seen() && !login_interrupted())) {
        update_unsuccessful_login(session_type);
    }
    log_and_exit("End of session\n", 1);
}

void start_log_reader() {
    pthread_mutex_lock(&log_view_mut);
    for (int i = 0; i < kFilterSlots; ++i) {
        log_show_filters[i][0] = '\0';
        log_cull_filters[i][0] = '\0';
    }
    pthread_mutex_unlock(&log_view_mut);
    if (start_side_thread(&threadReader, logReaderThread) != 0) {
        shell_println("failed to create log reader thread");
    } else {
        pthread_detach(threadReader);  // never joined: it may end long before the session
    }
}

void init_semaphores() {
    if (sem_init(&response_sem, 0, 0) != 0) {
        shell_println("Cound not initialize response semaphore");
        exit(-1);
    }
    if (sem_init(&input_ready_sem, 0, 0) != 0) {
        shell_println("Cound not initialize response semaphore");
        exit(-11);
    }
    semaphores_ready = true;
}

// Connects to the application, waiting for it as long as it takes, or until
// the terminal hangs up: nothing is registered or reported yet, so the
// session just ends.
void connect_to_application() {
    static bool waiting_told;
    for (;;) {
        hclient = xcom_client_connect(host_name, host_port, message_handler);
        if (hclient != nullptr) break;
        if (!hangup_seen() && !session_is("api-serial") && !waiting_told) {
            shell_println("Waiting for application to start");
            waiting_told = true;
        }
        if (hangup_seen() || !session_pause(5000)) {
            cleanup();
            log_and_exit("End of session", 0);
        }
    }
    channel_reset();
}

}  // namespace

// Tears the session down: unregisters, gives the terminal back, closes the
// connection, releases the semaphores and removes the listener sockets.
// Safe to call more than once.
void cleanup(void) {
    if (hclient != nullptr) unregister_session();
    flush_held_output_at_end();
    hangup_restore_stdin();
    if (cle_ready) cle_cleanup();
    cle_ready = false;
    if (hclient != nullptr) xcom_client_disconnect(hclient);
    hclient = nullptr;
    if (semaphores_ready) {
        sem_destroy(&response_sem);
        sem_destroy(&input_ready_sem);
        semaphores_ready = false;
    }
    remove_listener_sockets();
}

void end_of_session(void) {
    if (session_is("api")) {
        zcon_cfg_write("telnet_client_24", "");
    } else if (session_is("telnet")) {
        zcon_cfg_write("telnet_client_23", "");
    }
    cleanup();
    log_and_exit("End of session", 0);
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

int zcon_main(int argc, char** argv) {
    snprintf(host_name, sizeof host_name, "localhost");
    host_port = 4121;
    snprintf(session_type, sizeof session_type, "telnet");
    process_start_ms = wall_clock_ms();

    FILE* ready = fopen(kReadyFile, "r");
    if (ready == nullptr) {
        puts("Fatal: telnet server not running.");
        return 1;
    }
    fclose(ready);

    int err = ttyname_r(1, tty_name, sizeof tty_name);
    if (err != 0) {
        errno = err;
        perror("Can't get TTY name");
        return -1;
    }
    newline_string = serial_newline_string;

    cle_register_sync_callbacks(cle_lock_unlock_op);
    cle_register_inline_callback(cle_inline_state_tracker);
    stdout_shio = shell_io_create();
    if (stdout_shio == nullptr) {
        shell_println("error: failed to bind stdout_shio to stdout");
        return -3;
    }
    shell_io_bind_fd(stdout_shio, 1);

    if (parse_options(argc, argv) > 0) {
        shell_println("Usage:");
        usage();
        return 1;
    }
    if (wait_to_start) wait_for_debugger();
    if (strstr(tty_name, "FPGAS") != nullptr && session_is("api")) {
        snprintf(session_type, sizeof session_type, "api-serial");
    }
    if (session_is("api-serial")) {
        shell_io_add_cr(stdout_shio);
        cle_no_cr_translation(1);
    }
    if (session_is("api") || session_is("api-serial")) gbPrintToSysLog = 1;
    signal(SIGPIPE, SIG_IGN);
    hangup_install();
    if (gbPrintToSysLog) mysyslog("Session started\n");

    if (session_is("api") || session_is("telnet")) login();
    int bDevMode = 0;
    if (session_is("telnet")) {
        shell_println("Quorvex Command Shell");
        shell_println("XCOM host:    %s port: %d", host_name, host_port);
        shell_println("TTY name:     %s", tty_name);
        bDevMode = 1;
    }
    if (view_only_mode) shell_println("Log viewer mode (Ctrl-C to quit) ...");
    if (bDevMode) start_log_reader();
    cle_echo_enable(cmdecho_state);
    init_semaphores();

    if (view_only_mode) {
        // The log reader runs until a signal ends the wait: a hang-up, SIGUSR1
        // after --wait, or Ctrl-C, whose default action ends the process.
        session_pause(-1);
        cleanup();
        return 0;
    }
    if (cle_init() != 0) {
        shell_println("Failed to initialize command-line editor");
        return -111;
    }
    cle_ready = true;

    connect_to_application();
    if (register_session() != 0) {
        xcom_client_disconnect(hclient);
        hclient = nullptr;
        cle_cleanup();  // never leave the user's terminal in character mode
        remove_listener_sockets();
        log_and_exit("End of session", -1);
    }
    did_registration = 1;
    if (session_is("telnet")) shell_println("Session type: %s", session_type);
    if (session_is("api") || session_is("telnet")) update_ui_login_params(0, session_type);
    if (!bDevMode && !no_banner) send_api_cmd("whoami");
    prompt = no_prompt;

    run_command_loop();
    end_of_session();
}
