// appd internals shared by the event loop, the sessions, the request
// handlers, the command vocabulary, the control socket and the set-up.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "appd.h"
#include "sim_text.h"
#include "unique_fd.h"

// Something a session still has to send, kept in order so a request's
// datagrams always leave before its answer line.
struct OutItem {
    enum Kind { kDatagram, kTcp, kNumbered } kind = kDatagram;
    std::string bytes;   // kDatagram: the datagram; kTcp: bytes for the connection
    std::string tag;     // kNumbered: text in front of each line number
    unsigned next = 1;   // kNumbered: number of the next line
    unsigned count = 0;  // kNumbered: number of the last line
    unsigned width = 0;  // kNumbered: lines are padded with dots to this many bytes
    unsigned per_datagram = 1;
};

struct Session {
    unsigned id = 0;
    UniqueFd tcp;
    UniqueFd dgram;  // connected to path once output is sent; reconnected when refused
    bool registered = false;
    bool dead = false;  // closed; removed from the table after the current event
    std::string type, path, name;
    SimLineBuf in;
    std::string tcp_out;  // bytes accepted for the connection but not yet written
    size_t tcp_out_start = 0;
    std::deque<OutItem> outbox;
    // A request whose answer waits for a lag timer or for "hold off"; no
    // further line is taken from this session until it is answered.
    bool busy = false;
    bool waiting_for_release = false;
    bool dgram_blocked = false;  // the receiver's queue was full; wait for EPOLLOUT
    std::string pending_answer;
    std::string answering;              // the request the next answer is for
    std::vector<std::string> requests;  // every line received, in order
    uint32_t tcp_events = 0;            // interests currently registered with epoll
    uint32_t dgram_events = 0;
};

// A deliberate breach of what the shell requires of the application, set
// with the control command "breach", so that zcon-peer-check can be shown
// to catch each kind.
enum class Breach {
    kNone,
    kDoubleAnswer,           // requests are answered twice
    kBareAnswer,             // requests are answered "R:", without a result
    kUnansweredNaming,       // "N: " requests get no answer
    kUnknownAccepted,        // unknown commands answer 0
    kNoWhoami,               // whoami is an unknown command
    kSettingsRefused,        // "execwithoutecho systemsetting" answers -1
    kOutputOnConnection,     // output lines go on the connection
    kOutputUnterminated,     // output datagrams lack their LF
    kOutputCrossed,          // a session's output goes to another session's socket
    kOutputAfterUnregister,  // "U" is followed by a datagram
    kAnswerUnregister,       // "U" is answered
    kKeepOpen,               // a connection the client has closed is kept open
    kAnswerForm,             // answers read "OK <n>" instead of "R: <n>"
    kLateAnswer,             // "E: " requests are answered breach_ms late
    kForeignSender,          // output datagrams carry the credentials of uid 65534
};

struct ControlClient {
    unsigned id = 0;
    UniqueFd fd;
    bool dead = false;
    SimLineBuf in;
    std::string out;
    uint32_t events = 0;
};

struct AppdServer {
    UniqueFd epoll;
    UniqueFd listener;
    UniqueFd control_listener;
    UniqueFd wake_read, wake_write;
    std::string control_path;
    FILE* trace = nullptr;
    void (*request_log)(const char* entry) = nullptr;
    int port = 0;
    bool stopping = false;
    time_t started = 0;
    unsigned next_session_id = 1;
    unsigned next_control_id = 1;
    std::map<unsigned, std::unique_ptr<Session>> sessions;
    std::map<unsigned, std::vector<std::string>> closed_requests;  // recent closed sessions
    std::map<unsigned, std::unique_ptr<ControlClient>> controls;
    std::multimap<int64_t, unsigned> timers;  // monotonic ms -> session id
    std::vector<unsigned> reap_list;          // sessions closed during this event
    std::map<std::string, std::string> settings;
    bool hold_all = false;
    int register_result = 0;
    Breach breach = Breach::kNone;
    int breach_ms = 6000;             // kLateAnswer's lag
    std::vector<UniqueFd> kept_open;  // connections the breach kKeepOpen holds
};

// Longest accepted control line; control lines carry escaped datagrams.
inline constexpr size_t kControlLineMax = 65536;
// Closed sessions whose request lists stay available to "requests".
inline constexpr size_t kClosedSessionsKept = 64;
// Largest datagram the simulator builds for numbered lines.
inline constexpr size_t kNumberedDatagramMax = 65536;

