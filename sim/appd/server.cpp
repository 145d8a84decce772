// appd's event loop: one epoll set over the TCP listener, every session's
// connection and datagram socket, the control socket and a wake-up pipe.
// Everything is non-blocking; a full receiver parks the session's output
// queue until its socket reports room again.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdarg.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <array>
#include <chrono>

#include "server.h"

namespace {

enum TokenKind : uint32_t {
    kTokListener = 1,
    kTokControlListener,
    kTokWake,
    kTokSessionTcp,
    kTokSessionDgram,
    kTokControl,
};

enum SendResult { kSent, kAgain, kDropped };

// Packs what an epoll event belongs to: the kind of socket and its owner's id.
uint64_t token(uint32_t kind, uint32_t id) {
    return (static_cast<uint64_t>(kind) << 32) | id;
}

// Milliseconds of the monotonic clock.
int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Registers or changes fd's interest set; *current tracks what epoll holds.
void set_interest(AppdServer* sv, int fd, uint64_t tok, uint32_t* current, uint32_t wanted) {
    if (*current == wanted) return;
    epoll_event ev{};
    ev.events = wanted;
    ev.data.u64 = tok;
    epoll_ctl(sv->epoll.get(), EPOLL_CTL_MOD, fd, &ev);
    *current = wanted;
}

// Adds fd to the epoll set; returns 0 or -1.
int watch(AppdServer* sv, int fd, uint64_t tok, uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = tok;
    return epoll_ctl(sv->epoll.get(), EPOLL_CTL_ADD, fd, &ev);
}

// Brings the session's epoll interests in line with its state: no reading
// while a request waits for its answer, writing only while bytes wait.
void update_interest(AppdServer* sv, Session* s) {
    if (s->dead) return;
    uint32_t tcp = s->busy ? 0u : static_cast<uint32_t>(EPOLLIN);
    if (s->tcp_out_start < s->tcp_out.size()) tcp |= EPOLLOUT;
    set_interest(sv, s->tcp.get(), token(kTokSessionTcp, s->id), &s->tcp_events, tcp);
    if (s->dgram.valid()) {
        uint32_t dgram = s->dgram_blocked ? static_cast<uint32_t>(EPOLLOUT) : 0u;
        set_interest(sv, s->dgram.get(), token(kTokSessionDgram, s->id), &s->dgram_events, dgram);
    }
}

// Opens a datagram socket connected to the session's registered path. A
// connected socket lets epoll report when the receiver has room again.
// Returns 0, or -1 when the path cannot be reached.
int connect_dgram(AppdServer* sv, Session* s) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (s->path.empty() || s->path.size() >= sizeof addr.sun_path) return -1;
    memcpy(addr.sun_path, s->path.data(), s->path.size());
    UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return -1;
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) return -1;
    if (watch(sv, fd.get(), token(kTokSessionDgram, s->id), 0) < 0) return -1;
    s->dgram = std::move(fd);
    s->dgram_events = 0;
    s->dgram_blocked = false;
    return 0;
}

// Sends one datagram to the session's socket. A socket that has gone away
// (the shell may rebind the same path) is reconnected once; output for a
// session without a reachable socket is dropped, as the shell would lose it.
SendResult send_datagram(AppdServer* sv, Session* s, const std::string& bytes) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!s->dgram.valid() && connect_dgram(sv, s) < 0) break;
        ssize_t n;
        do {
            n = send(s->dgram.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        if (n >= 0) return kSent;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return kAgain;
        if (errno != ECONNREFUSED && errno != ENOTCONN && errno != ENOENT) break;
        s->dgram.reset();
    }
    appd_trace(sv, s->id, "!", "datagram dropped");
    return kDropped;
}

// Builds the next datagram of a numbered-lines item.
std::string numbered_chunk(const OutItem& item) {
    std::string out;
    for (unsigned i = 0; i < item.per_datagram && item.next + i <= item.count; ++i) {
        size_t start = out.size();
        out += item.tag;
        out += std::to_string(item.next + i);
        size_t len = out.size() - start;
        if (len < item.width) out.append(item.width - len, '.');
        out += '\n';
    }
    return out;
}

