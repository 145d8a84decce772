// The end of a session, many sessions at once, and the timed requests.
#include <sys/socket.h>

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
    peer_pump({link}, deadline_after(c), [&] { return !link->ended.empty(); });
    std::string problem;
    if (link->ended.empty())
        problem = "still open " + std::to_string(c->opt->timeout_ms) + " ms after the shell's side";
    else if (!link->lines.empty())
        problem = "sent " + quoted(link->lines[0].bytes) + " before closing";
    else if (link->ended != "closed")
        problem = "connection " + link->ended;
    add_row(c, "close after U", problem.empty() ? Verdict::kPass : Verdict::kFail,
            problem.empty() ? "closed" : problem);
}

// Whether every link has an answer or has ended.
bool all_answered(const std::vector<PeerLink*>& links) {
    for (const PeerLink* link : links)
        if (!answered(link) && link->ended.empty()) return false;
    return true;
}

// Sends request on every link at once; each must get its one answer.
// Returns what went wrong, or "".
std::string ask_all_at_once(Checker* c, const std::vector<PeerLink*>& links,
                            const std::string& request, bool registration) {
    for (PeerLink* link : links) {
        peer_clear(link);
        peer_send(link, registration ? request + " " + link->path : request);
    }
    peer_pump(links, deadline_after(c), [&] { return all_answered(links); });
    peer_settle(links, c->opt->quiet_ms, deadline_after(c));
    for (size_t i = 0; i < links.size(); ++i) {
        Exchange ex{take_answers(c, links[i], request), links[i]->ended, c->opt->timeout_ms};
        long result = 0;
        std::string problem = judge_answer(ex, &result);
        if (problem.empty() && registration && result != 0)
            problem = "refused: " + quoted(ex.answers[0]);
        if (!problem.empty()) return "session " + std::to_string(i) + ": " + problem;
    }
    return "";
}

// The sessions ask one after another; the output of each request must
// reach the socket of the session that asked, and no other.
std::string ask_in_turn(Checker* c, const std::vector<PeerLink*>& links) {
    const std::string request = "E: " + c->opt->probe;
    for (size_t i = 0; i < links.size(); ++i) {
        for (PeerLink* link : links)
            peer_clear(link);
        peer_send(links[i], request);
        peer_pump({links[i]}, deadline_after(c), [&] { return all_answered({links[i]}); });
        peer_settle(links, c->opt->quiet_ms, deadline_after(c));
        take_answers(c, links[i], request);
        for (size_t j = 0; j < links.size(); ++j) {
            if (j == i || links[j]->datagrams.empty()) continue;
            return "output for session " + std::to_string(i) + " arrived on session " +
                   std::to_string(j) + "'s socket: " + quoted(links[j]->datagrams[0].bytes);
        }
        if (links[i]->datagrams.empty())
            return "no output for session " + std::to_string(i) + "'s " + quoted(request);
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
    peer_clear(link.get());
    peer_send(link.get(), "U");
    peer_settle({link.get()}, c->opt->quiet_ms, deadline_after(c));
    std::string problem;
    if (!link->lines.empty())
        problem = "after \"U\" the connection carried " + quoted(link->lines[0].bytes);
    else if (!link->datagrams.empty())
        problem = "after \"U\" the socket received " + quoted(link->datagrams[0].bytes);
    add_row(c, "unregister", problem.empty() ? Verdict::kPass : Verdict::kFail,
            problem.empty() ? "no answer and no output after \"U\"" : problem);
    check_close(c, link.get());
}

void check_sessions(Checker* c) {
    const std::string name = "sessions at once";
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
    std::string problem = ask_all_at_once(c, links, "R: api", true);
    if (problem.empty()) problem = ask_all_at_once(c, links, "E: " + c->opt->probe, false);
    if (problem.empty() && c->report->local) problem = ask_in_turn(c, links);
    const std::string n = std::to_string(links.size());
    add_row(c, name, problem.empty() ? Verdict::kPass : Verdict::kFail,
            !problem.empty()   ? problem
            : c->report->local ? n + " sessions, each with its own answers and output"
                               : n + " sessions, each with its own answers");
    for (Link& link : owned)
        close_session(std::move(link));
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
