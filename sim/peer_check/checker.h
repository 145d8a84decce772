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
    std::string unreachable;    // why no connection can be had; empty when one can
    std::string own_address;    // this host's address on the connection
    unsigned sockets = 0;       // sockets bound so far, for their names
    std::string stray;          // the first text on a connection that was no answer
    std::string bad_output;     // the first output that was not whole lines
    bool probe_output = false;  // the probe's output reached the session's socket
};

// A registered session, or why there is none.
struct Opened {
    Link link;           // NULL when the session could not be registered
    bool clean = false;  // one answer, with the result 0
    std::string detail;  // the answer, or what was wrong with it
};

// What came back for one request.
struct Exchange {
    std::vector<std::string> answers;  // the lines starting with R, in order
    std::string ended;                 // why the connection ended, if it did
    int waited_ms = 0;                 // how long the answer was waited for
};

// Appends a row to the report.
void add_row(Checker* c, std::string name, Verdict verdict, std::string detail);

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

// Takes what the link received for context: notes text on the connection
// other than answers, and output that is not whole lines. Returns the
// answers.
std::vector<std::string> take_answers(Checker* c, PeerLink* link, const std::string& context);

// Sends request, waits for its answer and then for the quiet period.
Exchange exchange(Checker* c, PeerLink* link, const std::string& request);

// Empty when ex holds exactly one answer whose text begins with a decimal
// result (stored in *result); otherwise what was wrong, as received.
std::string judge_answer(const Exchange& ex, long* result);

// The rows about unregistering, many sessions, and the timed requests.
void check_unregister(Checker* c);
void check_sessions(Checker* c);
void time_requests(Checker* c);
