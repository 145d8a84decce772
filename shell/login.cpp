// The password tool, run from the shell's own folder, and the prompt's
// attempts with the terminal's echo off.
#include "login.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "console.h"
#include "ending_signals.h"
#include "waits.h"

namespace {

constexpr char WELCOME_TEXT[] = "Welcome to Orvandel\n";
constexpr char PASSWORD_PROMPT[] = "Password:";
constexpr char FAILED_TEXT[] = " -- password failed, retry --\n";
constexpr int MAX_ATTEMPTS = 3;
// What a wrong password costs before the next prompt or the end, as at the
// system's own login: guessing must be slow.
constexpr int kWrongPasswordDelayMs = 2000;
constexpr char kToolPrefix[] = "config sw 0 ";
constexpr int kFolderSize = 256;    // the shell's own folder
constexpr int kToolPathSize = 275;  // the folder, "/qtool" and room to spare
constexpr int kToolLineSize = 128;  // the tool's first output line
constexpr int kExeLinkSize = 128;   // "/proc/<pid>/exe"

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
        // Readable: the read returns at once, never cut short by a signal.
        if (!session_wait_readable(fd)) break;
        const ssize_t n = read(fd, line + len, 1);
        if (n <= 0) break;
        len += static_cast<size_t>(n);
    }
    line[len] = '\0';
    return len > 0;
}

// Closes the tool's output and waits for it to end (ending it if the
// session is cut short meanwhile).
void end_password_tool(int out, pid_t child) {
    if (out >= 0) close(out);
    wait_child(child);
}

// Starts the password tool "<folder>/qtool config sw 0" directly, without a
// shell that would read the folder's name (a space, a ';'), with its standard
// output on a pipe. Returns the pipe's reading end, with the child in *child;
// -1 when the tool cannot be started (absent, not executable).
int start_password_tool(const char* folder, pid_t* child) {
    char tool[kToolPathSize];  // the folder has at most 255 bytes: it fits
    snprintf(tool, sizeof tool, "%s/qtool", folder);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    // A process group of its own, so that an ending session can end it all.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    char config[] = "config", sw[] = "sw", zero[] = "0";
    char* argv[] = {tool, config, sw, zero, nullptr};
    const int started = posix_spawn(child, tool, &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (started != 0) {
        close(out[0]);
        return -1;
    }
    return out[0];
}

// The folder of the shell's own executable (see folder_of_link).
char* getexefolder(char* buf, int size) {
    char link[kExeLinkSize];
    snprintf(link, sizeof link, "/proc/%i/exe", static_cast<int>(getpid()));
    return folder_of_link(link, buf, size);
}

}  // namespace

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
    char current[kPasswordSize];
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

namespace {

int get_net_password(char* password, int size) {
    char folder[kFolderSize];
    if (getexefolder(folder, sizeof folder) == nullptr) return 1;
    pid_t child;
    const int tool = start_password_tool(folder, &child);
    if (tool < 0) return 0;
    char line[kToolLineSize];
    const bool got_line = read_first_line(tool, line, sizeof line);
    end_password_tool(tool, child);
    const int rc = got_line ? parse_password_line(line, password, size) : 0;
    explicit_bzero(line, sizeof line);
    return rc;
}

int set_tty_echo(short enable) {
    termios attrs{};
    if (tcgetattr(STDIN_FILENO, &attrs) != 0) {
        perror("error in tcgetattr");
        return 1;
    }
    attrs.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    if (enable) attrs.c_lflag |= ECHO;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &attrs) != 0) {
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
    set_tty_echo(0);
    shell_println(WELCOME_TEXT);
    bool passed = false;
    int wrong = 0;
    char typed[kPasswordSize];
    for (int attempt = 0; attempt < MAX_ATTEMPTS && !passed; ++attempt) {
        shell_println(PASSWORD_PROMPT);
        if (fgets(typed, sizeof typed, stdin) == nullptr) break;
        shell_println("%s", "");  // the typed line end was not echoed
        chop_line_end(typed);
        passed = strcmp(typed, current_pwd) == 0;
        if (passed) break;
        ++wrong;
        shell_println(FAILED_TEXT);
        session_pause(kWrongPasswordDelayMs);
        if (session_cut_short()) break;
    }
    explicit_bzero(typed, sizeof typed);
    restore_terminal_stdin();
    set_tty_echo(1);
    return passed ? 0 : wrong > 0 ? wrong : -1;
}

}  // namespace

// Asks for the password when one is set. While the password is held the
// process is not dumpable, so no core file or ptrace reader gets it; the
// previous setting returns once the copies are cleared, at the end of the
// login.
std::optional<Ending> run_login(void) {
    const int dumpable = prctl(PR_GET_DUMPABLE);
    prctl(PR_SET_DUMPABLE, 0);
    char password[kPasswordSize] = "";
    const int fetched = get_net_password(password, sizeof password);
    int result = 0;
    if (fetched == 0 && password[0] != '\0' && !session_cut_short()) {
        result = authenticate_user(password);
    }
    explicit_bzero(password, sizeof password);
    if (dumpable >= 0) prctl(PR_SET_DUMPABLE, dumpable);
    if (fetched != 0) return Ending::kNoPassword;
    if (result == 0 && !session_cut_short()) return std::nullopt;
    // Wrong passwords are reported however the login then ended; a user who
    // hung up or gave up with Ctrl-C or Ctrl-\ before guessing leaves nothing
    // to report.
    if (result > 0 || (result < 0 && !session_cut_short())) return Ending::kLoginFailed;
    return Ending::kLoginGivenUp;
}
