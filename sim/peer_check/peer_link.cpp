// The checker's sessions: connecting, binding the session socket, sending
// lines and taking in everything the application sends back, stamped.
#include "peer_link.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <array>
#include <chrono>

namespace {

// The bound socket paths, as plain arrays, so that a signal handler can
// remove them without touching the heap.
constexpr int kSlots = 256;
char g_slot_path[kSlots][sizeof(sockaddr_un::sun_path)];
volatile sig_atomic_t g_slot_used[kSlots];

int take_slot(const std::string& path) {
    for (int i = 0; i < kSlots; ++i) {
        if (g_slot_used[i]) continue;
        memcpy(g_slot_path[i], path.c_str(), path.size() + 1);
        g_slot_used[i] = 1;
        return i;
    }
    return -1;
}

// Notes what failed with the system's reason; returns -1.
int fail(std::string* error, const char* what) {
    *error = std::string(what) + ": " + strerror(errno);
    return -1;
}

// Reads what the connection has and cuts it into lines; notes its end.
void read_tcp(PeerLink* link) {
    std::array<char, 16384> buf;
    const ssize_t n = recv(link->tcp.get(), buf.data(), buf.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    const int64_t now = peer_now_us();
    if (n <= 0) {
        link->ended = n == 0 ? "closed" : std::string("error: ") + strerror(errno);
        if (sim_linebuf_pending(&link->in) > 0)
            link->ended += " after the unterminated line \"" +
                           sim_escape(link->in.data.substr(link->in.start, 80)) + "\"";
        return;
    }
    sim_linebuf_append(&link->in, buf.data(), static_cast<size_t>(n));
    std::string line;
    int rc;
    while ((rc = sim_linebuf_take(&link->in, &line)) > 0)
        link->lines.push_back({now, line});
    if (rc < 0) link->ended = "a line longer than 16384 bytes";
}

// Takes one datagram from the socket, with its sender.
void read_dgram(PeerLink* link) {
    static std::array<char, 65536> buf;
    iovec data{buf.data(), buf.size()};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(ucred))> control;
    msghdr msg{};
    msg.msg_iov = &data;
    msg.msg_iovlen = 1;
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    const ssize_t n = recvmsg(link->dgram.get(), &msg, MSG_DONTWAIT);
    if (n < 0) return;
    Received got{peer_now_us(), std::string(buf.data(), static_cast<size_t>(n))};
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_CREDENTIALS) continue;
        ucred sender{};
        memcpy(&sender, CMSG_DATA(c), sizeof sender);
        got.uid = static_cast<long>(sender.uid);
        got.pid = static_cast<long>(sender.pid);
    }
    link->datagrams.push_back(std::move(got));
}

// The owner of the socket in the kernel's TCP table (path) whose local and
// remote ends are the ones given, as the table writes them; -1 if none.
long table_uid(const char* path, const std::string& local, const std::string& remote) {
    FILE* table = fopen(path, "r");
    if (table == nullptr) return -1;
    char line[512];
    long uid = -1;
    while (uid < 0 && fgets(line, sizeof line, table) != nullptr) {
        char here[40], there[40];
        long owner = -1;
        if (sscanf(line, "%*s %39s %39s %*x %*x:%*x %*x:%*x %*x %ld", here, there, &owner) == 3 &&
            local == here && remote == there)
            uid = owner;
    }
    fclose(table);
    return uid;
}

// An IPv4 end as the TCP tables write it: the address's four bytes as the
// machine reads them as one number, then the port; IPv4-mapped in tcp6.
std::string table_end(const sockaddr_in& end, bool mapped) {
    const unsigned char prefix[4] = {0, 0, 0xFF, 0xFF};
    uint32_t word = 0;
    memcpy(&word, prefix, sizeof word);
    char text[48];
    if (mapped)
        snprintf(text, sizeof text, "0000000000000000%08X%08X:%04X", word, end.sin_addr.s_addr,
                 ntohs(end.sin_port));
    else
        snprintf(text, sizeof text, "%08X:%04X", end.sin_addr.s_addr, ntohs(end.sin_port));
    return text;
}

}  // namespace

PeerLink::~PeerLink() {
    if (slot < 0) return;
    unlink(path.c_str());
    g_slot_used[slot] = 0;
}

int64_t peer_now_us() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

int peer_connect(PeerLink* link, const sockaddr_in& address, int timeout_ms, std::string* error) {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return fail(error, "socket");
    const int rc = connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (rc < 0 && errno != EINPROGRESS) return fail(error, "connect");
    if (rc < 0) {
        pollfd p{fd.get(), POLLOUT, 0};
        const int n = poll(&p, 1, timeout_ms);
        if (n == 0) {
            *error = "no connection within " + std::to_string(timeout_ms) + " ms";
            return -1;
        }
        int pending = 0;
        socklen_t len = sizeof pending;
        if (n < 0 || getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &pending, &len) < 0)
            return fail(error, "connect");
        errno = pending;
        if (pending != 0) return fail(error, "connect");
    }
    fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    const int one = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    link->tcp = std::move(fd);
    return 0;
}