// ---- event loop (server.cpp) ----

// What an epoll event belongs to: the kind of socket, packed with its
// owner's id into the event's token.
enum TokenKind : uint32_t {
    kTokListener = 1,
    kTokControlListener,
    kTokWake,
    kTokSessionTcp,
    kTokSessionDgram,
    kTokControl,
};
uint64_t appd_token(uint32_t kind, uint32_t id);
// Milliseconds of the monotonic clock.
int64_t appd_now_ms();
// Adds fd to the epoll set; returns 0 or -1.
int appd_watch(AppdServer* server, int fd, uint64_t tok, uint32_t events);
// Registers or changes fd's interest set; *current tracks what epoll holds.
void appd_set_interest(AppdServer* server, int fd, uint64_t tok, uint32_t* current,
                       uint32_t wanted);
// Accepts one pending connection of listener, non-blocking and close on
// exec. Returns its descriptor, or -1 when none is left.
int appd_accept(int listener);
// Brings the session's epoll interests in line with its state.
void appd_update_interest(AppdServer* server, Session* s);
// Sends an answer line now, or parks it while answers are held.
void appd_answer(AppdServer* server, Session* s, std::string line);
// Answers every parked request and resumes reading those sessions.
void appd_release_held(AppdServer* server);
// Arms a timer that answers s's parked request after ms milliseconds.
void appd_answer_later(AppdServer* server, Session* s, std::string line, int ms);

// ---- sessions (sessions.cpp) ----

// Accepts every pending connection as a new session.
void appd_accept_sessions(AppdServer* server);
// Reads what the connection has; the end of the connection ends the session.
void appd_read_session(AppdServer* server, Session* s);
// Takes complete lines from the session's input while no request is waiting
// for its answer, then sends what they produced.
void appd_process_input(AppdServer* server, Session* s);
// Returns the live session with this id, or NULL.
Session* appd_find_session(AppdServer* server, unsigned id);
// Queues a datagram of exactly these bytes for the session's socket.
void appd_queue_datagram(Session* s, std::string bytes);
// Queues one output line (an LF is added) for the session's socket.
void appd_print(Session* s, std::string_view line);
// printf-style appd_print.
[[gnu::format(printf, 2, 3)]] void appd_printf(Session* s, const char* fmt, ...);
// Queues raw bytes for the TCP connection, behind the queued datagrams.
void appd_queue_tcp(Session* s, std::string bytes);
// Queues numbered lines "<tag><n>" padded with dots to width bytes.
void appd_queue_numbered(Session* s, std::string tag, unsigned count, unsigned width,
                         unsigned per_datagram);
// Sends what can be sent now and updates the session's epoll interests.
void appd_flush(AppdServer* server, Session* s);
// Closes the session's sockets; the table entry goes after the current event.
void appd_close_session(AppdServer* server, Session* s);
// Appends one tagged line to the trace file, if there is one.
void appd_trace(AppdServer* server, unsigned id, const char* dir, std::string_view line);

// ---- requests (requests.cpp) ----

// Handles one received non-empty line of session s.
void appd_handle_line(AppdServer* server, Session* s, const std::string& line);
// Passes "session <id>: <request> -> <result>" to the request log, if any.
void appd_log_answer(AppdServer* server, const Session* s, std::string_view answer);

// ---- vocabulary (vocabulary.cpp) ----

// Runs one command of the vocabulary for s; output goes to s's socket.
// Returns the result code for the answer line.
int appd_run_command(AppdServer* server, Session* s, std::string_view command);
// Sends a line to every registered session.
void appd_notify_all(AppdServer* server, std::string_view line);

// ---- control socket (control.cpp) ----

// Accepts every pending control connection.
void appd_accept_controls(AppdServer* server);
// Reads control lines and executes them, in order.
void appd_read_control(AppdServer* server, ControlClient* c);
// Writes a control client's pending reply bytes.
void appd_write_control(AppdServer* server, ControlClient* c);

// Executes one control line, appending the reply lines to reply. Returns 1
// when the line asked the server to quit, else 0.
int appd_control_execute(AppdServer* server, std::string_view line, std::string* reply);
