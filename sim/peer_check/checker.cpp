// Sessions and requests as the shell makes them, and the judging of what
// comes back that every check shares.
#include "checker.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>

namespace {

// An answer is awaited this many time limits in all, so that a late one is
// reported as late, on the request it answers, not taken for another's.
constexpr int kLateFactor = 2;
// A wait that runs longer is shown on a terminal, with what it is for.
constexpr int64_t kNoteAfterUs = 1000000;

// Lines the shell takes as the end of the connection: empty once control
// bytes are trimmed from both ends.
bool blank(const std::string& line) {
    for (char ch : line) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte >= 0x20 && byte != 0x7F) return false;
    }
    return true;
}

bool is_answer(const std::string& line) {
    return !blank(line) && line[0] == 'R';
}

std::string seconds(int64_t us) {
    char text[32];
    snprintf(text, sizeof text, "%.1f s", static_cast<double>(us) / 1e6);
    return text;
}

std::string shown_line(const std::string& line) {
    return blank(line) ? "an empty line, which ends the shell's connection" : quoted(line);
}

// Empty when each sender's output is whole lines the shell takes as sent;
// else what is wrong. The shell joins a sender's datagrams into one stream
// of lines, so only a line left without its LF, or one too long, is wrong.
std::string judge_output(const std::vector<Received>& datagrams, const std::string& request) {
    std::vector<std::pair<long, std::string>> streams;  // per sending process
    for (const Received& d : datagrams) {
        auto it = std::find_if(streams.begin(), streams.end(),
                               [&](const auto& stream) { return stream.first == d.pid; });
        if (it == streams.end()) it = streams.insert(streams.end(), {d.pid, ""});
        it->second += d.bytes;
    }
    for (const auto& [pid, stream] : streams) {
        size_t start = 0;
        for (size_t lf; (lf = stream.find('\n', start)) != std::string::npos; start = lf + 1) {
            if (lf - start > 16384)
                return breach(
                    "a line of " + std::to_string(lf - start) + " bytes after " + quoted(request),
                    "the shell cuts a line to 16384 bytes", rule::kOutputLines);
        }
        if (start < stream.size())
            return breach("output for " + quoted(request) +
                              " ending without LF: " + quoted(stream.substr(start)),
                          "every line ends with LF (a line may span datagrams)",
                          rule::kOutputLines);
    }
    return "";
}

// Notes who sent the datagrams, and the first the shell would drop.
void note_senders(Checker* c, const std::vector<Received>& datagrams, const std::string& context) {
    for (const Received& d : datagrams) {
        if (std::find(c->senders.begin(), c->senders.end(), d.uid) == c->senders.end())
            c->senders.push_back(d.uid);
        const bool accepted = d.uid == 0 || d.uid == static_cast<long>(geteuid()) ||
                              (d.uid >= 0 && d.uid == c->application_uid);
        if (accepted || !c->bad_sender.empty()) continue;
        c->bad_sender = breach("a datagram from uid " + std::to_string(d.uid) + " (pid " +
                                   std::to_string(d.pid) + ") after " + quoted(context),
                               "the shell drops datagrams from any user but root, its own (uid " +
                                   std::to_string(geteuid()) + ") and the application's (uid " +
                                   std::to_string(c->application_uid) + ")",
                               rule::kSenders);
    }
}

// Notes lines that came between requests, which nothing asked for.
void note_unasked(Checker* c, PeerLink* link) {
    for (const Received& line : link->lines) {
        if (!c->stray.empty()) break;
        c->stray =
            breach((is_answer(line.bytes) ? "an answer nobody asked for, " : "") +
                       shown_line(line.bytes) + ", after " + quoted(link->last_sent),
                   "only answers, one per request, travel on the connection", rule::kOnlyAnswers);
    }
    note_senders(c, link->datagrams, link->last_sent);
    peer_clear(link);
}