// Writes queued connection bytes until the socket is full. Closes the
// session when the connection has failed.
void write_tcp(AppdServer* sv, Session* s) {
    while (s->tcp_out_start < s->tcp_out.size()) {
        ssize_t n = send(s->tcp.get(), s->tcp_out.data() + s->tcp_out_start,
                         s->tcp_out.size() - s->tcp_out_start, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            appd_close_session(sv, s);
            return;
        }
        s->tcp_out_start += static_cast<size_t>(n);
    }
    s->tcp_out.clear();
    s->tcp_out_start = 0;
}

// Takes complete lines from the session's input while no request is waiting
// for its answer, then sends what they produced.
void process_input(AppdServer* sv, Session* s) {
    std::string line;
    while (!s->dead && !s->busy) {
        int rc = sim_linebuf_take(&s->in, &line);
        if (rc == 0) break;
        if (rc < 0) {
            appd_trace(sv, s->id, "!", "line too long, connection dropped");
            appd_close_session(sv, s);
            return;
        }
        if (line.empty()) continue;
        appd_handle_line(sv, s, line);
    }
    appd_flush(sv, s);
}

// Reads what the connection has; the end of the connection ends the session.
void read_session(AppdServer* sv, Session* s) {
    std::array<char, 16384> buf;
    ssize_t n = recv(s->tcp.get(), buf.data(), buf.size(), 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) {
        write_tcp(sv, s);  // answers already produced still go out
        appd_close_session(sv, s);
        return;
    }
    sim_linebuf_append(&s->in, buf.data(), static_cast<size_t>(n));
    process_input(sv, s);
}

// Accepts every pending connection as a new session.
void accept_sessions(AppdServer* sv) {
    for (;;) {
        int fd = accept4(sv->listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            return;
        }
        auto s = std::make_unique<Session>();
        s->id = sv->next_session_id++;
        s->tcp.reset(fd);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (watch(sv, fd, token(kTokSessionTcp, s->id), EPOLLIN) < 0) continue;
        s->tcp_events = EPOLLIN;
        appd_trace(sv, s->id, "*", "connected");
        sv->sessions.emplace(s->id, std::move(s));
    }
}

// Writes a control client's pending reply bytes.
void write_control(AppdServer* sv, ControlClient* c) {
    while (!c->out.empty()) {
        ssize_t n = send(c->fd.get(), c->out.data(), c->out.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) c->dead = true;
            break;
        }
        c->out.erase(0, static_cast<size_t>(n));
    }
    uint32_t wanted = EPOLLIN | (c->out.empty() ? 0u : static_cast<uint32_t>(EPOLLOUT));
    if (!c->dead) set_interest(sv, c->fd.get(), token(kTokControl, c->id), &c->events, wanted);
}

// Reads control lines and executes them, in order.
void read_control(AppdServer* sv, ControlClient* c) {
    std::array<char, 16384> buf;
    ssize_t n = recv(c->fd.get(), buf.data(), buf.size(), 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) {
        c->dead = true;
        return;
    }
    sim_linebuf_append(&c->in, buf.data(), static_cast<size_t>(n));
    std::string line;
    int rc;
    while (!sv->stopping && (rc = sim_linebuf_take(&c->in, &line)) != 0) {
        if (rc < 0) {
            c->out += "error: line too long\n";
            c->dead = true;
            break;
        }
        if (line.empty()) continue;
        if (appd_control_execute(sv, line, &c->out)) sv->stopping = true;
    }
    write_control(sv, c);
}

// Accepts every pending control connection.
void accept_controls(AppdServer* sv) {
    for (;;) {
        int fd =
            accept4(sv->control_listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            return;
        }
        auto c = std::make_unique<ControlClient>();
        c->id = sv->next_control_id++;
        c->fd.reset(fd);
        c->in.max_line = kControlLineMax;
        if (watch(sv, fd, token(kTokControl, c->id), EPOLLIN) < 0) continue;
        c->events = EPOLLIN;
        sv->controls.emplace(c->id, std::move(c));
    }
}

