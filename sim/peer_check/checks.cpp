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
        add_row(c, "connect", Verdict::kFail,
                breach(where + ": " + error, "the application takes the shell's connection",
                       rule::kConnect));
        return;
    }
    c->report->local = !c->opt->remote && peer_is_local(&link);
    c->own_address = peer_own_address(&link);
    if (c->report->local) c->application_uid = peer_application_uid(&link);
    add_row(c, "connect", Verdict::kPass,
            where + (c->report->local ? "" : ", elsewhere: its output is not looked for"));
}

// Every session type the shell registers must be accepted with 0.
void check_registration(Checker* c) {
    for (const char* type : {"telnet", "api", "api-serial"}) {
        Opened opened = open_session(c, type);
        const bool reached = opened.link || c->unreachable.empty();
        c->answers_failed = c->answers_failed || (reached && !opened.clean);
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
        const std::string problem = judge_answer(c, exchange(c, link, request), &result);
        c->answers_failed = c->answers_failed || !problem.empty();
        if (!problem.empty()) return problem;
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

// Which results a row of requests passes with, and the rule that says so.
struct Want {
    enum { kAny, kNegative, kNotNegative } sign = kAny;
    const char* rule_text = "";
    const char* section = "";
};

// Runs one row of requests on a session of its own.
void request_row(Checker* c, const std::string& name, const std::vector<std::string>& requests,
                 const Want& want) {
    Link link = session_for(c, name);
    if (!link) return;
    std::vector<long> results;
    std::string problem = ask_all(c, link.get(), requests, &results);
    for (size_t i = 0; problem.empty() && i < results.size(); ++i) {
        const bool negative = results[i] < 0;
        if ((want.sign == Want::kNegative && !negative) ||
            (want.sign == Want::kNotNegative && negative))
            problem = breach(quoted(requests[i]) + " -> " + std::to_string(results[i]),
                             want.rule_text, want.section);
    }
    add_row(c, name, problem.empty() ? Verdict::kPass : Verdict::kFail,
            problem.empty() ? summary(requests, results) : problem);
    close_session(std::move(link));
}

void check_requests(Checker* c) {
    const std::string& probe = c->opt->probe;
    const std::string name = "peer-check." + std::to_string(getpid());
    request_row(c, "request C:", {"C: " + probe}, {});
    request_row(c, "request E:", {"E: " + probe}, {});
    request_row(c, "request D:", {"D: " + probe}, {});
    request_row(c, "request N:", {"N: name " + name, "N: find " + name}, {});
    const std::string unknown = "peer-check-no-such-command";
    request_row(c, "unknown command", {"C: " + unknown, "E: " + unknown, "D: " + unknown},
                {Want::kNegative, "an unknown command gets a negative result", rule::kCommands});
}

// The requests the shell makes of its own accord, as an api session does:
// whoami at the start, the login report after registration (the client's
// address and success), the address cleared at the end. A failure would
// show the user "error: command not found".
void check_own_requests(Checker* c) {
    request_row(c, "whoami", {"E: whoami"},
                {Want::kNotNegative, "the shell's own requests succeed", rule::kOwnRequests});
    const std::string write = "E: execwithoutecho systemsetting telnet_client_24";
    request_row(c, "login report",
                {write + " " + c->own_address, write + "_success True", write + " "},
                {Want::kNotNegative, "the login report's writes succeed", rule::kLoginReport});
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
    const Exchange ex = exchange(c, link.get(), request);
    c->probe_output = !ex.datagrams.empty();
    long result = 0;
    c->probe_failed = judge_answer(c, ex, &result).empty() && result < 0;
    if (!c->bad_output.empty()) {
        add_row(c, name, Verdict::kFail, c->bad_output);
    } else if (ex.datagrams.empty() && ex.output_on_connection) {
        add_row(c, name, Verdict::kNotApplicable,
                "its output came on the connection (see \"only answers on the connection\")");
    } else if (ex.datagrams.empty() && c->probe_failed) {
        add_row(c, name, Verdict::kNotApplicable,
                quoted(request) + " got " + std::to_string(result) +
                    ": --probe names a command with output");
    } else if (ex.datagrams.empty()) {
        add_row(c, name, Verdict::kFail,
                breach("no datagram for " + quoted(request), "output goes to the registered socket",
                       rule::kOutputPath));
    } else {
        add_row(c, name, Verdict::kPass,
                std::to_string(ex.datagrams.size()) + " datagram(s) for " + quoted(request) +
                    ", first " + quoted(ex.datagrams[0].bytes));
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

CheckReport checks_run(const CheckOptions* options, const CheckProgress* progress) {
    CheckReport report;
    Checker c;
    c.opt = options;
    c.report = &report;
    c.progress = progress;
    check_connect(&c);
    check_registration(&c);
    check_requests(&c);
    check_own_requests(&c);
    check_output(&c);
    check_unregister(&c);
    check_sessions(&c);
    check_connection_text(&c);
    check_senders(&c);
    time_requests(&c);
    return report;
}

bool checks_failed(const CheckReport* report) {
    for (const CheckRow& row : report->rows)
        if (row.verdict == Verdict::kFail) return true;
    return false;
}