bool peer_is_local(const PeerLink* link) {
    sockaddr_in mine{}, theirs{};
    socklen_t mine_len = sizeof mine, theirs_len = sizeof theirs;
    if (getsockname(link->tcp.get(), reinterpret_cast<sockaddr*>(&mine), &mine_len) < 0 ||
        getpeername(link->tcp.get(), reinterpret_cast<sockaddr*>(&theirs), &theirs_len) < 0)
        return false;
    return ntohl(theirs.sin_addr.s_addr) >> 24 == 127 ||
           theirs.sin_addr.s_addr == mine.sin_addr.s_addr;
}

std::string peer_own_address(const PeerLink* link) {
    sockaddr_in mine{};
    socklen_t len = sizeof mine;
    char text[INET_ADDRSTRLEN] = "";
    if (getsockname(link->tcp.get(), reinterpret_cast<sockaddr*>(&mine), &len) == 0)
        inet_ntop(AF_INET, &mine.sin_addr, text, sizeof text);
    return text;
}

long peer_application_uid(const PeerLink* link) {
    sockaddr_in mine{}, theirs{};
    socklen_t mine_len = sizeof mine, theirs_len = sizeof theirs;
    if (getsockname(link->tcp.get(), reinterpret_cast<sockaddr*>(&mine), &mine_len) < 0 ||
        getpeername(link->tcp.get(), reinterpret_cast<sockaddr*>(&theirs), &theirs_len) < 0)
        return -1;
    const long uid = table_uid("/proc/net/tcp", table_end(theirs, false), table_end(mine, false));
    if (uid >= 0) return uid;
    return table_uid("/proc/net/tcp6", table_end(theirs, true), table_end(mine, true));
}

int peer_bind(PeerLink* link, const std::string& path, std::string* error) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        *error = "socket path too long: " + path;
        return -1;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return fail(error, "socket");
    const int slot = take_slot(path);
    if (slot < 0) {
        *error = "too many sockets at once";
        return -1;
    }
    unlink(path.c_str());  // left by an earlier run that had this process id
    const int one = 1;
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 ||
        chmod(path.c_str(), 0666) < 0 ||
        setsockopt(fd.get(), SOL_SOCKET, SO_PASSCRED, &one, sizeof one) < 0) {
        g_slot_used[slot] = 0;
        return fail(error, path.c_str());
    }
    link->dgram = std::move(fd);
    link->path = path;
    link->slot = slot;
    return 0;
}

int peer_send(PeerLink* link, std::string_view line) {
    link->last_sent = line;
    std::string bytes(line);
    bytes += '\n';
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
            send(link->tcp.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        sent += static_cast<size_t>(n);
    }
    return 0;
}

bool peer_pump(const std::vector<PeerLink*>& links, int64_t deadline_us,
               const std::function<bool()>& done) {
    std::vector<pollfd> fds;
    for (;;) {
        if (done()) return true;
        const int64_t left_us = deadline_us - peer_now_us();
        if (left_us <= 0) return false;
        fds.clear();
        for (const PeerLink* link : links) {
            fds.push_back({link->ended.empty() ? link->tcp.get() : -1, POLLIN, 0});
            fds.push_back({link->dgram.get(), POLLIN, 0});
        }
        const int n = poll(fds.data(), fds.size(), static_cast<int>((left_us + 999) / 1000));
        if (n < 0 && errno != EINTR) return false;
        for (size_t i = 0; n > 0 && i < links.size(); ++i) {
            if (fds[2 * i].revents != 0) read_tcp(links[i]);
            if (fds[2 * i + 1].revents != 0) read_dgram(links[i]);
        }
    }
}

void peer_settle(const std::vector<PeerLink*>& links, int quiet_ms, int64_t deadline_us) {
    auto events = [&] {
        size_t n = 0;
        for (const PeerLink* link : links)
            n += link->lines.size() + link->datagrams.size() + (link->ended.empty() ? 0 : 1);
        return n;
    };
    for (;;) {
        const size_t before = events();
        const int64_t window = std::min(deadline_us, peer_now_us() + int64_t{quiet_ms} * 1000);
        peer_pump(links, window, [&] { return events() != before; });
        if (events() == before || peer_now_us() >= deadline_us) return;
    }
}

void peer_clear(PeerLink* link) {
    link->lines.clear();
    link->datagrams.clear();
}

void peer_remove_all_sockets() {
    for (int i = 0; i < kSlots; ++i) {
        if (g_slot_used[i]) unlink(g_slot_path[i]);
    }
}
