// Sessions and requests as the shell makes them, and the judging of what
// comes back that every check shares.
#include "checker.h"

#include <stdlib.h>
#include <unistd.h>

namespace {

// Lines the shell takes as the end of the connection: empty once control
// bytes are trimmed from both ends.
bool blank(const std::string& line) {
    for (char ch : line) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte >= 0x20 && byte != 0x7F) return false;
    }
    return true;
}

// Empty when the output is whole lines the shell can take; else what is wrong.
std::string judge_output(const std::vector<Received>& datagrams) {
    std::string stream;
    for (const Received& d : datagrams) {
        if (d.bytes.empty()) return "an empty datagram (the shell stops reading its socket)";
        stream += d.bytes;
    }
    size_t start = 0;
    for (size_t lf; (lf = stream.find('\n', start)) != std::string::npos; start = lf + 1) {
        if (lf + 1 - start > 16384) return "a line of " + std::to_string(lf - start) + " bytes";
    }
    if (start < stream.size()) return "output without a final LF: " + quoted(stream.substr(start));
    return "";
}

}  // namespace

void add_row(Checker* c, std::string name, Verdict verdict, std::string detail) {
    c->report->rows.push_back({std::move(name), verdict, std::move(detail)});
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
    const std::string request = std::string("R: ") + type + " " + link->path;
    const Exchange ex = exchange(c, link.get(), request);
    long result = 0;
    const std::string problem = judge_answer(ex, &result);
    out.clean = problem.empty() && result == 0;
    if (out.clean) {
        out.detail = quoted(ex.answers[0]);
    } else if (problem.empty()) {
        out.detail = "refused: " + quoted(ex.answers[0]);
    } else {
        out.detail = problem;
    }
    // A registration that was accepted but answered wrongly still gives a
    // session to check the rest with.
    if (!ex.answers.empty() && ex.answers[0].size() > 3 && atol(ex.answers[0].c_str() + 3) == 0)
        out.link = std::move(link);
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

std::vector<std::string> take_answers(Checker* c, PeerLink* link, const std::string& context) {
    std::vector<std::string> answers;
    for (const Received& line : link->lines) {
        if (!blank(line.bytes) && line.bytes[0] == 'R') {
            answers.push_back(line.bytes);
        } else if (c->stray.empty()) {
            c->stray = (blank(line.bytes) ? "an empty line, which ends the shell's connection"
                                          : quoted(line.bytes)) +
                       " after " + quoted(context);
        }
    }
    const std::string problem = judge_output(link->datagrams);
    if (!problem.empty() && c->bad_output.empty())
        c->bad_output = problem + " after " + quoted(context);
    return answers;
}

Exchange exchange(Checker* c, PeerLink* link, const std::string& request) {
    peer_clear(link);
    Exchange ex;
    ex.waited_ms = c->opt->timeout_ms;
    if (peer_send(link, request) < 0) {
        ex.ended = "could not be written to";
        return ex;
    }
    const int64_t deadline = peer_now_us() + int64_t{c->opt->timeout_ms} * 1000;
    peer_pump({link}, deadline, [&] {
        for (const Received& line : link->lines)
            if (!line.bytes.empty() && line.bytes[0] == 'R') return true;
        return !link->ended.empty();
    });
    peer_settle({link}, c->opt->quiet_ms, deadline + int64_t{c->opt->quiet_ms} * 1000);
    ex.answers = take_answers(c, link, request);
    ex.ended = link->ended;
    return ex;
}

std::string judge_answer(const Exchange& ex, long* result) {
    if (ex.answers.empty() && !ex.ended.empty()) return "no answer; connection " + ex.ended;
    if (ex.answers.empty()) return "no answer within " + std::to_string(ex.waited_ms) + " ms";
    if (ex.answers.size() > 1) {
        std::string all = std::to_string(ex.answers.size()) + " answers:";
        for (const std::string& answer : ex.answers)
            all += " " + quoted(answer);
        return all;
    }
    const std::string& answer = ex.answers[0];
    // The shell reads the result from the fourth character on; nothing
    // there means, to it, that the application has gone.
    const char* text = answer.size() > 3 ? answer.c_str() + 3 : "";
    const char* digits = (*text == '-' || *text == '+') ? text + 1 : text;
    if (*text == '\0') return quoted(answer) + ": no result (the shell ends the session)";
    if (*digits < '0' || *digits > '9') return quoted(answer) + ": no decimal result";
    *result = strtol(text, nullptr, 10);
    return "";
}
