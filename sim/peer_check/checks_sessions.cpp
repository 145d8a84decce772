// The end of a session, many sessions at once, who sent the output, and the
// timed requests.
#include <sys/socket.h>
#include <unistd.h>

#include "checker.h"

namespace {

int64_t deadline_after(const Checker* c) {
    return peer_now_us() + int64_t{c->opt->timeout_ms} * 1000;
}

// Whether the link has received a line starting with R.
bool answered(const PeerLink* link) {
    for (const Received& line : link->lines)
        if (!line.bytes.empty() && line.bytes[0] == 'R') return true;
    return false;
}

// After "U" the shell closes its side at once; the application must close
// its own without another word.
void check_close(Checker* c, PeerLink* link) {
    peer_clear(link);
    shutdown(link->tcp.get(), SHUT_WR);
    wait_for(
        c, {link}, deadline_after(c), [&] { return !link->ended.empty(); },
        "the application to close the connection");
    std::string seen;
    if (link->ended.empty())
        seen = "still open " + std::to_string(c->opt->timeout_ms) + " ms after the shell's side";
    else if (!link->lines.empty())
        seen = "sent " + quoted(link->lines[0].bytes) + " before closing";
    else if (link->ended != "closed")
        seen = "connection " + link->ended;
    add_row(c, "close after U", seen.empty() ? Verdict::kPass : Verdict::kFail,
            seen.empty() ? "closed"
                         : breach(seen,
                                  "the application closes its end, silently, when the "
                                  "shell closes its own",
                                  rule::kUnregister));
}

// Registers every link, then sends request on every link at once; each must
// get its one answer. Returns what went wrong, or "".
std::string ask_all_at_once(Checker* c, const std::vector<PeerLink*>& links) {
    for (const bool registration : {true, false}) {
        const std::vector<Exchange> got =
            ask(c, links, registration ? "R: api" : "E: " + c->opt->probe, registration);
        for (size_t i = 0; i < got.size(); ++i) {
            long result = 0;
            std::string problem = judge_answer(c, got[i], &result);
            if (problem.empty() && registration && result != 0)
                problem = breach("got " + quoted(got[i].answers[0]), "a session is accepted with 0",
                                 rule::kRegister);
            if (!problem.empty()) return "session " + std::to_string(i) + ": " + problem;
        }
    }
    return "";
}

// The sessions ask one after another; the output of each request must
// reach the socket of the session that asked, and no other. Sets
// *on_connection when output came on the connection instead, which another
// row reports.
std::string ask_in_turn(Checker* c, const std::vector<PeerLink*>& links, bool* on_connection) {
    const std::string request = "E: " + c->opt->probe;
    for (size_t i = 0; i < links.size(); ++i) {
        for (PeerLink* link : links)
            peer_clear(link);
        const Exchange ex = ask(c, {links[i]}, request)[0];
        peer_settle(links, c->opt->quiet_ms, deadline_after(c));
        for (size_t j = 0; j < links.size(); ++j) {
            if (j == i || links[j]->datagrams.empty()) continue;
            return breach("output for session " + std::to_string(i) + " arrived on session " +
                              std::to_string(j) +
                              "'s socket: " + quoted(links[j]->datagrams[0].bytes),
                          "a session's output goes to the socket it registered, and only there",
                          rule::kOutputPath);
        }
        *on_connection = *on_connection || ex.output_on_connection;
        if (ex.datagrams.empty() && !*on_connection)
            return breach("no output for session " + std::to_string(i) + "'s " + quoted(request),
                          "output goes to the registered socket", rule::kOutputPath);
    }
    return "";
}

}  // namespace

void check_unregister(Checker* c) {
    Link link = session_for(c, "unregister");
    if (!link) {
        add_row(c, "close after U", Verdict::kNotApplicable, "no session (see unregister)");
        return;
    }
    exchange(c, link.get(), "E: " + c->opt->probe);  // the socket is in use until U
    peer_send(link.get(), "U");
    peer_settle({link.get()}, c->opt->quiet_ms, deadline_after(c));
    std::string seen;
    if (!link->lines.empty())
        seen = "after \"U\" the connection carried " + quoted(link->lines[0].bytes);
    else if (!link->datagrams.empty())
        seen = "after \"U\" the socket received " + quoted(link->datagrams[0].bytes);
    add_row(c, "unregister", seen.empty() ? Verdict::kPass : Verdict::kFail,
            seen.empty() ? "no answer and no output after \"U\""
                         : breach(seen, "\"U\" gets no answer, and no output follows it",
                                  rule::kUnregister));
    check_close(c, link.get());
}

void check_sessions(Checker* c) {
    const std::string name = "sessions at once";
    // What many sessions show beyond one: when one alone fails, the rows
    // above say why, and this one would only repeat it.
    if (c->answers_failed) {
        add_row(c, name, Verdict::kNotApplicable,
                "a session alone already fails its answers (see above)");
        return;
    }
    std::vector<Link> owned;
    std::vector<PeerLink*> links;
    std::string why;
    for (int i = 0; i < c->opt->sessions; ++i) {
        owned.push_back(connect_session(c, &why));
        if (!owned.back()) {
            add_row(c, name, c->unreachable.empty() ? Verdict::kFail : Verdict::kNotApplicable,
                    "session " + std::to_string(i) + ": " + why);
            return;
        }
        links.push_back(owned.back().get());
    }
    std::string problem = ask_all_at_once(c, links);
    bool on_connection = false;
    if (problem.empty() && c->report->local && !c->probe_failed)
        problem = ask_in_turn(c, links, &on_connection);
    const std::string n = std::to_string(links.size());
    add_row(c, name, problem.empty() ? Verdict::kPass : Verdict::kFail,
            !problem.empty() ? problem
            : c->report->local && !on_connection
                ? n + " sessions, each with its own answers and output"
                : n + " sessions, each with its own answers");
    for (Link& link : owned)
        close_session(std::move(link));
}

void check_senders(Checker* c) {
    const std::string name = "output sender";
    if (!c->report->local || c->senders.empty()) {
        add_row(c, name, Verdict::kNotApplicable, "no datagram to look at");
    } else if (!c->bad_sender.empty()) {
        add_row(c, name, Verdict::kFail, c->bad_sender);
    } else {
        std::string uids;
        for (const long uid : c->senders)
            uids += (uids.empty() ? "uid " : ", uid ") + std::to_string(uid);
        add_row(c, name, Verdict::kPass,
                "datagrams from " + uids + ", which the shell takes (root, its own uid " +
                    std::to_string(geteuid()) + ", the application's uid " +
                    std::to_string(c->application_uid) + ")");
    }
}

void time_requests(Checker* c) {
    Opened opened = open_session(c, "api");
    PeerLink* link = opened.link.get();
    if (link == nullptr) return;
    const std::string request = "E: " + c->opt->probe;
    // Output is waited for only where it was seen before.
    const bool output = c->probe_output;
    for (int i = 0; i < c->opt->samples; ++i) {
        peer_clear(link);
        const int64_t sent = peer_now_us();
        if (peer_send(link, request) < 0) break;
        peer_pump({link}, sent + int64_t{c->opt->timeout_ms} * 1000, [&] {
            return !link->ended.empty() ||
                   (answered(link) && (!output || !link->datagrams.empty()));
        });
        if (!answered(link)) break;
        for (const Received& line : link->lines) {
            if (line.bytes[0] != 'R') continue;
            c->report->answer_us.push_back(line.at_us - sent);
            break;
        }
        if (!link->datagrams.empty())
            c->report->datagram_us.push_back(link->datagrams[0].at_us - sent);
    }
    close_session(std::move(opened.link));
}
