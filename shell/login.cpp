// Login: the appliance password (fetched from the system tool on every
// start), three attempts with echo off, and the login report the
// application keeps about telnet and API clients.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "zcon.h"

namespace {

constexpr char WELCOME_TEXT[] = "Welcome to Orvandel\n";
constexpr char PASSWORD_PROMPT[] = "Password:";
constexpr char FAILED_TEXT[] = " -- password failed, retry --\n";
constexpr int MAX_ATTEMPTS = 3;
// What a wrong password costs before the next prompt or the end, as at the
// system's own login: guessing must be slow.
constexpr int kWrongPasswordDelayMs = 2000;
constexpr char kToolPrefix[] = "config sw 0 ";

// Removes one trailing line feed or carriage return.
void chop_line_end(char* text) {
    size_t len = strlen(text);
    if (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r')) text[len - 1] = '\0';
}

// Reads the first line of fd into line (size bytes, at most size - 1
// characters and the terminator), as fgets would. Returns false when there
// is nothing before end of input. read(2) and not stdio: stdio leaves copies
// of what it read on the stack, where they cannot be cleared.
bool read_first_line(int fd, char* line, size_t size) {
    size_t len = 0;
    while (len + 1 < size && (len == 0 || line[len - 1] != '\n')) {
        const ssize_t n = read(fd, line + len, 1);
        if (n < 0 && errno == EINTR && !hangup_seen()) continue;
        if (n <= 0) break;
        len += static_cast<size_t>(n);
    }
    line[len] = '\0';
    return len > 0;
}

// Closes the tool's output and waits for it to end.
void end_password_tool(int out, pid_t child) {
    if (out >= 0) close(out);
    int status;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}

// Starts the password tool "<folder>/qtool config sw 0" directly, without a
// shell that would read the folder's name (a space, a ';'), with its standard
// output on a pipe. Returns the pipe's reading end, with the child in *child;
// -1 when the tool cannot be started (absent, not executable).
int start_password_tool(const char* folder, pid_t* child) {
    char tool[275];
    if (snprintf(tool, sizeof tool, "%s/qtool", folder) >= static_cast<int>(sizeof tool)) {
        return -1;
    }
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    char config[] = "config", sw[] = "sw", zero[] = "0";
    char* argv[] = {tool, config, sw, zero, nullptr};
    const int started = posix_spawn(child, tool, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (started != 0) {
        close(out[0]);
        return -1;
    }
    return out[0];
}

}  // namespace

char* getexefolder(char* buf, int size) {
    char link[128];
    snprintf(link, sizeof link, "/proc/%i/exe", static_cast<int>(getpid()));
    return folder_of_link(link, buf, size);
}

char* folder_of_link(const char* link, char* buf, int size) {
    // The whole target first: cut short, its last '/' would name a folder
    // above the right one.
    char target[PATH_MAX];
    ssize_t len = readlink(link, target, sizeof target);
    if (len < 0) return nullptr;
    if (len == static_cast<ssize_t>(sizeof target)) {
        errno = ERANGE;  // perhaps cut: its folder is too long anyway
        return nullptr;
    }
    const char* end = static_cast<const char*>(memrchr(target, '/', static_cast<size_t>(len)));
    if (end != nullptr) len = end - target;
    if (len > 255 || len >= size) {
        errno = ERANGE;
        return nullptr;
    }
    memcpy(buf, target, static_cast<size_t>(len));
    buf[len] = '\0';
    return buf;
}

int parse_password_line(const char* line, char* password, int size) {
    if (strncmp(line, kToolPrefix, sizeof kToolPrefix - 1) != 0) return 0;  // no password set
    char current[64];
    const char* text = line + sizeof kToolPrefix - 1;
    size_t len = strnlen(text, sizeof current - 1);
    memcpy(current, text, len);
    current[len] = '\0';
    chop_line_end(current);
    len = strlen(current);
    const bool fits = static_cast<int>(len) < size;
    if (fits) memcpy(password, current, len + 1);
    explicit_bzero(current, sizeof current);
    return fits ? 0 : 1;
}

int get_net_password(char* password, int size) {
    char folder[256];
    if (getexefolder(folder, sizeof folder) == nullptr) return 1;
    pid_t child;
    const int tool = start_password_tool(folder, &child);
    if (tool < 0) return 0;
    char line[128];
    const bool got_line = read_first_line(tool, line, sizeof line);
    end_password_tool(tool, child);
    const int rc = got_line ? parse_password_line(line, password, size) : 0;
    explicit_bzero(line, sizeof line);
    return rc;
}

int set_tty_echo(short enable) {
    termios attrs{};
    if (tcgetattr(0, &attrs) != 0) {
        perror("error in tcgetattr");
        return 1;
    }
    attrs.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    if (enable) attrs.c_lflag |= ECHO;
    if (tcsetattr(0, TCSANOW, &attrs) != 0) {
        perror("error in tcsetattr");
        return 1;
    }
    return 0;
}

// Returns 0 when the user gave the password, the number of wrong ones when
// the login failed after one or more, and -1 when it ended before any (end of
// input, a hang-up, Ctrl-C).
int authenticate_user(const char* current_pwd) {
    // Unbuffered: no copy of a typed password stays behind in stdin's buffer.
    setvbuf(stdin, nullptr, _IONBF, 0);
    login_interrupt_catch(true);
    set_tty_echo(0);
    shell_println(WELCOME_TEXT);
    bool passed = false;
    int wrong = 0;
    char typed[64];
    for (int attempt = 0; attempt < MAX_ATTEMPTS && !passed; ++attempt) {
        shell_println(PASSWORD_PROMPT);
        fflush(stdout);
        if (fgets(typed, sizeof typed, stdin) == nullptr) break;
        shell_println("%s", "");  // the typed line end was not echoed
        chop_line_end(typed);
        passed = strcmp(typed, current_pwd) == 0;
        if (passed) break;
        ++wrong;
        shell_println(FAILED_TEXT);
        fflush(stdout);
        if (!session_pause(kWrongPasswordDelayMs)) break;
    }
    explicit_bzero(typed, sizeof typed);
    hangup_restore_stdin();
    set_tty_echo(1);
    login_interrupt_catch(false);
    return passed ? 0 : wrong > 0 ? wrong : -1;
}

void update_unsuccessful_login(const char* shell_type) {
    sem_init(&response_sem, 0, 0);
    sem_init(&input_ready_sem, 0, 0);
    hclient = xcom_client_connect(host_name, host_port, message_handler);
    if (hclient != nullptr) {
        channel_reset();
        register_session();
        update_ui_login_params(1, shell_type);
        unregister_session();
        xcom_client_disconnect(hclient);
        hclient = nullptr;
    }
    sem_destroy(&response_sem);
    sem_destroy(&input_ready_sem);
    remove_listener_sockets();
}

void update_ui_login_params(int auth_result, const char* shell_type) {
    char address_setting[40];
    char success_setting[40];
    unsigned int port;
    if (strcmp(shell_type, "telnet") == 0) {
        port = 23;
    } else if (strcmp(shell_type, "api") == 0) {
        port = 24;
    } else {
        return;
    }
    snprintf(address_setting, sizeof address_setting, "telnet_client_%u", port);
    snprintf(success_setting, sizeof success_setting, "telnet_client_%u_success", port);
    char success[8];
    snprintf(success, sizeof success, "%s", auth_result == 0 ? "True" : "False");
    char address[56];
    get_telnet_client_ip_from_proc(port, address);
    zcon_cfg_write(address_setting, address);
    zcon_cfg_write(success_setting, success);
}

namespace {

// Reads the next line of table into line (size bytes), dropping what does
// not fit. Returns false at the end.
bool next_table_line(FILE* table, char* line, int size) {
    if (fgets(line, size, table) == nullptr) return false;
    if (strchr(line, '\n') == nullptr) {
        int c;
        while ((c = fgetc(table)) != EOF && c != '\n') {
        }
    }
    return true;
}

}  // namespace

void parse_tcp6_client(FILE* table, unsigned int port, char* ip_string) {
    ip_string[0] = '\0';
    // Line by line, each scanned on its own: scanned as one stream, the
    // format's closing "\n" reads on past the entry found to skip the next
    // line's indent, and every read of the kernel's table walks all of its
    // connection slots again, which on a large machine costs a millisecond.
    char line[512];
    if (!next_table_line(table, line, sizeof line)) return;  // the heading
    while (next_table_line(table, line, sizeof line)) {
        unsigned int local_port, state;
        unsigned int words[4];
        int got = sscanf(line, "%*s %*32s:%x %8x%8x%8x%8x:%*x %x %*[ -z]\n", &local_port, &words[0],
                         &words[1], &words[2], &words[3], &state);
        if (got != 6 || state != 1 || local_port != port) continue;
        // Each word was printed from memory in the machine's own byte order,
        // so storing it back the same way restores the address bytes.
        unsigned char bytes[16];
        memcpy(bytes, words, sizeof bytes);
        static constexpr unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        static constexpr unsigned char any4[4] = {0, 0, 0, 0};
        if (memcmp(bytes, mapped, sizeof mapped) == 0 && memcmp(bytes + 12, any4, 4) != 0) {
            inet_ntop(AF_INET, bytes + 12, ip_string, 16);
        } else {
            inet_ntop(AF_INET6, bytes, ip_string, 46);
        }
        return;
    }
}

void get_telnet_client_ip_from_proc(unsigned int port, char* ip_string) {
    ip_string[0] = '\0';
    FILE* table = fopen("/proc/net/tcp6", "r");
    if (table == nullptr) return;
    parse_tcp6_client(table, port, ip_string);
    fclose(table);
}

void zcon_cfg_write(const char* param_name, const char* param_value) {
    if (param_name == nullptr || param_value == nullptr || param_name[0] == '\0') return;
    char request[192];
    snprintf(request, sizeof request, "execwithoutecho systemsetting %s %s", param_name,
             param_value);
    send_api_cmd(request);
}
