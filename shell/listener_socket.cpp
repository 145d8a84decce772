// Binding the session's listener sockets, and removing them at its end.
#include "listener_socket.h"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>

#include "console.h"
#include "libxcom.h"
#include "mutex_lock.h"
#include "session.h"

namespace {

// The listener sockets this process bound, identified by their file, so
// that the end of the session removes them and only them.
struct BoundListener {
    char path[kListenerPathSize];
    dev_t dev;
    ino_t ino;
    std::atomic<bool> whole;  // path, dev and ino written: a signal handler may read them
};
BoundListener bound_listeners[2];  // one per listener directory
bool listeners_removed;            // the session has ended: bind no more
pthread_mutex_t bound_listeners_mut = PTHREAD_MUTEX_INITIALIZER;

// Notes the socket file at path for the removal at the end; under
// bound_listeners_mut.
void remember_listener(const char* path) {
    struct stat st;
    if (lstat(path, &st) != 0) return;
    BoundListener* slot = nullptr;
    for (BoundListener& listener : bound_listeners) {
        if (strcmp(listener.path, path) == 0 || (!slot && listener.path[0] == '\0')) {
            slot = &listener;
        }
    }
    if (slot != nullptr) {
        slot->whole = false;
        snprintf(slot->path, sizeof slot->path, "%s", path);
        slot->dev = st.st_dev;
        slot->ino = st.st_ino;
        slot->whole = true;
    }
}

// Reports a set-up failure (the reason, or errno's text), except on serial
// consoles, where nothing may disturb the automation client on the other
// end. The log reader's thread binds too: its message is held while a line
// is typed, like its records.
void report_socket_error(MessageFormat<const char*, const char*> fmt,
                         const char* reason = nullptr) {
    if (session_traits().setup_messages) {
        console_print_side_message(fmt, "setupSocket", reason ? reason : strerror(errno));
    }
}

// Why the directory dir (no trailing "/") is no place for a listener, or
// nullptr when it is one. Whoever may change the directory may replace the
// socket file with their own, or with a link to elsewhere: it must be a
// directory itself, of root or of the session's user, and others may not
// write to it unless it is sticky. A missing one leaves errno's text.
const char* unsafe_listener_dir(const char* dir) {
    struct stat st;
    if (lstat(dir, &st) != 0) return strerror(errno);
    if (!S_ISDIR(st.st_mode)) return "listener directory is not a directory";
    if (st.st_uid != 0 && st.st_uid != geteuid()) return "listener directory of another user";
    if ((st.st_mode & S_IWOTH) && !(st.st_mode & S_ISVTX)) {
        return "listener directory writable by others";
    }
    return nullptr;
}

// Binds fd, whose own mode is already 0666, to address. A socket file gets
// the socket's mode less the umask, so the umask is cleared for the bind
// and no path is followed afterwards (a chmod of the path would follow a
// link put in its place). Only this thread's umask changes: it takes its
// own copy of the file-system state first, so other threads, and children
// forked meanwhile, keep theirs. Where that copy cannot be had, the process
// umask is cleared briefly, one bind at a time.
int bind_open_to_all(int fd, const sockaddr_un& address, socklen_t length) {
    static pthread_mutex_t umask_mut = PTHREAD_MUTEX_INITIALIZER;
    const bool own_umask = unshare(CLONE_FS) == 0;
    if (!own_umask) pthread_mutex_lock(&umask_mut);
    const mode_t before = umask(0);
    const int rc = bind(fd, reinterpret_cast<const sockaddr*>(&address), length);
    const int bind_errno = errno;
    umask(before);
    if (!own_umask) pthread_mutex_unlock(&umask_mut);
    errno = bind_errno;
    return rc;
}

// Binds fd to address and notes the file, in one step under
// bound_listeners_mut: an end of the session that comes meanwhile waits for
// it and then removes the file, and once the end has come nothing binds (the
// process may exit at any moment after it, this thread still here).
// Returns 1 when bound, 0 when the session has ended, -1 on failure.
int bind_listener(int fd, const sockaddr_un& address, socklen_t length, const char* path) {
    MutexLock lock(bound_listeners_mut);
    if (listeners_removed) return 0;
    if (bind_open_to_all(fd, address, length) != 0) return -1;
    remember_listener(path);
    return 1;
}

}  // namespace

int setupSocket(const char* pipe_name, char* fullname_buffer) {
    const char* tty_name = session_settings().tty_name;
    const char* slash = strrchr(tty_name, '/');
    const char* terminal = slash != nullptr ? slash + 1 : tty_name;
    char sPipeName[kListenerPathSize];
    // The directory without its "/", which would have a link there followed.
    snprintf(sPipeName, sizeof sPipeName, "/tmp/%.*s", static_cast<int>(strcspn(pipe_name, "/")),
             pipe_name);
    if (const char* why = unsafe_listener_dir(sPipeName)) {
        report_socket_error("%s: bind() error: %s", why);
        return -1;
    }
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
    const auto fail = [fd](MessageFormat<const char*, const char*> fmt) {
        report_socket_error(fmt);
        close(fd);
        return -1;
    };
    if (path_len >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return fail("%s: bind() error: %s");
    }
    memcpy(address.sun_path, sPipeName, path_len + 1);
    auto length = static_cast<socklen_t>(path_len + sizeof address.sun_family);
    if (fchmod(fd, 0666) != 0) return fail("%s: chmod() error: %s");
    // Before the bind: no datagram may come without its sender's credentials.
    if (socket_pass_credentials(fd) != 0) return fail("%s: socket() error: %s");
    const int bound = bind_listener(fd, address, length, sPipeName);
    if (bound < 0) return fail("%s: bind() error: %s");
    if (bound == 0) {
        close(fd);
        return -1;
    }
    if (fullname_buffer != nullptr) memcpy(fullname_buffer, sPipeName, path_len + 1);
    return fd;
}

void remove_listener_sockets_at_once(void) {
    for (BoundListener& listener : bound_listeners) {
        struct stat st;
        // A file put there since (a later session's) is not ours to remove.
        if (listener.whole && lstat(listener.path, &st) == 0 && st.st_dev == listener.dev &&
            st.st_ino == listener.ino) {
            unlink(listener.path);
        }
    }
}

void remove_listener_sockets(void) {
    MutexLock lock(bound_listeners_mut);
    remove_listener_sockets_at_once();
    for (BoundListener& listener : bound_listeners) {
        listener.whole = false;
        listener.path[0] = '\0';
    }
    listeners_removed = true;
}
