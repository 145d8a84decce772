// Creating and destroying appd: the TCP listener, the control socket, the
// trace file and the port file.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "server.h"

namespace {

// Binds and listens on the TCP address; returns 0 or -1 after a message.
int open_listener(AppdServer* sv, const AppdOptions* o) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    char port[16];
    snprintf(port, sizeof port, "%d", o->port);
    int rc = getaddrinfo(o->listen_addr, port, &hints, &found);
    if (rc != 0) {
        fprintf(stderr, "appd: %s: %s\n", o->listen_addr, gai_strerror(rc));
        return -1;
    }
    UniqueFd fd(socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    int one = 1;
    if (fd.valid()) setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    bool ok = fd.valid() && bind(fd.get(), found->ai_addr, found->ai_addrlen) == 0 &&
              listen(fd.get(), 512) == 0;
    freeaddrinfo(found);
    if (!ok) {
        fprintf(stderr, "appd: cannot listen on %s port %d: %s\n", o->listen_addr, o->port,
                strerror(errno));
        return -1;
    }
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &len);
    sv->port =
        ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    sv->listener = std::move(fd);
    return 0;
}

// Binds the control socket, replacing a stale file; returns 0 or -1.
int open_control(AppdServer* sv, const char* path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof addr.sun_path) {
        fprintf(stderr, "appd: control path too long: %s\n", path);
        return -1;
    }
    strcpy(addr.sun_path, path);
    unlink(path);
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid() || bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 ||
        listen(fd.get(), 16) < 0) {
        fprintf(stderr, "appd: cannot bind control socket %s: %s\n", path, strerror(errno));
        return -1;
    }
    sv->control_path = path;
    sv->control_listener = std::move(fd);
    return 0;
}

// Writes the port through a temporary file and a rename, so a reader never
// sees a half-written number. Returns 0 or -1.
int write_port_file(const char* path, int port) {
    std::string tmp = std::string(path) + ".tmp";
    FILE* f = fopen(tmp.c_str(), "w");
    if (f == nullptr) return -1;
    fprintf(f, "%d\n", port);
    if (fclose(f) != 0 || rename(tmp.c_str(), path) != 0) return -1;
    return 0;
}

// Everything appd_create sets up after the server object exists.
int setup(AppdServer* sv, const AppdOptions* o) {
    sv->epoll.reset(epoll_create1(EPOLL_CLOEXEC));
    int pipe_fds[2];
    if (!sv->epoll.valid() || pipe2(pipe_fds, O_NONBLOCK | O_CLOEXEC) < 0) {
        perror("appd: epoll");
        return -1;
    }
    sv->wake_read.reset(pipe_fds[0]);
    sv->wake_write.reset(pipe_fds[1]);
    if (open_listener(sv, o) < 0) return -1;
    if (o->control_path != nullptr && open_control(sv, o->control_path) < 0) return -1;
    if (o->trace_path != nullptr && (sv->trace = fopen(o->trace_path, "a")) == nullptr) {
        fprintf(stderr, "appd: cannot open trace %s: %s\n", o->trace_path, strerror(errno));
        return -1;
    }
    appd_watch(sv, sv->listener.get(), appd_token(kTokListener, 0), EPOLLIN);
    appd_watch(sv, sv->wake_read.get(), appd_token(kTokWake, 0), EPOLLIN);
    if (sv->control_listener.valid()) {
        appd_watch(sv, sv->control_listener.get(), appd_token(kTokControlListener, 0), EPOLLIN);
    }
    if (o->port_file != nullptr && write_port_file(o->port_file, sv->port) < 0) {
        fprintf(stderr, "appd: cannot write %s: %s\n", o->port_file, strerror(errno));
        return -1;
    }
    sv->request_log = o->request_log;
    sv->started = time(nullptr);
    return 0;
}

}  // namespace

AppdServer* appd_create(const AppdOptions* options) {
    auto sv = std::make_unique<AppdServer>();
    if (setup(sv.get(), options) < 0) {
        appd_destroy(sv.release());
        return nullptr;
    }
    return sv.release();
}

void appd_destroy(AppdServer* server) {
    if (server == nullptr) return;
    if (!server->control_path.empty()) unlink(server->control_path.c_str());
    if (server->trace != nullptr) fclose(server->trace);
    delete server;
}