// Sorts what the link received since request was sent at sent_us.
Exchange take_exchange(Checker* c, PeerLink* link, const std::string& request, int64_t sent_us) {
    Exchange ex;
    ex.request = request;
    std::vector<std::string> others;
    for (const Received& line : link->lines) {
        if (!is_answer(line.bytes)) {
            others.push_back(line.bytes);
        } else {
            if (ex.answers.empty()) ex.answer_us = line.at_us - sent_us;
            ex.answers.push_back(line.bytes);
        }
    }
    // Without an answer, the first other line is what came in its place.
    if (ex.answers.empty() && !others.empty()) {
        ex.instead = others.front();
        others.erase(others.begin());
    }
    ex.output_on_connection = !others.empty();
    if (!others.empty() && c->stray.empty())
        c->stray = breach(shown_line(others.front()) + " after " + quoted(request),
                          "only answers travel on the connection; output goes to the session "
                          "socket",
                          rule::kOnlyAnswers);
    if (c->bad_output.empty()) c->bad_output = judge_output(link->datagrams, request);
    note_senders(c, link->datagrams, request);
    ex.datagrams = link->datagrams;
    ex.ended = link->ended;
    return ex;
}

}  // namespace

std::string breach(const std::string& seen, const std::string& rule_text, const char* section) {
    return seen + ": " + rule_text + " (protocol.md " + section + ")";
}

void add_row(Checker* c, std::string name, Verdict verdict, std::string detail) {
    c->report->rows.push_back({std::move(name), verdict, std::move(detail)});
    if (c->progress->out == nullptr) return;
    if (c->waiting_shown) fputs("\r\033[K", c->progress->out);
    c->waiting_shown = false;
    checks_print_row(&c->report->rows.back(), c->progress->out);
}

bool wait_for(Checker* c, const std::vector<PeerLink*>& links, int64_t deadline_us,
              const std::function<bool()>& done, const std::string& what) {
    if (peer_pump(links, std::min(deadline_us, peer_now_us() + kNoteAfterUs), done)) return true;
    if (c->progress->out != nullptr && c->progress->terminal) {
        checks_print_wait(what, c->progress->out);
        c->waiting_shown = true;
    }
    return peer_pump(links, deadline_us, done);
}

std::string quoted(std::string_view text) {
    constexpr size_t kShown = 120;
    std::string shown = sim_escape(text.substr(0, kShown));
    return "\"" + shown + (text.size() > kShown ? "...\"" : "\"");
}

Link connect_session(Checker* c, std::string* why) {
    if (!c->unreachable.empty()) {
        *why = c->unreachable;
        return nullptr;
    }
    auto link = std::make_unique<PeerLink>();
    // The name cannot clash with a session's own socket, which is always
    // "zcon" and the terminal's name.
    const std::string path = c->opt->socket_dir + "/peer-check." + std::to_string(getpid()) + "." +
                             std::to_string(c->sockets++);
    if (peer_connect(link.get(), c->opt->address, c->opt->timeout_ms, why) < 0 ||
        peer_bind(link.get(), path, why) < 0)
        return nullptr;
    return link;
}

Opened open_session(Checker* c, const char* type) {
    Opened out;
    Link link = connect_session(c, &out.detail);
    if (!link) return out;
    const Exchange ex = ask(c, {link.get()}, std::string("R: ") + type, true)[0];
    long result = 0;
    const std::string problem = judge_answer(c, ex, &result);
    out.clean = problem.empty() && result == 0;
    if (out.clean) {
        out.detail = quoted(ex.answers[0]);
    } else if (problem.empty()) {
        out.detail = breach("got " + quoted(ex.answers[0]) + " for " + quoted(ex.request),
                            "a session is accepted with 0; any other result ends the shell "
                            "with status 255",
                            rule::kRegister);
    } else {
        out.detail = problem;
    }
    // A registration that was accepted but answered wrongly still gives a
    // session to check the rest with.
    const bool accepted =
        !ex.answers.empty() && ex.answers[0].size() > 3 && atol(ex.answers[0].c_str() + 3) == 0;
    if (accepted || !ex.instead.empty()) out.link = std::move(link);
    return out;
}

