// The log reader's thread: finding syslogd, binding the listener socket and
// the receive loop, which cuts, trims, filters and shows each record.
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
#include "clock.h"
#include "console.h"
#include "ending_signals.h"
#include "libxcom.h"
#include "listener_socket.h"
#include "log_reader.h"
#include "log_view.h"
#include "peers.h"
#include "terminal_text.h"

namespace {

int gbEnableLoggerThread = 1;  // kept: 0 would drop every record, but nothing sets it
pthread_t threadReader;

constexpr size_t kMaxRecord = 1024;
constexpr size_t kProcPathSize = 300;    // "/proc/<name>/stat"
constexpr size_t kProcStatHead = 128;    // enough of a stat line for the process name
constexpr size_t kProcStatusHead = 512;  // enough of a status file for its Uid line

constexpr BadInputWarnings::Kind kLogKinds[] = {
    {SOCKET_BAD_TRUNCATED, "record over 1024 bytes cut"},
    {kBadInputStranger, "datagram of another user dropped"},
};

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

// Reads the start of the file at path into buf (size bytes, terminated).
// Returns false when it cannot be read.
bool read_head(const char* path, char* buf, size_t size) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t n = read(fd, buf, size - 1);
    close(fd);
    if (n < 0) return false;
    buf[n] = '\0';
    return true;
}

// Whether the process pid runs as root or as the shell's own user, really
// and in effect: anyone may give a process of theirs any name.
bool runs_as_trusted_user(const char* pid) {
    char path[kProcPathSize];
    snprintf(path, sizeof path, "/proc/%s/status", pid);
    char status[kProcStatusHead];
    if (!read_head(path, status, sizeof status)) return false;
    const char* uids = strstr(status, "\nUid:");
    unsigned real = 0, effective = 0;
    if (uids == nullptr || sscanf(uids, "\nUid: %u %u", &real, &effective) != 2) return false;
    const unsigned own = geteuid();
    return (real == 0 || real == own) && (effective == 0 || effective == own);
}

// The pid of the first live process whose name is process_name and that
// runs as root or as the shell's user, or -1. An ended one (a zombie not
// yet reaped) would take the signal and do nothing.
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
        char stat[kProcStatHead];
        if (!read_head(path, stat, sizeof stat)) continue;
        const char* open_paren = strchr(stat, '(');
        if (open_paren == nullptr || strlen(open_paren + 1) <= 7) continue;
        const char* close_paren = strchr(open_paren + 1, ')');
        if (close_paren == nullptr) continue;
        std::string_view name(open_paren + 1, static_cast<size_t>(close_paren - open_paren - 1));
        const bool ended =
            close_paren[1] == ' ' && (close_paren[2] == 'Z' || close_paren[2] == 'X');
        if (name == process_name && !ended && runs_as_trusted_user(entry->d_name)) {
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
    BadInputWarnings warnings("log socket", kLogKinds, 2);
    for (;;) {
        pollfd wait{sock_fd, POLLIN, {}};
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
        char* const record = line;
        SocketReceivedT got;
        if (socket_recv_datagrams(sock_fd, &record, kMaxRecord, 1, &got) < 0) {
            console_print_side_message("logReaderThread: recv() error: %s", strerror(errno));
            break;
        }
        if (!peers_accept(got.sender)) {
            char who[kSenderTextSize];
            peers_describe(got.sender, who);
            warnings.note(kBadInputStranger, monotonic_ms(), who);
            continue;
        }
        // An empty datagram (anyone may send one) is nothing: a datagram
        // socket has no peer that could have closed.
        if (got.length == 0) continue;
        if (got.kinds != 0) warnings.note(got.kinds, monotonic_ms());
        trim_record(line, strlen(line));
        if (gbEnableLoggerThread == 0) continue;
        if (session_log_view().format_record(line, shaped, sizeof shaped)) {
            terminal_safe_text(shaped, strlen(shaped), shown, sizeof shown);
            console_print_event_line(shown, false);
        } else {
            console_print_event_line(nullptr, false);  // the flush step a record owes
        }
    }
    close(sock_fd);
    return nullptr;
}