// Handles one epoll event.
void dispatch(AppdServer* sv, const epoll_event& ev) {
    auto kind = static_cast<uint32_t>(ev.data.u64 >> 32);
    auto id = static_cast<uint32_t>(ev.data.u64 & 0xFFFFFFFFu);
    switch (kind) {
        case kTokListener:
            accept_sessions(sv);
            return;
        case kTokControlListener:
            accept_controls(sv);
            return;
        case kTokWake: {
            char drain[64];
            while (read(sv->wake_read.get(), drain, sizeof drain) > 0) {
            }
            sv->stopping = true;
            return;
        }
        case kTokSessionTcp: {
            Session* s = appd_find_session(sv, id);
            if (s == nullptr) return;
            if (ev.events & (EPOLLIN | EPOLLERR | EPOLLHUP)) read_session(sv, s);
            if (!s->dead && (ev.events & EPOLLOUT)) appd_flush(sv, s);
            return;
        }
        case kTokSessionDgram: {
            Session* s = appd_find_session(sv, id);
            if (s == nullptr) return;
            if (ev.events & EPOLLERR) s->dgram.reset();  // reconnected on the next send
            s->dgram_blocked = false;
            appd_flush(sv, s);
            return;
        }
        case kTokControl: {
            auto it = sv->controls.find(id);
            if (it == sv->controls.end()) return;
            ControlClient* c = it->second.get();
            if (ev.events & (EPOLLIN | EPOLLERR | EPOLLHUP)) read_control(sv, c);
            if (!c->dead && (ev.events & EPOLLOUT)) write_control(sv, c);
            if (c->dead) sv->controls.erase(it);
            return;
        }
        default:
            return;
    }
}

// Removes the sessions closed during the last event, keeping the request
// lists of the most recent ones for "requests".
void reap(AppdServer* sv) {
    for (unsigned id : sv->reap_list) {
        auto it = sv->sessions.find(id);
        if (it == sv->sessions.end()) continue;
        sv->closed_requests[id] = std::move(it->second->requests);
        sv->sessions.erase(it);
        while (sv->closed_requests.size() > kClosedSessionsKept) {
            sv->closed_requests.erase(sv->closed_requests.begin());
        }
    }
    sv->reap_list.clear();
}

// Answers the parked requests whose lag has run out.
void fire_timers(AppdServer* sv) {
    int64_t now = now_ms();
    while (!sv->timers.empty() && sv->timers.begin()->first <= now) {
        unsigned id = sv->timers.begin()->second;
        sv->timers.erase(sv->timers.begin());
        Session* s = appd_find_session(sv, id);
        if (s == nullptr || !s->busy || s->waiting_for_release) continue;
        s->busy = false;
        appd_answer(sv, s, std::move(s->pending_answer));
        process_input(sv, s);
    }
}

