// The session's peers: who may send to its listener sockets.
#include "peers.h"

#include <stdio.h>
#include <unistd.h>

#include <atomic>

#include "client_lookup.h"

namespace {

constexpr uid_t kNobody = static_cast<uid_t>(-1);  // no user has it

// The owner of the application's end; set by the main thread while the log
// reader may already be reading it.
std::atomic<uid_t> application_uid{kNobody};

}  // namespace

void peers_note_application(int socket) {
    unsigned uid = 0;
    application_uid = client_lookup_peer_owner(socket, &uid) ? static_cast<uid_t>(uid) : kNobody;
}

bool peers_accept(const SocketSenderT& sender) {
    static const uid_t own = geteuid();
    if (sender.known == 0) return false;
    return sender.uid == 0 || sender.uid == own ||
           sender.uid == application_uid.load(std::memory_order_relaxed);
}

void peers_describe(const SocketSenderT& sender, char* text) {
    snprintf(text, kSenderTextSize, "uid %u, pid %d", static_cast<unsigned>(sender.uid),
             static_cast<int>(sender.pid));
}
