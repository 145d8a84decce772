// zcon-ready-service: the start-up service the shell depends on. It makes
// the listener directories, announces readiness with the ready file, and
// takes the file away again when it is stopped, so shells started after
// that refuse to run.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

// Makes dir (if missing) a directory of this service's user, mode 0755:
// only that user (root on the appliance) may put or replace sockets there,
// so no one can put a file of their own, or a link to elsewhere, where a
// session's socket is to be; everyone else needs only to reach the sockets
// (search permission). An existing one is kept only if it is a directory of
// that user, which only the service, or that user, can have made; anything
// else (another user's directory, a link) is refused: errno EEXIST.
int make_listener_dir(const std::string& dir) {
    if (mkdir(dir.c_str(), 0755) < 0 && errno != EEXIST) return -1;
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP || errno == ENOTDIR) errno = EEXIST;
        return -1;
    }
    struct stat st {};
    int rc = fstat(fd, &st);
    if (rc == 0 && st.st_uid != geteuid()) {
        errno = EEXIST;
        rc = -1;
    }
    if (rc == 0) rc = fchmod(fd, 0755);
    const int saved = errno;
    close(fd);
    errno = saved;
    return rc;
}

// Creates the ready file anew, never through what stands at its path: a
// link someone put there would have the service write where it leads.
// Whatever is there is removed first; what cannot be (a directory, or
// another user's file in the sticky /tmp when not run as root) makes the
// creation fail. Its content is never read. Returns 0 or -1.
int create_ready_file(const char* path) {
    unlink(path);
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    char text[32];
    int len = snprintf(text, sizeof text, "%ld\n", static_cast<long>(getpid()));
    bool ok = write(fd, text, static_cast<size_t>(len)) == len;
    return close(fd) == 0 && ok ? 0 : -1;
}

void usage(FILE* out) {
    fputs(
        "usage: zcon-ready-service [--ready-file PATH] [--listener-root DIR]\n"
        "  Creates DIR/sysloglisteners/ and DIR/apiasynclisteners/ (mode 0755, of this\n"
        "  user; DIR defaults to /tmp) and the ready file (default /tmp/ZconReady), then\n"
        "  waits; SIGTERM or SIGINT removes the ready file and ends it. A link, or a\n"
        "  directory of another user, in their place is refused.\n",
        out);
}

}  // namespace

int main(int argc, char** argv) {
    static const option kLong[] = {
        {"ready-file", required_argument, nullptr, 'r'},
        {"listener-root", required_argument, nullptr, 'l'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    const char* ready_file = "/tmp/ZconReady";
    std::string root = "/tmp";
    int opt;
    while ((opt = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
        switch (opt) {
            case 'r':
                ready_file = optarg;
                break;
            case 'l':
                root = optarg;
                break;
            case 'h':
                usage(stdout);
                return 0;
            default:
                usage(stderr);
                return 2;
        }
    }
    // Block the stop signals first, so one sent right after start-up is
    // not lost before the wait begins.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);

    for (const char* name : {"/sysloglisteners", "/apiasynclisteners"}) {
        if (make_listener_dir(root + name) < 0) {
            fprintf(stderr, "zcon-ready-service: cannot make %s%s: %s\n", root.c_str(), name,
                    errno == EEXIST ? "something else is there (a link, or another user's)"
                                    : strerror(errno));
            return 1;
        }
    }
    if (create_ready_file(ready_file) < 0) {
        fprintf(stderr, "zcon-ready-service: cannot create %s: %s\n", ready_file, strerror(errno));
        return 1;
    }
    int sig = 0;
    while (sigwait(&stop, &sig) != 0) {
    }
    unlink(ready_file);
    return 0;
}
