// The session driver: settings shared by the shell's modules, and the
// operations they call on one another.
#pragma once

#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>

#include <atomic>

#include "shell_io.h"
#include "xcom.h"

// ---- Constants -------------------------------------------------------------

inline constexpr const char* kFmtNormal = "C: %s";       // normal mode
inline constexpr const char* kFmtCustomerApi = "E: %s";  // customer-API-only mode
inline constexpr const char* kFmtInternal = "D: %s";     // internal-only mode
inline constexpr const char* default_prompt = "-> ";
inline constexpr const char* no_prompt = "";
inline constexpr const char* serial_newline_string = "\r\n";
inline constexpr const char* kReadyFile = "/tmp/ZconReady";

inline constexpr int kCmdBuffSize = 512;  // the command line and its terminator
inline constexpr int kResponseSize = 515;
inline constexpr int kFilterSlots = 10;
inline constexpr int kFilterSize = 256;  // a filter text and its terminator

// send_command's result when the application is gone.
inline constexpr int kAppGone = -17;

// ---- Session settings ------------------------------------------------------

extern char session_type[20];  // "telnet", "api" or "api-serial" after start-up
extern char host_name[128];
extern int host_port;
extern char tty_name[80];
extern const char* cmd_fmt;  // one of the three kFmt* strings
extern int cmdecho_state;
extern int prompt_enabled;
extern const char* prompt;
extern int no_banner;
extern int wait_to_start;
extern int view_only_mode;
extern int did_registration;
extern int reboot_cmd_hack_flag;
extern int gbPrintToSysLog;
extern std::atomic<int> gnCount;     // non-empty command lines so far
extern std::atomic<int> cle_inline;  // 1 while the user is typing a line
extern volatile sig_atomic_t debug_sig_continue;
extern ShellIOT* stdout_shio;
extern HXCOM hclient;
extern char response[kResponseSize];
extern char cmdbuff[kCmdBuffSize];
extern sem_t response_sem;
extern sem_t input_ready_sem;  // the input gate
extern pthread_mutex_t async_stdout_mut;
extern const char* newline_string;

// True when the session type equals type.
bool session_is(const char* type);
// True when cmd_fmt has the content of fmt.
bool cmd_fmt_is(const char* fmt);

// ---- Log view settings (shared by the log reader and the log commands) ----

extern char log_show_filters[kFilterSlots][kFilterSize];
extern char log_cull_filters[kFilterSlots][kFilterSize];
extern int log_show_date;
extern int log_show_time;
extern int log_show_level;
extern int gbEnableLoggerThread;
// Held by the log reader while it filters a record and by the log view
// commands while they edit a setting, so no half-written filter is ever seen.
extern pthread_mutex_t log_view_mut;

// ---- Console output and syslog mirroring -----------------------------------

// Prints one line (format of at most 63 characters, newline_string appended)
// on standard output and mirrors it to the system log when mirroring.
// Returns the characters printed, or -1 for a null or over-long format.
[[gnu::format(printf, 1, 2)]] int shell_println(const char* fmt, ...);
// Writes one system-log entry "API:<tag>:<count>:<text>". Returns 0.
[[gnu::format(printf, 1, 2)]] int mysyslog(const char* fmt, ...);
void cle_lock_unlock_op(int lock, char* tag);
void cle_inline_state_tracker(int state);
// Appends one line to stdout_shio and flushes it unless the user is typing:
// what a side thread does with each line it receives.
void print_async_line(const char* line);
// Appends one line to stdout_shio for a side thread that has more lines at
// hand; the next print_async_line or flush_async_output lets it out.
void queue_async_line(const char* line);
// Flushes stdout_shio unless the user is typing, under the output lock.
void flush_async_output();
// Flushes stdout_shio whatever the typing state, under the output lock.
void flush_held_output_at_end();

// ---- Application command channel -----------------------------------------

int send_command(const char* cmdline);
int send_api_cmd(const char* cmdline);
int send_sys_cmd(const char* cmdline);
int send_session_cmd(const char* op, const char* arg);
int response_helper(void);
int message_handler(HXCOM h_client, char* msg);
// Sends one request line as it is (the registration lines). Returns 0 when
// it went, or when the connection has ended so that the wait reports the
// end; -1 when it could not be sent or is not one line (refused, reported).
int channel_send(const char* request);
// Empties the answer text (before the registration is sent).
void channel_forget_answer(void);
// Forgets that the connection ended (a new connection is about to be used).
void channel_reset(void);
// True once the connection to the application has ended.
bool channel_ended(void);

