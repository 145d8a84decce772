// appd's sessions: accepting them, reading their request lines, and their
// output queue, sent as datagrams to the registered socket and as answer
// lines on the connection, in order.
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>

#include "server.h"

namespace {

enum SendResult { kSent, kAgain, kDropped };

// The user whose credentials the breach kForeignSender claims: nobody's.
constexpr uid_t kStrangerUid = 65534;

// Sends bytes on the connected datagram socket fd; under the breach
// kForeignSender with a stranger's credentials, which root may claim.
ssize_t send_bytes(const AppdServer* sv, int fd, std::string_view bytes) {
    if (sv->breach != Breach::kForeignSender)
        return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    iovec data{const_cast<char*>(bytes.data()), bytes.size()};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(ucred))> control{};
    msghdr msg{};
    msg.msg_iov = &data;
    msg.msg_iovlen = 1;
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    cmsghdr* header = CMSG_FIRSTHDR(&msg);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_CREDENTIALS;
    header->cmsg_len = CMSG_LEN(sizeof(ucred));
    const ucred stranger{getpid(), kStrangerUid, kStrangerUid};
    memcpy(CMSG_DATA(header), &stranger, sizeof stranger);
    return sendmsg(fd, &msg, MSG_NOSIGNAL);
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
    if (appd_watch(sv, fd.get(), appd_token(kTokSessionDgram, s->id), 0) < 0) return -1;
    s->dgram = std::move(fd);
    s->dgram_events = 0;
    s->dgram_blocked = false;
    return 0;
}

// Sends one datagram to the session's socket. A socket that has gone away
// (the shell may rebind the same path) is reconnected once; output for a
// session without a reachable socket is dropped, as the shell would lose it.
SendResult send_datagram(AppdServer* sv, Session* s, const std::string& bytes) {
    std::string_view out = bytes;
    if (sv->breach == Breach::kOutputOnConnection) {
        s->tcp_out += bytes;
        return kSent;
    }
    if (sv->breach == Breach::kOutputUnterminated && out.ends_with('\n')) out.remove_suffix(1);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!s->dgram.valid() && connect_dgram(sv, s) < 0) break;
        ssize_t n;
        do {
            n = send_bytes(sv, s->dgram.get(), out);
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

}  // namespace

// Takes complete lines from the session's input while no request is waiting
// for its answer, then sends what they produced.
void appd_process_input(AppdServer* sv, Session* s) {
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
void appd_read_session(AppdServer* sv, Session* s) {
    std::array<char, 16384> buf;
    ssize_t n = recv(s->tcp.get(), buf.data(), buf.size(), 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) {
        write_tcp(sv, s);  // answers already produced still go out
        if (sv->breach == Breach::kKeepOpen) {
            epoll_ctl(sv->epoll.get(), EPOLL_CTL_DEL, s->tcp.get(), nullptr);
            sv->kept_open.push_back(std::move(s->tcp));
        }
        appd_close_session(sv, s);
        return;
    }
    sim_linebuf_append(&s->in, buf.data(), static_cast<size_t>(n));
    appd_process_input(sv, s);
}

// Accepts every pending connection as a new session.
void appd_accept_sessions(AppdServer* sv) {
    for (int fd; (fd = appd_accept(sv->listener.get())) >= 0;) {
        auto s = std::make_unique<Session>();
        s->id = sv->next_session_id++;
        s->tcp.reset(fd);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (appd_watch(sv, fd, appd_token(kTokSessionTcp, s->id), EPOLLIN) < 0) continue;
        s->tcp_events = EPOLLIN;
        appd_trace(sv, s->id, "*", "connected");
        sv->sessions.emplace(s->id, std::move(s));
    }
}

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
    appd_update_interest(sv, s);
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

void appd_trace(AppdServer* sv, unsigned id, const char* dir, std::string_view line) {
    if (sv->trace == nullptr) return;
    fprintf(sv->trace, "%u %s %.*s\n", id, dir, static_cast<int>(line.size()), line.data());
    fflush(sv->trace);
}
