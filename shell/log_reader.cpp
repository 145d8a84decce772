// The live system log of telnet sessions: syslogd sends every record to the
// listener socket of each session, which filters and shapes it by the
// user's log view settings.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string_view>

#include "zcon.h"

char log_show_filters[kFilterSlots][kFilterSize];
char log_cull_filters[kFilterSlots][kFilterSize];
int log_show_date = 1;
int log_show_time = 1;
int log_show_level = 1;
int gbEnableLoggerThread = 1;
pthread_mutex_t log_view_mut = PTHREAD_MUTEX_INITIALIZER;

namespace {

constexpr size_t kMaxRecord = 1024;
constexpr size_t kShortRecord = 24;  // records this short are shown as they are
constexpr size_t kDateWidth = 11;    // the date and its separator
constexpr size_t kTimeWidth = 9;     // the time and its separator
constexpr size_t kTextStart = kDateWidth + kTimeWidth;

// The listener sockets this process bound, identified by their file, so
// that the end of the session removes them and only them.
constexpr size_t kPipeNameSize = 128;  // a listener socket's path and its terminator

struct BoundListener {
    char path[kPipeNameSize];
    dev_t dev;
    ino_t ino;
};
BoundListener bound_listeners[2];  // one per listener directory
bool listeners_removed;            // the session has ended: bind no more
pthread_mutex_t bound_listeners_mut = PTHREAD_MUTEX_INITIALIZER;

void remember_listener(const char* path) {
    struct stat st;
    if (lstat(path, &st) != 0) return;
    pthread_mutex_lock(&bound_listeners_mut);
    if (listeners_removed) {
        // The log reader got here only after the session had ended.
        unlink(path);
        pthread_mutex_unlock(&bound_listeners_mut);
        return;
    }
    BoundListener* slot = nullptr;
    for (BoundListener& listener : bound_listeners) {
        if (strcmp(listener.path, path) == 0 || (!slot && listener.path[0] == '\0')) {
            slot = &listener;
        }
    }
    if (slot != nullptr) {
        snprintf(slot->path, sizeof slot->path, "%s", path);
        slot->dev = st.st_dev;
        slot->ino = st.st_ino;
    }
    pthread_mutex_unlock(&bound_listeners_mut);
}

// Reports a set-up failure, except on serial consoles, where nothing may
// disturb the automation client on the other end.
void report_socket_error(const char* fmt) {
    if (!session_is("api-serial")) shell_println(fmt, "setupSocket", strerror(errno));
}

bool any_filter_in(const char (&filters)[kFilterSlots][kFilterSize], const char* text,
                   bool* any_set) {
    bool found = false;
    for (const auto& filter : filters) {
        if (filter[0] == '\0') continue;
        *any_set = true;
        found = found || strstr(text, filter) != nullptr;
    }
    return found;
}

// Removes trailing spaces and control characters.
void trim_record(char* record, size_t len) {
    while (len > 0 && static_cast<unsigned char>(record[len - 1]) >= 1 &&
           static_cast<unsigned char>(record[len - 1]) <= 32) {
        record[--len] = '\0';
    }
}

}  // namespace

int setupSocket(const char* pipe_name, char* fullname_buffer) {
    const char* slash = strrchr(tty_name, '/');
    const char* terminal = slash != nullptr ? slash + 1 : tty_name;
    char sPipeName[kPipeNameSize];
    snprintf(sPipeName, sizeof sPipeName, "/tmp/%szcon%s", pipe_name, terminal);
    unlink(sPipeName);

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    size_t path_len = strlen(sPipeName);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        report_socket_error("%s: socket() error: %s");
        return -1;
    }
    if (path_len >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        report_socket_error("%s: bind() error: %s");
        close(fd);
        return -1;
    }
    memcpy(address.sun_path, sPipeName, path_len + 1);
    auto length = static_cast<socklen_t>(path_len + sizeof address.sun_family);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        report_socket_error("%s: bind() error: %s");
        close(fd);
        return -1;
    }
    if (chmod(sPipeName, 0666) != 0) {
        report_socket_error("%s: chmod() error: %s");
        close(fd);
        return -1;
    }
    remember_listener(sPipeName);
    if (fullname_buffer != nullptr) memcpy(fullname_buffer, sPipeName, path_len + 1);
    return fd;
}

