// What the checks share: the run's state, sessions opened and registered as
// the shell does, and one request with everything that came back for it.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "checks.h"
#include "peer_link.h"

using Link = std::unique_ptr<PeerLink>;

struct Checker {
    const CheckOptions* opt = nullptr;
    CheckReport* report = nullptr;
    const CheckProgress* progress = nullptr;
    bool waiting_shown = false;   // a note of a wait stands on the terminal
    std::string unreachable;      // why no connection can be had; empty when one can
    std::string own_address;      // this host's address on the connection
    long application_uid = -1;    // the user of the application's end, when on this host
    unsigned sockets = 0;         // sockets bound so far, for their names
    std::string stray;            // the first text on a connection that was no answer
    std::string bad_output;       // the first output that was not whole lines
    std::string bad_sender;       // the first datagram from a user the shell drops
    std::vector<long> senders;    // the users datagrams came from
    bool probe_output = false;    // the probe's output reached the session's socket
    bool probe_failed = false;    // the probe got a negative result: no output to look for
    bool answers_failed = false;  // a session alone got a wrong answer or none
};

// A registered session, or why there is none.
struct Opened {
    Link link;           // NULL when the session could not be registered
    bool clean = false;  // one answer, with the result 0
    std::string detail;  // the answer, or what was wrong with it
};

// What came back for one request.
struct Exchange {
    std::string request;
    std::vector<std::string> answers;   // the lines starting with R, in order
    std::string instead;                // without an answer: the line that came in its place
    std::vector<Received> datagrams;    // what came on the session socket
    std::string ended;                  // why the connection ended, if it did
    int64_t answer_us = -1;             // from the request to its first answer; -1 without one
    int64_t waited_us = 0;              // how long an answer was waited for
    bool output_on_connection = false;  // lines besides the answer came on the connection
};

// The sections of docs/protocol.md that rows point to.
namespace rule {
inline constexpr const char* kConnect = "1.1";
inline constexpr const char* kRegister = "2.1";
inline constexpr const char* kCommands = "2.2";
inline constexpr const char* kOwnRequests = "2.4";
inline constexpr const char* kUnregister = "2.5";
inline constexpr const char* kAnswerLine = "3.1";
inline constexpr const char* kOneAnswer = "3.2";
inline constexpr const char* kOnlyAnswers = "3.3";
inline constexpr const char* kOutputPath = "4.1";
inline constexpr const char* kOutputLines = "4.2";
inline constexpr const char* kSenders = "4.3";
inline constexpr const char* kLoginReport = "6";
}  // namespace rule

// What a failing row says: what was seen, then the rule it breaks and where
// the contract has it.
std::string breach(const std::string& seen, const std::string& rule_text, const char* section);

// Appends a row to the report and shows it to whoever watches.
void add_row(Checker* c, std::string name, Verdict verdict, std::string detail);

// Takes what arrives on the links until done() holds or the deadline
// passes, as peer_pump does; a wait that runs a while is shown on a
// terminal, with what it is for. Returns whether done() held.
bool wait_for(Checker* c, const std::vector<PeerLink*>& links, int64_t deadline_us,
              const std::function<bool()>& done, const std::string& what);

// Text as it goes into a row: quoted, with unprintable bytes escaped.
std::string quoted(std::string_view text);

// A connected session with its socket bound but not registered; NULL with
// the reason in *why.
Link connect_session(Checker* c, std::string* why);

// Connects a session and registers it as type.
Opened open_session(Checker* c, const char* type);

// A registered session for the row name; NULL after a not-applicable row.
Link session_for(Checker* c, const std::string& name);

// Unregisters the session and closes it, as the shell does at its end.
void close_session(Link link);

// Sends request on every link (on each, the registration adds the link's
// socket path), waits for the answers (past the time limit too, to tell a
// late answer from none) and then for the quiet period. Returns what came
// back on each link.
std::vector<Exchange> ask(Checker* c, const std::vector<PeerLink*>& links,
                          const std::string& request, bool registration = false);

// Sends request on one link: ask() for one.
Exchange exchange(Checker* c, PeerLink* link, const std::string& request);

// Empty when ex holds exactly one answer, in time, whose text begins with a
// decimal result (stored in *result); otherwise what was wrong and the rule.
std::string judge_answer(const Checker* c, const Exchange& ex, long* result);

// The rows about unregistering, many sessions, who sent the output, and the
// timed requests.
void check_unregister(Checker* c);
void check_sessions(Checker* c);
void check_senders(Checker* c);
void time_requests(Checker* c);
