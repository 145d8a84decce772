// The session's client, from the sockets of the shell and its ancestors and
// the kernel's TCP tables (see client_lookup.h).
#include "client_lookup.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <memory>

namespace {

constexpr int kTableLineSize = 512;    // a line of a TCP table (about 150 bytes)
constexpr size_t kProcPathSize = 64;   // "/proc/<pid>/stat"
constexpr size_t kProcStatHead = 512;  // a stat line up to the parent's pid, whatever the name
constexpr int kMaxAncestors = 32;      // the shell and the processes above it that are looked at
constexpr unsigned kEstablished = 1;
constexpr unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

// Writes the address bytes as text: an IPv4-mapped address (but
// ::ffff:0.0.0.0) in its dotted IPv4 form, any other as IPv6.
void address_text(const unsigned char (&bytes)[16], char* text) {
    static constexpr unsigned char any4[4] = {0, 0, 0, 0};
    if (memcmp(bytes, kMapped, sizeof kMapped) == 0 &&
        memcmp(bytes + sizeof kMapped, any4, sizeof any4) != 0) {
        inet_ntop(AF_INET, bytes + sizeof kMapped, text, INET_ADDRSTRLEN);
    } else {
        inet_ntop(AF_INET6, bytes, text, INET6_ADDRSTRLEN);
    }
}

// Reads a table's address ("<hex>:<port>": 8 or 32 hex digits, each 32-bit
// word printed from memory in the kernel's byte order, so storing it back
// the same way restores the bytes; swapped when that order is not this
// program's). An IPv4 address becomes IPv4-mapped. Returns false for
// anything else.
bool table_address(const char* text, unsigned char (&bytes)[16], unsigned* port, bool swapped) {
    const char* colon = strchr(text, ':');
    const size_t digits = colon != nullptr ? static_cast<size_t>(colon - text) : 0;
    if (digits != 8 && digits != 32) return false;
    unsigned char* out = bytes;
    if (digits == 8) {
        memcpy(bytes, kMapped, sizeof kMapped);
        out += sizeof kMapped;
    }
    for (size_t i = 0; i < digits; i += 8, out += 4) {
        char word_text[9] = {};
        memcpy(word_text, text + i, 8);
        char* end = nullptr;
        auto word = static_cast<uint32_t>(strtoul(word_text, &end, 16));
        if (*end != '\0') return false;
        if (swapped) word = __builtin_bswap32(word);
        memcpy(out, &word, sizeof word);
    }
    *port = static_cast<unsigned>(strtoul(colon + 1, nullptr, 16));
    return true;
}

// Reads the next line of table into line (size bytes), dropping what does
// not fit. Returns false at the end.
bool next_table_line(FILE* table, char* line, int size) {
    if (fgets(line, size, table) == nullptr) return false;
    if (strchr(line, '\n') == nullptr) {
        int c;
        while ((c = fgetc(table)) != EOF && c != '\n') {
        }
    }
    return true;
}

// One connection of a TCP table: its two ends as the table writes them (the
// address in hex, ':', the port in hex), its state, its owner and its
// socket's inode number.
struct TableEntry {
    char local[48];
    char remote[48];
    unsigned state = 0;
    unsigned uid = 0;
    unsigned long long inode = 0;
};

// Reads the entry of one line of a table. Returns false for anything else.
bool table_entry(const char* line, TableEntry* entry) {
    return sscanf(line, "%*s %47s %47s %x %*s %*s %*s %u %*s %llu", entry->local, entry->remote,
                  &entry->state, &entry->uid, &entry->inode) == 5;
}

// The distance of the holder of the socket inode in held, or -1.
int holder_depth(const HeldSockets& held, unsigned long long inode) {
    for (int i = 0; i < held.count; ++i)
        if (held.inode[i] == inode) return held.depth[i];
    return -1;
}

}  // namespace

