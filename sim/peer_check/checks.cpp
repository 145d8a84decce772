// The checks, in the order a session meets the application: connecting,
// registering, requests of each kind, the shell's own requests, then (in
// checks_sessions.cpp) unregistering and many sessions at once.
#include <unistd.h>

#include "checker.h"

namespace {

void check_connect(Checker* c) {
    PeerLink link;
    std::string error;
    const std::string where = c->opt->host + " port " + std::to_string(c->opt->port);
    if (peer_connect(&link, c->opt->address, c->opt->timeout_ms, &error) < 0) {
        c->unreachable = "no connection to " + where;
        add_row(c, "connect", Verdict::kFail, where + ": " + error);
        return;
    }
    c->report->local = !c->opt->remote && peer_is_local(&link);
    c->own_address = peer_own_address(&link);
    add_row(c, "connect", Verdict::kPass,
            where + (c->report->local ? "" : ", elsewhere: its output is not looked for"));
}

// Every session type the shell registers must be accepted with 0.
void check_registration(Checker* c) {
    for (const char* type : {"telnet", "api", "api-serial"}) {
        Opened opened = open_session(c, type);
        const bool reached = opened.link || c->unreachable.empty();
        add_row(c, std::string("register ") + type,
                opened.clean ? Verdict::kPass
                : reached    ? Verdict::kFail
                             : Verdict::kNotApplicable,
                opened.detail);
        close_session(std::move(opened.link));
    }
}

// Sends the requests in turn, each of which must get one answer with a
// result; the results go to *results. Returns what was wrong, or "".
std::string ask_all(Checker* c, PeerLink* link, const std::vector<std::string>& requests,
                    std::vector<long>* results) {
    for (const std::string& request : requests) {
        long result = 0;
        const std::string problem = judge_answer(exchange(c, link, request), &result);
        if (!problem.empty()) return quoted(request) + ": " + problem;
        results->push_back(result);
    }
    return "";
}

// Lists the requests with their results.
std::string summary(const std::vector<std::string>& requests, const std::vector<long>& results) {
    std::string text;
    for (size_t i = 0; i < requests.size() && i < results.size(); ++i)
        text += (i > 0 ? ", " : "") + quoted(requests[i]) + " -> " + std::to_string(results[i]);
    return text;
}

// Which results a row of requests passes with.
enum class Want { kAny, kNegative, kNotNegative };

// Runs one row of requests on a session of its own.
void request_row(Checker* c, const std::string& name, const std::vector<std::string>& requests,
                 Want want) {
    Link link = session_for(c, name);
    if (!link) return;
    std::vector<long> results;
    std::string problem = ask_all(c, link.get(), requests, &results);
    for (size_t i = 0; problem.empty() && i < results.size(); ++i) {
        const bool negative = results[i] < 0;
        if (want == Want::kNegative && !negative)
            problem = quoted(requests[i]) + " -> " + std::to_string(results[i]) + ", not negative";
        if (want == Want::kNotNegative && negative)
            problem = quoted(requests[i]) + " -> " + std::to_string(results[i]) + ", a failure";
    }
    add_row(c, name, problem.empty() ? Verdict::kPass : Verdict::kFail,
            problem.empty() ? summary(requests, results) : problem);
    close_session(std::move(link));
}

void check_requests(Checker* c) {
    const std::string& probe = c->opt->probe;
    const std::string name = "peer-check." + std::to_string(getpid());
    request_row(c, "request C:", {"C: " + probe}, Want::kAny);
    request_row(c, "request E:", {"E: " + probe}, Want::kAny);
    request_row(c, "request D:", {"D: " + probe}, Want::kAny);
    request_row(c, "request N:", {"N: name " + name, "N: find " + name}, Want::kAny);
    const std::string unknown = "peer-check-no-such-command";
    request_row(c, "unknown command", {"C: " + unknown, "E: " + unknown, "D: " + unknown},
                Want::kNegative);
}

// The requests the shell makes of its own accord, as an api session does:
// whoami at the start, the login report after registration (the client's
// address and success), the address cleared at the end. A failure would
// show the user "error: command not found".
void check_own_requests(Checker* c) {
    request_row(c, "whoami", {"E: whoami"}, Want::kNotNegative);
    const std::string write = "E: execwithoutecho systemsetting telnet_client_24";
    request_row(c, "login report",
                {write + " " + c->own_address, write + "_success True", write + " "},
                Want::kNotNegative);
    add_row(c, "reboot now", Verdict::kNotApplicable, "not sent: it would restart the appliance");
}

// The probe's output must reach the session's socket, and every output
// seen in the run must have been whole lines.
void check_output(Checker* c) {
    const std::string name = "output in datagrams";
    if (!c->report->local && c->unreachable.empty()) {
        add_row(c, name, Verdict::kNotApplicable,
                "the application runs elsewhere: its datagrams go to its own host");
        return;
    }
    Link link = session_for(c, name);
    if (!link) return;
    const std::string request = "E: " + c->opt->probe;
    exchange(c, link.get(), request);
    c->probe_output = !link->datagrams.empty();
    if (!c->bad_output.empty()) {
        add_row(c, name, Verdict::kFail, c->bad_output);
    } else if (link->datagrams.empty()) {
        add_row(c, name, Verdict::kFail, "no output on the socket for " + quoted(request));
    } else {
        add_row(c, name, Verdict::kPass,
                std::to_string(link->datagrams.size()) + " datagram(s) for " + quoted(request) +
                    ", first " + quoted(link->datagrams[0].bytes));
    }
    close_session(std::move(link));
}

void check_connection_text(Checker* c) {
    const std::string name = "only answers on the connection";
    if (!c->unreachable.empty()) {
        add_row(c, name, Verdict::kNotApplicable, c->unreachable);
        return;
    }
    const bool clean = c->stray.empty();
    add_row(c, name, clean ? Verdict::kPass : Verdict::kFail,
            clean ? "nothing but answer lines" : c->stray);
}

}  // namespace

CheckReport checks_run(const CheckOptions* options) {
    CheckReport report;
    Checker c;
    c.opt = options;
    c.report = &report;
    check_connect(&c);
    check_registration(&c);
    check_requests(&c);
    check_own_requests(&c);
    check_output(&c);
    check_unregister(&c);
    check_sessions(&c);
    check_connection_text(&c);
    time_requests(&c);
    return report;
}

bool checks_failed(const CheckReport* report) {
    for (const CheckRow& row : report->rows)
        if (row.verdict == Verdict::kFail) return true;
    return false;
}