Link session_for(Checker* c, const std::string& name) {
    Opened opened = open_session(c, "api");
    if (!opened.link) add_row(c, name, Verdict::kNotApplicable, "no session: " + opened.detail);
    return std::move(opened.link);
}

void close_session(Link link) {
    if (link && link->ended.empty()) peer_send(link.get(), "U");
}

std::vector<Exchange> ask(Checker* c, const std::vector<PeerLink*>& links,
                          const std::string& request, bool registration) {
    for (PeerLink* link : links) {
        note_unasked(c, link);
        peer_send(link, registration ? request + " " + link->path : request);
    }
    const int64_t sent = peer_now_us();
    const int64_t limit_us = int64_t{c->opt->timeout_ms} * 1000;
    // Done when every link has an answer, has ended, or has a line that may
    // be an answer in the wrong form (the quiet period below tells).
    auto done = [&] {
        return std::all_of(links.begin(), links.end(), [](const PeerLink* link) {
            return !link->lines.empty() || !link->ended.empty();
        });
    };
    const std::string what = "the answer to " + quoted(request);
    int64_t waited = limit_us;
    if (!wait_for(c, links, sent + limit_us, done, what + " (limit " + seconds(limit_us) + ")")) {
        waited = limit_us * kLateFactor;
        wait_for(c, links, sent + waited, done, what + ", late (up to " + seconds(waited) + ")");
    }
    peer_settle(links, c->opt->quiet_ms, peer_now_us() + limit_us);
    std::vector<Exchange> out;
    for (PeerLink* link : links) {
        out.push_back(take_exchange(c, link, link->last_sent, sent));
        out.back().waited_us = waited;
        peer_clear(link);
    }
    return out;
}

Exchange exchange(Checker* c, PeerLink* link, const std::string& request) {
    return ask(c, {link}, request)[0];
}

std::string judge_answer(const Checker* c, const Exchange& ex, long* result) {
    const int64_t limit_us = int64_t{c->opt->timeout_ms} * 1000;
    const std::string in_time = "every request gets one answer within " + seconds(limit_us);
    const std::string form = "an answer is \"R: <int>\"";
    if (ex.answers.empty() && !ex.instead.empty())
        return breach("got " + shown_line(ex.instead) + " for " + quoted(ex.request), form,
                      rule::kAnswerLine);
    if (ex.answers.empty() && !ex.ended.empty())
        return breach("no answer to " + quoted(ex.request) + "; the connection " + ex.ended,
                      in_time, rule::kOneAnswer);
    if (ex.answers.empty())
        return breach("no answer to " + quoted(ex.request) + " within " + seconds(ex.waited_us),
                      in_time, rule::kOneAnswer);
    if (ex.answers.size() > 1) {
        std::string all;
        for (const std::string& answer : ex.answers)
            all += (all.empty() ? "" : ", ") + quoted(answer);
        return breach(quoted(ex.request) + " answered " + std::to_string(ex.answers.size()) +
                          " times: " + all,
                      "one answer per request", rule::kOneAnswer);
    }
    const std::string& answer = ex.answers[0];
    // The shell reads the result from the fourth character on; nothing
    // there means, to it, that the application has closed the session.
    const char* text = answer.size() > 3 ? answer.c_str() + 3 : "";
    const char* digits = (*text == '-' || *text == '+') ? text + 1 : text;
    if (*text == '\0')
        return breach("got " + quoted(answer) + " for " + quoted(ex.request),
                      form + "; an empty one tells the shell the session is closed",
                      rule::kAnswerLine);
    if (*digits < '0' || *digits > '9')
        return breach("got " + quoted(answer) + " for " + quoted(ex.request), form,
                      rule::kAnswerLine);
    if (ex.answer_us > limit_us)
        return breach(quoted(ex.request) + " answered after " + seconds(ex.answer_us) + ", limit " +
                          seconds(limit_us),
                      in_time, rule::kOneAnswer);
    *result = strtol(text, nullptr, 10);
    return "";
}
