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

int listeners_rescan(SyslogListeners* l) {
    l->paths.clear();
    DIR* dir = opendir(l->dir.c_str());
    if (dir == nullptr) return 0;
    while (dirent* entry = readdir(dir)) {
        std::string path = l->dir + entry->d_name;
        struct stat st {};
        if (stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) l->paths.push_back(path);
    }
    closedir(dir);
    std::sort(l->paths.begin(), l->paths.end());
    return static_cast<int>(l->paths.size());
}

int listeners_send(SyslogListeners* l, std::string_view record) {
    int delivered = 0;
    auto keep = l->paths.begin();
    for (auto it = l->paths.begin(); it != l->paths.end(); ++it) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (it->size() >= sizeof addr.sun_path) continue;  // cannot be addressed: drop
        memcpy(addr.sun_path, it->data(), it->size());
        ssize_t n;
        do {
            n = sendto(l->sender.get(), record.data(), record.size(), MSG_NOSIGNAL,
                       reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && (errno == ENOENT || errno == ECONNREFUSED)) {
            fprintf(stderr, "syslogd: listener %s has gone, dropped\n", it->c_str());
            continue;
        }
        if (n >= 0) ++delivered;
        if (keep != it) *keep = std::move(*it);
        ++keep;
    }
    l->paths.erase(keep, l->paths.end());
    return delivered;
}
