// The request side of the protocol: registration, unregistration, the four
// request prefixes, and the "sim ..." scripting that tests put in a request
// to make the answer misbehave on purpose.
#include <string>

#include "server.h"

namespace {

// What becomes of a request once its output is queued.
struct Outcome {
    enum Kind { kAnswer, kNoAnswer, kClose } kind = kAnswer;
    std::string answer = "R: 0";
    int lag_ms = 0;
};

// Builds the usual answer line for a result code.
std::string answer_line(int code) {
    return "R: " + std::to_string(code);
}

// Carries out "sim <what> [args]", the in-band scripting of a request.
Outcome run_sim(std::string_view script) {
    std::string_view what;
    std::string_view args = sim_split_word(script, &what);
    Outcome out;
    if (what == "close") {
        out.kind = Outcome::kClose;
    } else if (what == "answer") {
        out.answer = std::string(args);
    } else {
        out.answer = "R: -1";
    }
    return out;
}

// "N: name X" and "N: find X": naming sessions so others can find them.
int run_naming(AppdServer* sv, Session* s, std::string_view body) {
    std::string_view op;
    std::string_view arg = sim_split_word(body, &op);
    if (arg.empty()) return -1;
    if (op == "name") {
        s->name = std::string(arg);
        return 0;
    }
    if (op != "find") return -1;
    for (auto& [id, other] : sv->sessions) {
        if (other->dead || other->name != arg) continue;
        appd_printf(s, "session %u %s %s", other->id, other->registered ? other->type.c_str() : "-",
                    other->registered ? other->path.c_str() : "-");
        return 0;
    }
    return -1;
}

// Runs a command, with the result a broken application would give.
int run_command(AppdServer* sv, Session* s, std::string_view body) {
    if (sv->breach == Breach::kNoWhoami && body == "whoami") return -1;
    if (sv->breach == Breach::kSettingsRefused && body.starts_with("execwithoutecho systemsetting"))
        return -1;
    const int rc = appd_run_command(sv, s, body);
    return sv->breach == Breach::kUnknownAccepted && rc < 0 ? 0 : rc;
}

// The path where a session's output goes: the one it registered, or under
// the breach kOutputCrossed, another registered session's.
std::string output_path(AppdServer* sv, const Session* s, std::string_view path) {
    if (sv->breach != Breach::kOutputCrossed) return std::string(path);
    for (auto& [id, other] : sv->sessions) {
        if (other.get() != s && !other->dead && other->registered) return other->path;
    }
    return std::string(path);
}

// Answers a request, as often as a broken application does.
void answer(AppdServer* sv, Session* s, std::string line) {
    if (sv->breach == Breach::kBareAnswer) line = "R:";
    if (sv->breach == Breach::kDoubleAnswer) appd_answer(sv, s, line);
    appd_answer(sv, s, std::move(line));
}

// "R: <type> <path>": remembers where the session's output goes.
void run_registration(AppdServer* sv, Session* s, std::string_view body) {
    std::string_view type;
    std::string_view path = sim_split_word(body, &type);
    int result = sv->register_result;
    if (type.empty() || path.empty()) result = -1;
    if (result == 0) {
        s->type = std::string(type);
        s->path = output_path(sv, s, path);
        s->registered = true;
        s->dgram.reset();  // a new path needs a new connection
        s->dgram_blocked = false;
    }
    appd_answer(sv, s, answer_line(result));
}

}  // namespace

void appd_log_answer(AppdServer* sv, const Session* s, std::string_view answer) {
    if (sv->request_log == nullptr) return;
    // The result alone reads best; answers scripted not to look like one are
    // shown whole. A long request is cut, so that its result still shows.
    if (answer.substr(0, 3) == "R: ") answer.remove_prefix(3);
    constexpr size_t kShownRequest = 400;
    std::string request = sim_escape(std::string_view(s->answering).substr(0, kShownRequest));
    if (s->answering.size() > kShownRequest) request += "...";
    std::string entry =
        "session " + std::to_string(s->id) + ": " + request + " -> " + sim_escape(answer);
    sv->request_log(entry.c_str());
}

void appd_handle_line(AppdServer* sv, Session* s, const std::string& line) {
    appd_trace(sv, s->id, "<", sim_escape(line));
    s->requests.push_back(line);
    if (line == "U") {
        if (sv->breach == Breach::kOutputAfterUnregister) appd_print(s, "goodbye");
        if (sv->breach == Breach::kAnswerUnregister) appd_answer(sv, s, "R: 0");
        s->registered = false;  // output already queued still goes out
        return;
    }
    if (line.size() < 3 || line[1] != ':' || line[2] != ' ') return;
    s->answering = line;
    std::string_view body = std::string_view(line).substr(3);
    char prefix = line[0];
    if (prefix == 'R') {
        run_registration(sv, s, body);
        return;
    }
    if (prefix != 'C' && prefix != 'E' && prefix != 'D' && prefix != 'N') return;

    Outcome out;
    if (body.substr(0, 4) == "sim ") {
        out = run_sim(body.substr(4));
    } else if (prefix == 'N') {
        out.answer = answer_line(run_naming(sv, s, body));
        if (sv->breach == Breach::kUnansweredNaming) out.kind = Outcome::kNoAnswer;
    } else {
        out.answer = answer_line(run_command(sv, s, body));
    }
    if (sv->breach == Breach::kLateAnswer && prefix == 'E') out.lag_ms = sv->breach_ms;
    switch (out.kind) {
        case Outcome::kNoAnswer:
            break;
        case Outcome::kClose:
            appd_close_session(sv, s);
            break;
        case Outcome::kAnswer:
            if (out.lag_ms > 0) {
                appd_answer_later(sv, s, std::move(out.answer), out.lag_ms);
            } else {
                answer(sv, s, std::move(out.answer));
            }
            break;
    }
}
