// Listener discovery and fan-out for the syslogd stand-in.
#include "listeners.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>

int listeners_init(SyslogListeners* l, std::string_view dir) {
    l->dir = std::string(dir);
    if (l->dir.empty() || l->dir.back() != '/') l->dir += '/';
    l->sender.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    return l->sender.valid() ? 0 : -1;
}

namespace {

bool same_file(const SyslogListener& a, const SyslogListener& b) {
    return a.path == b.path && a.dev == b.dev && a.ino == b.ino &&
           a.changed.tv_sec == b.changed.tv_sec && a.changed.tv_nsec == b.changed.tv_nsec;
}

}  // namespace

int listeners_rescan(SyslogListeners* l) {
    std::vector<SyslogListener> found, still_gone;
    DIR* dir = opendir(l->dir.c_str());
    if (dir != nullptr) {
        while (dirent* entry = readdir(dir)) {
            SyslogListener listener{l->dir + entry->d_name};
            struct stat st {};
            if (stat(listener.path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
            listener.dev = st.st_dev;
            listener.ino = st.st_ino;
            listener.changed = st.st_ctim;
            auto known = [&](const SyslogListener& g) { return same_file(g, listener); };
            if (std::any_of(l->gone.begin(), l->gone.end(), known)) {
                still_gone.push_back(listener);
            } else {
                found.push_back(listener);
            }
        }
        closedir(dir);
    }
    std::sort(found.begin(), found.end(),
              [](const SyslogListener& a, const SyslogListener& b) { return a.path < b.path; });
    l->listeners = std::move(found);
    l->gone = std::move(still_gone);  // files removed since need no remembering
    return static_cast<int>(l->listeners.size());
}

int listeners_send(SyslogListeners* l, std::string_view record) {
    int delivered = 0;
    auto keep = l->listeners.begin();
    for (auto it = l->listeners.begin(); it != l->listeners.end(); ++it) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (it->path.size() >= sizeof addr.sun_path) continue;  // cannot be addressed: drop
        memcpy(addr.sun_path, it->path.data(), it->path.size());
        ssize_t n;
        do {
            n = sendto(l->sender.get(), record.data(), record.size(), MSG_NOSIGNAL,
                       reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        } while (n < 0 && errno == EINTR);
        const int error = n < 0 ? errno : 0;
        if (error == ENOENT || error == ECONNREFUSED) {
            fprintf(stderr, "syslogd: listener %s has gone, dropped\n", it->path.c_str());
            if (error == ECONNREFUSED) l->gone.push_back(*it);  // its file stays behind
            continue;
        }
        if (n >= 0) ++delivered;
        if (keep != it) *keep = std::move(*it);
        ++keep;
    }
    l->listeners.erase(keep, l->listeners.end());
    return delivered;
}