// ---- Session registration and asynchronous events --------------------------

extern std::atomic<int> api_async_event_fd;
int register_session(void);
int unregister_session(void);
void* apiAsyncEventReaderThread(void* args);

// ---- Log reader ------------------------------------------------------------

int setupSocket(const char* pipe_name, char* fullname_buffer);
// Removes the listener socket files this process bound (at the session's end).
void remove_listener_sockets(void);
int find_pid(const char* process_name);
void* logReaderThread(void* arg);

// Filters and shapes one syslogd record by the log view settings. Returns
// false when the record is dropped; otherwise out (of out_size bytes) holds
// the text to print, without its line feed.
bool log_format_record(const char* record, char* out, size_t out_size);

// ---- Login -----------------------------------------------------------------

int get_net_password(char* password, int size);
// Takes the password from the system tool's first output line ("config sw 0
// " and the password): 0 with password filled (empty when none is set), 1
// when it does not fit in size bytes.
int parse_password_line(const char* line, char* password, int size);
char* getexefolder(char* buf, int size);
// The folder of the file that link names, as getexefolder takes it from the
// shell's own executable: buf filled and returned, or NULL (errno ERANGE
// when the folder is longer than 255 characters or does not fit size).
char* folder_of_link(const char* link, char* buf, int size);
int authenticate_user(const char* current_pwd);
int set_tty_echo(short enable);
void update_unsuccessful_login(const char* shell_type);
void update_ui_login_params(int auth_result, const char* shell_type);
void get_telnet_client_ip_from_proc(unsigned int port, char* ip_string);
// The parser behind it, reading an open TCP table: the address of the first
// established connection on local port into ip_string (empty when none).
void parse_tcp6_client(FILE* table, unsigned int port, char* ip_string);
void zcon_cfg_write(const char* param_name, const char* param_value);

// ---- Main command loop -----------------------------------------------------

// Flood guard: lines that come too fast in a row earn strikes; too many
// strikes end the session.
struct FloodGuard {
    int DoSCount = 0;        // lines that came fast in a row
    int DoSattempts = 0;     // strikes
    long long lastTime = 0;  // milliseconds of the previous line
};
// Counts one line read at now (milliseconds). Returns true when the session
// must be terminated.
bool flood_guard_check(FloodGuard* guard, long long now);
// Wall-clock time in milliseconds.
long long wall_clock_ms(void);
// Time the process started, the flood guard's first reference.
extern long long process_start_ms;

int get_input_command(void);
void preprocess_legacy_bang_input_cmd(char* input);
int reboot_cmd_processing(char* cmdbuff);
// Removes spaces and control characters at both ends of line, in place.
void trim_command_line(char* line);
// Reads and handles lines until the session is to end.
void run_command_loop(void);

// ---- Hang-up ----------------------------------------------------------------

// Catches SIGHUP for the rest of the process; call at start-up, before any
// side thread exists.
void hangup_install(void);
// True once the terminal has hung up.
bool hangup_seen(void);
// While on, Ctrl-C ends the reading of the password as a hang-up ends a
// read; off gives SIGINT its earlier disposition back.
void login_interrupt_catch(bool on);
// True once Ctrl-C ended the login.
bool login_interrupted(void);
// Puts the terminal back on standard input after a hang-up or Ctrl-C took it
// away, so its settings can be restored where it still exists.
void hangup_restore_stdin(void);
// Sleeps ms milliseconds (ms < 0: until any signal is caught). Returns false,
// early, when the terminal hangs up or the login is interrupted.
bool session_pause(int ms);
// One slice of the wait for an answer: waits on sem until a short
// deadline, or after a hang-up until the deadline common to all answers
// still awaited. Returns 0 when sem was taken, else -1 with errno.
int answer_wait_slice(sem_t* sem);
// True once, after a hang-up, answers are awaited no longer.
bool hangup_grace_over(void);
// Starts a side thread with every signal blocked: signals go to the main
// thread, whose waits they must cut short. Returns pthread_create's result.
int start_side_thread(pthread_t* thread, void* (*body)(void*));

// ---- Start-up and teardown --------------------------------------------------

void cleanup(void);
// Ends the session normally: clears the login report, tears down, exits 0.
[[noreturn]] void end_of_session(void);
void sig_handler(int signum);
int zcon_main(int argc, char** argv);
