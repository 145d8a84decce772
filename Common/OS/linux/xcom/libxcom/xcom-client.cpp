// The XCOM client's connection object: the connect with its time limit, the
// reader thread and its callback, and the sends, serialised per connection.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "libxcom.h"
#include "socket_wait.h"
#include "xcom.h"

namespace {

// How long one attempt waits for the peer to complete the connection.
constexpr std::chrono::seconds kConnectLimit{10};
constexpr int kNoSocket = -1;
constexpr size_t kMessageSize = XCOM_MAX_COMMAND + 2;  // a command, its line feed and NUL

// The reader's receive state: the line handed out and unconsumed bytes. The
// receive buffer, the one written up to its last byte, ends the block.
struct ReaderBuffers {
    std::array<char, XCOM_MAX_LINE + 1> line;
    int length = 0;
    std::array<char, XCOM_MAX_BUFFER + 1> buffer;
};

// The object behind an HXCOM handle. Its tag keeps the appliance's name; in
// this unnamed namespace it is not a global name, which that spelling would
// reserve.
typedef struct _xcom_client {
    int socket = kNoSocket;  // connected, non-blocking; closed only after the reader is joined
    XCOMCallBackT callback = nullptr;
    std::thread reader_thread;
    std::mutex write_mut;  // keeps the bytes of concurrent sends from interleaving
    // Guards closing and every call of the callback, so that disconnect both
    // waits for a call in progress and prevents any later one.
    std::mutex state_mut;
    bool closing = false;
    std::unique_ptr<ReaderBuffers> buffers;
} xcom_client;

// Releases a connection whose reader has not been started or has been joined:
// closes the socket when one is open and frees the object.
void close_client(xcom_client* client) {
    if (client == nullptr) return;
    if (client->socket >= 0) close(client->socket);
    delete client;
}

using ClientPtr = std::unique_ptr<xcom_client, decltype(&close_client)>;

// Calls the callback unless a disconnect has begun. Returns false when it has.
bool deliver(xcom_client* client, char* line) {
    std::lock_guard<std::mutex> lock(client->state_mut);
    if (client->closing) return false;
    if (client->callback != nullptr) client->callback(client, line);
    return true;
}

// Reader thread: passes each received line to the callback and, when the
// stream ends (a failure, a closed peer or an empty line), NULL once.
void client_reader(xcom_client* client) {
    ReaderBuffers& state = *client->buffers;
    state.length = 0;
    state.buffer[0] = '\0';
    while (socket_read_line(client->socket, state.buffer.data(), &state.length, state.line.data(),
                            0) > 0) {
        if (!deliver(client, state.line.data())) return;
    }
    deliver(client, nullptr);
}

// Resolves an IPv4 host name or dotted address into address. Returns true on success.
bool resolve(const char* server, int port_number, sockaddr_in& address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(server, nullptr, &hints, &found) != 0) return false;  // else found is a list
    memcpy(&address, found->ai_addr, sizeof address);
    freeaddrinfo(found);
    address.sin_port = htons(static_cast<uint16_t>(port_number));
    return true;
}

// Connects the non-blocking socket to address, waiting at most kConnectLimit.
// An interrupted wait counts as a failure. Returns true once connected.
bool connect_within_limit(int socket, const sockaddr_in& address) {
    if (connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return true;
    }
    if (errno != EINPROGRESS) return false;
    const xcom::Budget budget(kConnectLimit);
    if (xcom::wait_socket(socket, xcom::Direction::write, budget, false) !=
        xcom::WaitResult::ready) {
        return false;
    }
    int pending_error = 0;
    socklen_t size = sizeof pending_error;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &pending_error, &size) != 0) return false;
    return pending_error == 0;
}

// Adds O_NONBLOCK to the descriptor's status flags. Returns true on success.
bool set_non_blocking(int socket) {
    const int flags = fcntl(socket, F_GETFL);
    return flags >= 0 && fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

// Opens a connection and starts its reader. Returns the handle, or NULL on
// any failure, with nothing left open.
HXCOM xcom_client_connect(const char* server, int port_number, XCOMCallBackT callback) {
    if (server == nullptr || port_number < 0 || port_number > 65535) return nullptr;
    ClientPtr client(new (std::nothrow) xcom_client, close_client);
    if (!client) return nullptr;
    client->callback = callback;
    // Allocated here rather than by the reader, so that a shortage shows as a
    // failed connect instead of a connection that ends at once.
    client->buffers.reset(new (std::nothrow) ReaderBuffers);
    if (!client->buffers) return nullptr;

    // Close-on-exec: the shell runs other programs, which must not inherit
    // the connection.
    client->socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (client->socket < 0) return nullptr;
    sockaddr_in address{};
    if (!resolve(server, port_number, address)) return nullptr;
    // The line functions wait with select before every send and receive, so
    // the socket stays non-blocking after the connect.
    if (!set_non_blocking(client->socket)) return nullptr;
    if (!connect_within_limit(client->socket, address)) return nullptr;

    // The reader takes no signals: they are for the program's own threads,
    // whose waits they may have to cut short. It inherits the mask set here.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    bool started = true;
    try {
        client->reader_thread = std::thread(client_reader, client.get());
    } catch (...) {
        started = false;
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return started ? client.release() : nullptr;
}

// Sends command and a line feed as one write, serialised with other senders.
// Returns 0, or -1 when the command is too long or cannot be sent.
int xcom_client_send(HXCOM h_client, const char* command) {
    auto* client = static_cast<xcom_client*>(h_client);
    if (client == nullptr || command == nullptr) return -1;
    const size_t length = strnlen(command, kMessageSize);
    if (length > XCOM_MAX_COMMAND) return -1;
    // The line feed travels in the same send: a separate one would meet Nagle's
    // algorithm and the peer's delayed acknowledgement.
    std::array<char, kMessageSize> message;
    memcpy(message.data(), command, length);
    message[length] = '\n';
    message[length + 1] = '\0';
    std::lock_guard<std::mutex> lock(client->write_mut);
    return socket_write_line(client->socket, message.data()) == 0 ? 0 : -1;
}

int xcom_client_socket(HXCOM h_client) {
    const auto* client = static_cast<const xcom_client*>(h_client);
    return client != nullptr ? client->socket : kNoSocket;
}

// Stops the reader without calling the callback again, closes the connection
// and frees the handle. Returns 0.
int xcom_client_disconnect(HXCOM h_client) {
    auto* client = static_cast<xcom_client*>(h_client);
    if (client == nullptr) return 0;
    {
        // Waits for a callback in progress; no call starts after this.
        std::lock_guard<std::mutex> lock(client->state_mut);
        client->closing = true;
    }
    // Wakes a reader blocked in its wait; the descriptor stays open until the
    // reader is joined, so it cannot be reused under the reader's feet.
    shutdown(client->socket, SHUT_RDWR);
    if (client->reader_thread.joinable()) client->reader_thread.join();
    close_client(client);
    return 0;
}