void client_lookup_table(FILE* table, unsigned port, const HeldSockets* held, ClientFound* found) {
    // Line by line, each scanned on its own: scanned as one stream, a
    // format's closing "\n" reads on past the entry found into the next
    // line, and every read of the kernel's table walks all of its
    // connection slots again.
    char line[kTableLineSize];
    if (!next_table_line(table, line, sizeof line)) return;  // the heading
    while (next_table_line(table, line, sizeof line)) {
        if (held == nullptr && found->depth >= 0) return;
        TableEntry e;
        unsigned local_port = 0, remote_port = 0;
        unsigned char local_bytes[16], bytes[16];
        if (!table_entry(line, &e) || e.state != kEstablished ||
            !table_address(e.local, local_bytes, &local_port, found->swapped) ||
            local_port != port || !table_address(e.remote, bytes, &remote_port, found->swapped)) {
            continue;
        }
        const int depth = held != nullptr ? holder_depth(*held, e.inode) : 0;
        if (depth < 0 || (found->depth >= 0 && depth >= found->depth)) continue;
        found->depth = depth;
        address_text(bytes, found->address);
    }
}

namespace {

// The key of one end of a connection as a table writes it: an IPv4-mapped
// address in the IPv6 table (its third word 0000FFFF or FFFF0000, as the
// machine prints it) becomes the IPv4 table's form, so the two tables'
// entries compare. The words are compared as printed, never turned into
// bytes: an emulated machine reads the tables in the order of the machine
// that wrote them.
void end_key(const char* end, char* key, size_t size) {
    const bool mapped =
        strncmp(end, "0000000000000000", 16) == 0 &&
        (strncmp(end + 16, "0000FFFF", 8) == 0 || strncmp(end + 16, "FFFF0000", 8) == 0) &&
        end[32] == ':';
    snprintf(key, size, "%s", mapped ? end + 24 : end);
}

// Finds in table, from its start, the established connection that
// matches: the one whose socket is inode when inode is not 0, else the one
// from local to remote (keys). Returns false when none does.
bool find_entry(FILE* table, unsigned long long inode, const char* local, const char* remote,
                TableEntry* found) {
    rewind(table);
    char line[kTableLineSize];
    if (!next_table_line(table, line, sizeof line)) return false;  // the heading
    while (next_table_line(table, line, sizeof line)) {
        char local_key[48], remote_key[48];
        if (!table_entry(line, found) || found->state != kEstablished) continue;
        if (inode != 0) {
            if (found->inode == inode) return true;
            continue;
        }
        end_key(found->local, local_key, sizeof local_key);
        end_key(found->remote, remote_key, sizeof remote_key);
        if (strcmp(local_key, local) == 0 && strcmp(remote_key, remote) == 0) return true;
    }
    return false;
}

}  // namespace

bool client_lookup_peer_owner_in(FILE* const* tables, int count, unsigned long long inode,
                                 unsigned* uid) {
    TableEntry own, peer;
    int i = 0;
    while (i < count && !find_entry(tables[i], inode, nullptr, nullptr, &own))
        ++i;
    if (i == count) return false;
    char local[48], remote[48];
    end_key(own.local, local, sizeof local);
    end_key(own.remote, remote, sizeof remote);
    for (i = 0; i < count; ++i) {
        // The far end is the connection from this one's remote end to its local one.
        if (find_entry(tables[i], 0, remote, local, &peer)) {
            *uid = peer.uid;
            return true;
        }
    }
    return false;
}