void remove_listener_sockets(void) {
    pthread_mutex_lock(&bound_listeners_mut);
    for (BoundListener& listener : bound_listeners) {
        struct stat st;
        // A file put there since (a later session's) is not ours to remove.
        if (listener.path[0] != '\0' && lstat(listener.path, &st) == 0 &&
            st.st_dev == listener.dev && st.st_ino == listener.ino) {
            unlink(listener.path);
        }
        listener.path[0] = '\0';
    }
    listeners_removed = true;
    pthread_mutex_unlock(&bound_listeners_mut);
}

int find_pid(const char* process_name) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        shell_println("could not open /proc");
        return -1;
    }
    int found = -1;
    while (dirent* entry = readdir(proc)) {
        if (entry->d_type != DT_DIR || entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        char path[300];
        snprintf(path, sizeof path, "/proc/%s/stat", entry->d_name);
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        char stat[128];
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

bool log_format_record(const char* record, char* out, size_t out_size) {
    if (strlen(record) <= kShortRecord) {
        snprintf(out, out_size, "%s", record);
        return true;
    }
    const char* searched = record + kTextStart;
    char sz[kDateWidth + kTimeWidth + 1] = "";
    const char* pline = record;

    pthread_mutex_lock(&log_view_mut);
    bool any_show = false, any_cull = false;
    bool shown = any_filter_in(log_show_filters, searched, &any_show) || !any_show;
    bool culled = any_filter_in(log_cull_filters, searched, &any_cull);
    bool date = log_show_date != 0, time = log_show_time != 0, level = log_show_level != 0;
    pthread_mutex_unlock(&log_view_mut);

    if (!shown || culled) return false;
    if (!(date && time && level)) {
        size_t len = 0;
        if (date) {
            memcpy(sz, record, kDateWidth);
            len = kDateWidth;
        }
        if (time) {
            memcpy(sz + len, record + kDateWidth, kTimeWidth);
            len += kTimeWidth;
        }
        sz[len] = '\0';
        pline = searched;
        if (!level) {
            if (*pline == ' ') {
                ++pline;
            } else {
                const char* space = strchr(pline, ' ');
                pline = space != nullptr ? space + 1 : "";
            }
        }
    }
    snprintf(out, out_size, "%s%s", sz, pline);
    return true;
}

void* logReaderThread(void* /*arg*/) {
    int syslog_pid = find_pid("syslogd");
    if (syslog_pid < 0) {
        shell_println("logReaderThread: syslogd not running");
        return nullptr;
    }
    int sock_fd = setupSocket("sysloglisteners/", nullptr);
    if (sock_fd < 0) return nullptr;
    kill(syslog_pid, SIGHUP);

    char line[kMaxRecord + 1];
    char shaped[kMaxRecord + 1];
    for (;;) {
        pollfd wait{sock_fd, POLLIN, 0};
        int ready = poll(&wait, 1, -1);
        if (ready < 0 && errno == EINTR) {
            flush_async_output();
            continue;
        }
        if (ready < 0) {
            shell_println("logReaderThread: select() error: %s", strerror(errno));
            break;
        }
        if (!(wait.revents & POLLIN)) {
            shell_println("logReaderThread: unexpected select() results");
            break;
        }
        ssize_t n = recv(sock_fd, line, kMaxRecord, 0);
        // An empty datagram (anyone may send one) is nothing: a datagram
        // socket has no peer that could have closed.
        if (n == 0) continue;
        if (n < 0) {
            shell_println("logReaderThread: recv() error: %s", strerror(errno));
            break;
        }
        line[n] = '\0';
        trim_record(line, strlen(line));
        if (gbEnableLoggerThread == 0) continue;
        if (log_format_record(line, shaped, sizeof shaped)) {
            print_async_line(shaped);
        } else {
            flush_async_output();
        }
    }
    close(sock_fd);
    return nullptr;
}
