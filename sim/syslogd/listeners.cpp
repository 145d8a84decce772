// Listener discovery and fan-out for the syslogd stand-in.
#include "listeners.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>

int listeners_init(SyslogListeners* l, std::string_view dir) {
    l->dir = std::string(dir);
    if (l->dir.empty() || l->dir.back() != '/') l->dir += '/';
    l->sender.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    return l->sender.valid() ? 0 : -1;
}

namespace {

// Fills addr with path; false when the path does not fit.
bool socket_address(const std::string& path, sockaddr_un* addr) {
    *addr = sockaddr_un{};
    addr->sun_family = AF_UNIX;
    if (path.size() >= sizeof addr->sun_path) return false;
    memcpy(addr->sun_path, path.data(), path.size());
    return true;
}

// Whether the file at path is a socket of root or of this logger's user
// that takes datagrams now: probe, an unbound datagram socket, connects to it.
bool live_trusted_socket(const std::string& path, int probe) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
    if (st.st_uid != 0 && st.st_uid != geteuid()) return false;
    sockaddr_un addr;
    return socket_address(path, &addr) &&
           connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

}  // namespace

int listeners_rescan(SyslogListeners* l) {
    std::vector<SyslogListener> found;
    UniqueFd probe(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    DIR* dir = opendir(l->dir.c_str());
    if (dir != nullptr) {
        while (dirent* entry = readdir(dir)) {
            SyslogListener listener{l->dir + entry->d_name};
            if (live_trusted_socket(listener.path, probe.get())) found.push_back(listener);
        }
        closedir(dir);
    }
    std::sort(found.begin(), found.end(),
              [](const SyslogListener& a, const SyslogListener& b) { return a.path < b.path; });
    l->listeners = std::move(found);
    return static_cast<int>(l->listeners.size());
}

int listeners_send(SyslogListeners* l, std::string_view record) {
    int delivered = 0;
    auto keep = l->listeners.begin();
    for (auto it = l->listeners.begin(); it != l->listeners.end(); ++it) {
        sockaddr_un addr;
        if (!socket_address(it->path, &addr)) continue;  // cannot be addressed: drop
        ssize_t n;
        do {
            n = sendto(l->sender.get(), record.data(), record.size(), MSG_NOSIGNAL,
                       reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        } while (n < 0 && errno == EINTR);
        const int error = n < 0 ? errno : 0;
        if (error == ENOENT || error == ECONNREFUSED) {
            fprintf(stderr, "syslogd: listener %s has gone, dropped\n", it->path.c_str());
            continue;
        }
        if (n >= 0) ++delivered;
        if (keep != it) *keep = std::move(*it);
        ++keep;
    }
    l->listeners.erase(keep, l->listeners.end());
    return delivered;
}
