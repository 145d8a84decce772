// The live system log of telnet sessions: syslogd sends every record to the
// listener socket of each session, which filters and shapes it by the
// user's log view settings.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string_view>

#include "bad_input.h"
#include "console.h"
#include "hangup.h"
#include "listener_socket.h"
#include "log_reader.h"
#include "terminal_text.h"

namespace {

int gbEnableLoggerThread = 1;  // 0 would keep the records from the terminal
pthread_t threadReader;

constexpr size_t kMaxRecord = 1024;
constexpr size_t kProcPathSize = 300;  // "/proc/<name>/stat"
constexpr size_t kProcStatHead = 128;  // enough of a stat line for the process name

// A record longer than kMaxRecord: shown cut, and warned of.
constexpr int kRecordCut = 1;
constexpr BadInputWarnings::Kind kLogKinds[] = {{kRecordCut, "record over 1024 bytes cut"}};

// Removes trailing spaces and control characters.
void trim_record(char* record, size_t len) {
    while (len > 0 && static_cast<unsigned char>(record[len - 1]) >= 1 &&
           static_cast<unsigned char>(record[len - 1]) <= 32) {
        record[--len] = '\0';
    }
}

}  // namespace

void log_reader_start(void) {
    if (start_side_thread(&threadReader, logReaderThread) != 0) {
        shell_println("failed to create log reader thread");
    } else {
        pthread_detach(threadReader);  // never joined: it may end long before the session
    }
}

namespace {

// The pid of the first process whose name is process_name, or -1.
int find_pid(const char* process_name) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        console_print_side_message("could not open /proc");
        return -1;
    }
    int found = -1;
    while (dirent* entry = readdir(proc)) {
        if (entry->d_type != DT_DIR || entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        char path[kProcPathSize];
        snprintf(path, sizeof path, "/proc/%s/stat", entry->d_name);
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        char stat[kProcStatHead];
        ssize_t n = read(fd, stat, sizeof stat - 1);
        close(fd);
        if (n < 0) continue;
        stat[n] = '\0';
        const char* open_paren = strchr(stat, '(');
        if (open_paren == nullptr || strlen(open_paren + 1) <= 7) continue;
        const char* close_paren = strchr(open_paren + 1, ')');
        if (close_paren == nullptr) continue;
        std::string_view name(open_paren + 1, static_cast<size_t>(close_paren - open_paren - 1));
        if (name == process_name) {
            found = atoi(entry->d_name);
            break;
        }
    }
    closedir(proc);
    return found;
}

}  // namespace

void* logReaderThread(void* /*arg*/) {
    int syslog_pid = find_pid("syslogd");
    if (syslog_pid < 0) {
        console_print_side_message("logReaderThread: syslogd not running");
        return nullptr;
    }
    int sock_fd = setupSocket("sysloglisteners/", nullptr);
    if (sock_fd < 0) return nullptr;
    kill(syslog_pid, SIGHUP);

    char line[kMaxRecord + 1];
    char shaped[kMaxRecord + 1];
    char shown[terminal_text_size(kMaxRecord)];
    BadInputWarnings warnings("log socket", kLogKinds, 1);
    for (;;) {
        pollfd wait{sock_fd, POLLIN, 0};
        // Every signal is blocked in this thread: the wait is never cut short.
        const int ready = poll(&wait, 1, -1);
        if (ready < 0) {
            console_print_side_message("logReaderThread: select() error: %s", strerror(errno));
            break;
        }
        if (!(wait.revents & POLLIN)) {
            console_print_side_message("logReaderThread: unexpected select() results");
            break;
        }
        ssize_t n = recv(sock_fd, line, kMaxRecord, MSG_TRUNC);
        // An empty datagram (anyone may send one) is nothing: a datagram
        // socket has no peer that could have closed.
        if (n == 0) continue;
        if (n < 0) {
            console_print_side_message("logReaderThread: recv() error: %s", strerror(errno));
            break;
        }
        if (static_cast<size_t>(n) > kMaxRecord) {
            warnings.note(kRecordCut, monotonic_ms());
            n = kMaxRecord;
        }
        line[n] = '\0';
        trim_record(line, strlen(line));
        if (gbEnableLoggerThread == 0) continue;
        if (session_log_view().format_record(line, shaped, sizeof shaped)) {
            terminal_safe_text(shaped, strlen(shaped), shown, sizeof shown);
            console_print_event_line(shown);
        } else {
            console_release_held();
        }
    }
    close(sock_fd);
    return nullptr;
}
