// Binding the session's listener sockets, and removing them at its end.
#include "listener_socket.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "console.h"
#include "mutex_lock.h"
#include "session.h"

namespace {

// The listener sockets this process bound, identified by their file, so
// that the end of the session removes them and only them.
struct BoundListener {
    char path[kListenerPathSize];
    dev_t dev;
    ino_t ino;
};
BoundListener bound_listeners[2];  // one per listener directory
bool listeners_removed;            // the session has ended: bind no more
pthread_mutex_t bound_listeners_mut = PTHREAD_MUTEX_INITIALIZER;

void remember_listener(const char* path) {
    struct stat st;
    if (lstat(path, &st) != 0) return;
    MutexLock lock(bound_listeners_mut);
    if (listeners_removed) {
        // The log reader got here only after the session had ended.
        unlink(path);
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
}

// Reports a set-up failure, except on serial consoles, where nothing may
// disturb the automation client on the other end. The log reader's thread
// binds too: its message is held while a line is typed, like its records.
void report_socket_error(MessageFormat<const char*, char*> fmt) {
    if (session_traits().setup_messages) {
        console_print_side_message(fmt, "setupSocket", strerror(errno));
    }
}

}  // namespace

int setupSocket(const char* pipe_name, char* fullname_buffer) {
    const char* tty_name = session_settings().tty_name;
    const char* slash = strrchr(tty_name, '/');
    const char* terminal = slash != nullptr ? slash + 1 : tty_name;
    char sPipeName[kListenerPathSize];
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
    MutexLock lock(bound_listeners_mut);
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
}
