// The session's peers: who may send to its listener sockets.
#include "peers.h"

#include <pthread.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "client_lookup.h"
#include "mutex_lock.h"

namespace {

constexpr uid_t kNobody = static_cast<uid_t>(-1);  // no user has it

// The owner of the application's end, looked up at the first datagram of a
// user who is neither root nor the shell's: a read of the kernel's TCP
// tables walks every connection slot (milliseconds on a large machine), so
// the sessions of an application of root or of their own user never pay for
// it. Both readers may ask; the main thread notes the connection.
pthread_mutex_t owner_mut = PTHREAD_MUTEX_INITIALIZER;
unsigned long long connection_inode;  // under owner_mut; 0 while none is noted
bool owner_known;                     // under owner_mut
uid_t owner = kNobody;                // under owner_mut

uid_t application_owner() {
    MutexLock lock(owner_mut);
    if (!owner_known && connection_inode != 0) {
        unsigned uid = 0;
        owner =
            client_lookup_peer_owner(connection_inode, &uid) ? static_cast<uid_t>(uid) : kNobody;
        owner_known = true;
    }
    return owner;
}

}  // namespace

void peers_note_application(int socket) {
    struct stat st;
    MutexLock lock(owner_mut);
    connection_inode = fstat(socket, &st) == 0 ? st.st_ino : 0;
    owner_known = false;
    owner = kNobody;
}

bool peers_accept(const SocketSenderT& sender) {
    static const uid_t own = geteuid();
    if (sender.known == 0) return false;
    return sender.uid == 0 || sender.uid == own || sender.uid == application_owner();
}

void peers_describe(const SocketSenderT& sender, char* text) {
    snprintf(text, kSenderTextSize, "uid %u, pid %d", static_cast<unsigned>(sender.uid),
             static_cast<int>(sender.pid));
}