namespace {

// Adds the sockets that process pid holds to held, at distance depth.
void add_sockets_of(long pid, int depth, HeldSockets* held) {
    char dir_path[kProcPathSize];
    snprintf(dir_path, sizeof dir_path, "/proc/%ld/fd", pid);
    const std::unique_ptr<DIR, int (*)(DIR*)> fds(opendir(dir_path), closedir);
    if (!fds) return;  // not ours to look at: another user's, or gone
    while (const dirent* entry = readdir(fds.get())) {
        if (held->count == HeldSockets::kMax) return;
        char target[64];
        const ssize_t n = readlinkat(dirfd(fds.get()), entry->d_name, target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        unsigned long long inode = 0;
        if (sscanf(target, "socket:[%llu]", &inode) != 1) continue;
        held->inode[held->count] = inode;
        held->depth[held->count++] = depth;
    }
}

// The parent of process pid, from its stat line (after the name, which may
// hold anything, and the state), or 0.
long parent_of(long pid) {
    char path[kProcPathSize];
    snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char stat[kProcStatHead];
    const ssize_t n = read(fd, stat, sizeof stat - 1);
    close(fd);
    if (n <= 0) return 0;
    stat[n] = '\0';
    const char* name_end = strrchr(stat, ')');
    long parent = 0;
    if (name_end == nullptr || sscanf(name_end, ") %*c %ld", &parent) != 1) return 0;
    return parent;
}

// The client that sshd names first in SSH_CONNECTION ("client port server
// port"), into *found. Returns false without one.
bool ssh_client(ClientFound* found) {
    const char* connection = getenv("SSH_CONNECTION");
    if (connection == nullptr) return false;
    char text[kClientAddressSize];
    const size_t len = strcspn(connection, " ");
    if (len == 0 || len >= sizeof text) return false;
    memcpy(text, connection, len);
    text[len] = '\0';
    unsigned char bytes[16];
    if (inet_pton(AF_INET6, text, bytes) != 1) {
        memcpy(bytes, kMapped, sizeof kMapped);
        if (inet_pton(AF_INET, text, bytes + sizeof kMapped) != 1) return false;
    }
    address_text(bytes, found->address);
    found->depth = 0;
    return true;
}

// Whether the kernel wrote its tables' words in the other byte order than
// this program's (a big-endian build emulated on a little-endian machine),
// told by the entry of the connection on socket, whose local address is
// known: read the other way round it matches, and read as it is it does not.
// Only a big-endian build calls it.
[[maybe_unused]] bool words_swapped(int socket) {
    sockaddr_storage own{};
    socklen_t size = sizeof own;
    struct stat st;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&own), &size) != 0 ||
        fstat(socket, &st) != 0) {
        return false;
    }
    unsigned char known[16];
    const bool v4 = own.ss_family == AF_INET;
    if (v4) {
        memcpy(known, kMapped, sizeof kMapped);
        memcpy(known + sizeof kMapped, &reinterpret_cast<sockaddr_in&>(own).sin_addr, 4);
    } else {
        memcpy(known, &reinterpret_cast<sockaddr_in6&>(own).sin6_addr, sizeof known);
    }
    const std::unique_ptr<FILE, int (*)(FILE*)> table(
        fopen(v4 ? "/proc/net/tcp" : "/proc/net/tcp6", "re"), fclose);
    TableEntry entry;
    const auto reads_as_known = [&](bool swapped) {
        unsigned char bytes[16];
        unsigned port = 0;
        return table_address(entry.local, bytes, &port, swapped) &&
               memcmp(bytes, known, sizeof known) == 0;
    };
    return table && find_entry(table.get(), st.st_ino, nullptr, nullptr, &entry) &&
           reads_as_known(true) && !reads_as_known(false);
}

void scan_table(const char* path, unsigned port, const HeldSockets* held, ClientFound* found) {
    const std::unique_ptr<FILE, int (*)(FILE*)> table(fopen(path, "re"), fclose);
    if (table) client_lookup_table(table.get(), port, held, found);
}

}  // namespace

void client_lookup(unsigned port, int connection, char* address, size_t size) {
    HeldSockets held;
    // The shell's own parent is asked of the kernel: an emulator that runs
    // the shell may show a stat line of its own making for it.
    long pid = getpid();
    for (int depth = 0; depth < kMaxAncestors && pid > 0; ++depth) {
        add_sockets_of(pid, depth, &held);
        pid = depth == 0 ? getppid() : parent_of(pid);
    }
    ClientFound found;
    // Only a big-endian build can be run on a machine of the other order:
    // the appliance's is big-endian too, but its tests run it emulated.
    if constexpr (std::endian::native == std::endian::big)
        found.swapped = words_swapped(connection);
    // A service listening on IPv4 only has its connections in the IPv4 table.
    scan_table("/proc/net/tcp6", port, &held, &found);
    scan_table("/proc/net/tcp", port, &held, &found);
    if (found.depth < 0 && !ssh_client(&found)) scan_table("/proc/net/tcp6", port, nullptr, &found);
    snprintf(address, size, "%s", found.address);
}

bool client_lookup_peer_owner(unsigned long long inode, unsigned* uid) {
    const std::unique_ptr<FILE, int (*)(FILE*)> tcp6(fopen("/proc/net/tcp6", "re"), fclose);
    const std::unique_ptr<FILE, int (*)(FILE*)> tcp(fopen("/proc/net/tcp", "re"), fclose);
    FILE* tables[2];
    int count = 0;
    for (FILE* table : {tcp.get(), tcp6.get()})
        if (table != nullptr) tables[count++] = table;
    return client_lookup_peer_owner_in(tables, count, inode, uid);
}
