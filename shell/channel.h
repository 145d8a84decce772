// The request/answer channel to the application: the main thread sends one
// prefixed line and waits; the XCOM reader thread hands the "R..." answer
// over through response_sem. The user's output never travels here; it
// arrives on the session's own socket.
#pragma once

#include <pthread.h>
#include <semaphore.h>

#include <atomic>

#include "xcom.h"

inline constexpr int kResponseSize = 515;  // an answer text and its terminator

// What became of a request.
enum class RequestStatus {
    kAnswered,  // the application answered; the result is its leading number
    kRefused,   // not one request line (too long, or holding a line break): reported, not sent
    kNotSent,   // the connection would not take it: reported
    kGone,      // the application closed the session (an empty answer): reported
    kHungUp,    // the terminal hung up while the answer was awaited: nobody to tell
};

struct RequestResult {
    RequestStatus status;
    int value;  // the answer's leading number when answered, else 0

    bool answered() const { return status == RequestStatus::kAnswered; }
};

// One connection to the application and its request/answer step. At most one
// request is outstanding: only the main thread sends, and it waits for each
// answer. An answer that arrives while no request waits is kept for the next.
class Channel {
  public:
    Channel();
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Creates response_sem. Returns false when it cannot be made.
    bool init_semaphores();
    // Destroys the semaphore if it exists.
    void destroy_semaphores();
    // One attempt to connect to host:port. Returns true once connected.
    bool connect(const char* host, int port);
    // Closes the connection if there is one.
    void disconnect();
    // True while a connection is open and has not ended.
    bool connected() const;
    // The connection's socket, to look up who is at its other end; -1.
    int connection_socket() const { return xcom_client_socket(hclient); }

    // Forwards a user command line with the command format cmd_fmt.
    RequestResult send_command(const char* cmd_fmt, const char* cmdline);
    RequestResult send_api_cmd(const char* cmdline);                  // "E: "
    RequestResult send_sys_cmd(const char* cmdline);                  // "D: "
    RequestResult send_session_cmd(const char* op, const char* arg);  // "N: op arg"
    // Sends one request line as it is (registration, "U") without waiting.
    // True when it went, or when the connection has ended so that the wait
    // reports the end; false when it could not be sent or is not one line.
    bool send_line(const char* request);
    // Waits for the answer to the request just sent.
    RequestResult response_helper();
    // Empties the answer text (before the registration is sent).
    void forget_answer();
    // From now on negative answers are reported as "command not found".
    void mark_registered() { did_registration = 1; }

    // The XCOM line callback of the channel being connected or in use.
    static int message_handler(HXCOM h_client, char* msg);

  private:
    void set_answer(const char* text);
    int answer_result(bool* empty);
    int send_request(const char* request, int length);
    [[gnu::format(printf, 2, 3)]] RequestResult send_fixed(const char* fmt, ...);
    bool wait_for_answer();
    void on_line(char* msg);

    HXCOM hclient = nullptr;
    char response[kResponseSize] = "";
    sem_t response_sem{};  // an answer (or the end of the connection) has arrived
    int did_registration = 0;
    bool semaphores_ready = false;
    // Set once the connection has ended. The reader posts response_sem only
    // once at the end, so every later request must learn of the end from
    // here instead of waiting for an answer that cannot come.
    std::atomic<bool> connection_ended{false};
    // Guards response. The semaphore orders an answer before the wait that
    // takes it, but not a further answer the application sends unasked,
    // which the reader may be writing while the main thread reads.
    pthread_mutex_t response_mut = PTHREAD_MUTEX_INITIALIZER;
};