// Milliseconds until the next timer, -1 when none is armed.
int next_timeout(const AppdServer* sv) {
    if (sv->timers.empty()) return -1;
    int64_t wait = sv->timers.begin()->first - now_ms();
    if (wait < 0) return 0;
    return wait > 60000 ? 60000 : static_cast<int>(wait);
}

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
    watch(sv, sv->listener.get(), token(kTokListener, 0), EPOLLIN);
    watch(sv, sv->wake_read.get(), token(kTokWake, 0), EPOLLIN);
    if (sv->control_listener.valid()) {
        watch(sv, sv->control_listener.get(), token(kTokControlListener, 0), EPOLLIN);
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

Session* appd_find_session(AppdServer* sv, unsigned id) {
    auto it = sv->sessions.find(id);
    if (it == sv->sessions.end() || it->second->dead) return nullptr;
    return it->second.get();
}

void appd_queue_datagram(Session* s, std::string bytes) {
    if (!s->registered) return;  // output of an unregistered session has nowhere to go
    OutItem item;
    item.kind = OutItem::kDatagram;
    item.bytes = std::move(bytes);
    s->outbox.push_back(std::move(item));
}

void appd_print(Session* s, std::string_view line) {
    std::string bytes(line);
    bytes += '\n';
    appd_queue_datagram(s, std::move(bytes));
}

void appd_printf(Session* s, const char* fmt, ...) {
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    appd_print(s, line);
}

void appd_queue_tcp(Session* s, std::string bytes) {
    OutItem item;
    item.kind = OutItem::kTcp;
    item.bytes = std::move(bytes);
    s->outbox.push_back(std::move(item));
}

void appd_queue_numbered(Session* s, std::string tag, unsigned count, unsigned width,
                         unsigned per_datagram) {
    if (!s->registered) return;
    OutItem item;
    item.kind = OutItem::kNumbered;
    item.tag = std::move(tag);
    item.count = count;
    item.width = width;
    item.per_datagram = per_datagram == 0 ? 1 : per_datagram;
    s->outbox.push_back(std::move(item));
}

void appd_flush(AppdServer* sv, Session* s) {
    if (s->dead) return;
    while (!s->outbox.empty() && !s->dgram_blocked) {
        OutItem& item = s->outbox.front();
        if (item.kind == OutItem::kTcp) {
            std::string_view shown = item.bytes;
            if (!shown.empty() && shown.back() == '\n') shown.remove_suffix(1);
            appd_trace(sv, s->id, ">", sim_escape(shown));
            s->tcp_out += item.bytes;
            s->outbox.pop_front();
            continue;
        }
        if (item.kind == OutItem::kNumbered && item.next > item.count) {
            s->outbox.pop_front();
            continue;
        }
        std::string chunk;
        const std::string& bytes =
            item.kind == OutItem::kDatagram ? item.bytes : (chunk = numbered_chunk(item));
        if (send_datagram(sv, s, bytes) == kAgain) {
            s->dgram_blocked = true;
            break;
        }
        if (item.kind == OutItem::kNumbered) {
            item.next += item.per_datagram;
            if (item.next <= item.count) continue;
        }
        s->outbox.pop_front();
    }
    write_tcp(sv, s);
    update_interest(sv, s);
}

void appd_close_session(AppdServer* sv, Session* s) {
    if (s->dead) return;
    s->dead = true;
    appd_trace(sv, s->id, "*", "closed");
    s->tcp.reset();
    s->dgram.reset();
    s->outbox.clear();
    sv->reap_list.push_back(s->id);
}

void appd_answer(AppdServer* sv, Session* s, std::string line) {
    if (sv->hold_all) {
        s->busy = true;
        s->waiting_for_release = true;
        s->pending_answer = std::move(line);
        return;
    }
    appd_log_answer(sv, s, line);
    line += '\n';
    appd_queue_tcp(s, std::move(line));
}

void appd_answer_later(AppdServer* sv, Session* s, std::string line, int ms) {
    s->busy = true;
    s->pending_answer = std::move(line);
    sv->timers.emplace(now_ms() + (ms < 0 ? 0 : ms), s->id);
}

void appd_release_held(AppdServer* sv) {
    for (auto& [id, s] : sv->sessions) {
        if (s->dead || !s->waiting_for_release) continue;
        s->waiting_for_release = false;
        s->busy = false;
        appd_answer(sv, s.get(), std::move(s->pending_answer));
        process_input(sv, s.get());
    }
}

void appd_trace(AppdServer* sv, unsigned id, const char* dir, std::string_view line) {
    if (sv->trace == nullptr) return;
    fprintf(sv->trace, "%u %s %.*s\n", id, dir, static_cast<int>(line.size()), line.data());
    fflush(sv->trace);
}

AppdServer* appd_create(const AppdOptions* options) {
    auto sv = std::make_unique<AppdServer>();
    if (setup(sv.get(), options) < 0) {
        appd_destroy(sv.release());
        return nullptr;
    }
    return sv.release();
}

int appd_port(const AppdServer* server) {
    return server->port;
}

int appd_run(AppdServer* sv) {
    std::array<epoll_event, 64> events;
    while (!sv->stopping) {
        int n = epoll_wait(sv->epoll.get(), events.data(), static_cast<int>(events.size()),
                           next_timeout(sv));
        if (n < 0) {
            if (errno == EINTR) continue;
            perror("appd: epoll_wait");
            return -1;
        }
        for (int i = 0; i < n && !sv->stopping; ++i) {
            dispatch(sv, events[i]);
            reap(sv);
        }
        fire_timers(sv);
        reap(sv);
    }
    return 0;
}

void appd_request_stop(AppdServer* server) {
    ssize_t rc = write(server->wake_write.get(), "x", 1);
    (void)rc;  // a full pipe already holds a wake-up
}

void appd_destroy(AppdServer* server) {
    if (server == nullptr) return;
    if (!server->control_path.empty()) unlink(server->control_path.c_str());
    if (server->trace != nullptr) fclose(server->trace);
    delete server;
}
