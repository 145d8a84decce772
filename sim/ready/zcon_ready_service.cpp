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

// Makes dir (if missing) writable by every user, with the sticky bit so
// sessions cannot remove each other's sockets. Returns 0 or -1.
int make_shared_dir(const std::string& dir) {
    if (mkdir(dir.c_str(), 01777) < 0 && errno != EEXIST) return -1;
    return chmod(dir.c_str(), 01777);
}

// Creates the ready file; its content is never read. Returns 0 or -1.
int create_ready_file(const char* path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    char text[32];
    int len = snprintf(text, sizeof text, "%ld\n", static_cast<long>(getpid()));
    bool ok = write(fd, text, static_cast<size_t>(len)) == len;
    return close(fd) == 0 && ok ? 0 : -1;
}

void usage(FILE* out) {
    fputs(
        "usage: zcon-ready-service [--ready-file PATH] [--listener-root DIR]\n"
        "  Creates DIR/sysloglisteners/ and DIR/apiasynclisteners/ (mode 1777; DIR\n"
        "  defaults to /tmp) and the ready file (default /tmp/ZconReady), then waits;\n"
        "  SIGTERM or SIGINT removes the ready file and ends it.\n",
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

    if (make_shared_dir(root + "/sysloglisteners") < 0 ||
        make_shared_dir(root + "/apiasynclisteners") < 0) {
        fprintf(stderr, "zcon-ready-service: cannot make listener directories under %s: %s\n",
                root.c_str(), strerror(errno));
        return 1;
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
