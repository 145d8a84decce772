// The control socket: its clients, and one command per line, answered by zero or more data
// lines (each starting with a space, so they can never be mistaken for the
// status) and one status line starting "ok" or "error".
#include <errno.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <array>
#include <memory>
#include <string>

#include "server.h"

namespace {

// Reads a whole decimal number (optionally negative) from text into *value.
// Returns 0, or -1 when text is not one.
int parse_int(std::string_view text, long* value) {
    std::string copy(text);
    if (copy.empty() || copy.size() > 10) return -1;
    char* end = nullptr;
    *value = strtol(copy.c_str(), &end, 10);
    return *end == '\0' ? 0 : -1;
}

// Finds the session a control line names by id; NULL after an error reply.
Session* target(AppdServer* sv, std::string_view id_text, std::string* reply) {
    long id = 0;
    Session* s = nullptr;
    if (parse_int(id_text, &id) == 0 && id > 0)
        s = appd_find_session(sv, static_cast<unsigned>(id));
    if (s == nullptr) *reply += "error: no session " + std::string(id_text) + "\n";
    return s;
}

// Appends one data line.
void data_line(std::string* reply, std::string_view text) {
    *reply += ' ';
    *reply += text;
    *reply += '\n';
}

// "flood <id|all> <count> <len> <lines-per-datagram>"
void flood(AppdServer* sv, std::string_view args, std::string* reply) {
    std::string_view who, count_text, len_text;
    std::string_view rest = sim_split_word(args, &who);
    rest = sim_split_word(rest, &count_text);
    std::string_view per_text = sim_split_word(rest, &len_text);
    long count, len, per;
    if (parse_int(count_text, &count) < 0 || parse_int(len_text, &len) < 0 ||
        parse_int(per_text, &per) < 0 || count < 0 || len < 0 || per < 1 ||
        static_cast<size_t>(per) * static_cast<size_t>(len + 1) > kNumberedDatagramMax) {
        *reply += "error: usage: flood <id|all> <count> <len> <lines-per-datagram>\n";
        return;
    }
    auto queue = [&](Session* s) {
        appd_queue_numbered(s, "flood " + std::to_string(s->id) + " ", static_cast<unsigned>(count),
                            static_cast<unsigned>(len), static_cast<unsigned>(per));
        appd_flush(sv, s);
    };
    if (who == "all") {
        for (auto& [id, s] : sv->sessions) {
            if (!s->dead && s->registered) queue(s.get());
        }
    } else {
        Session* s = target(sv, who, reply);
        if (s == nullptr) return;
        if (!s->registered) {
            *reply += "error: session not registered\n";
            return;
        }
        queue(s);
    }
    *reply += "ok\n";
}

// "dgram <id> <escaped>" and "send <id> <escaped>"
void raw(AppdServer* sv, bool datagram, std::string_view args, std::string* reply) {
    std::string_view id_text;
    std::string_view escaped = sim_split_word(args, &id_text);
    Session* s = target(sv, id_text, reply);
    if (s == nullptr) return;
    std::string bytes;
    if (sim_unescape(escaped, &bytes) < 0) {
        *reply += "error: bad escape\n";
        return;
    }
    if (datagram) {
        if (!s->registered) {
            *reply += "error: session not registered\n";
            return;
        }
        appd_queue_datagram(s, std::move(bytes));
    } else {
        appd_queue_tcp(s, std::move(bytes));
    }
    appd_flush(sv, s);
    *reply += "ok\n";
}

// "sessions": one data line per live session.
void list_sessions(AppdServer* sv, std::string* reply) {
    for (auto& [id, s] : sv->sessions) {
        if (s->dead) continue;
        bool reg = s->registered;
        data_line(reply, std::to_string(id) + " " + (reg ? s->type : "-") + " " +
                             (reg ? s->path : "-") + " " + (s->name.empty() ? "-" : s->name));
    }
}

// "requests <id>": the lines a live or recently closed session sent. Returns
// false after an error reply.
bool list_requests(AppdServer* sv, std::string_view args, std::string* reply) {
    long id = 0;
    const std::vector<std::string>* lines = nullptr;
    if (parse_int(args, &id) == 0 && id > 0) {
        Session* s = appd_find_session(sv, static_cast<unsigned>(id));
        auto closed = sv->closed_requests.find(static_cast<unsigned>(id));
        if (s != nullptr)
            lines = &s->requests;
        else if (closed != sv->closed_requests.end())
            lines = &closed->second;
    }
    if (lines == nullptr) {
        *reply += "error: no session " + std::string(args) + "\n";
        return false;
    }
    for (const std::string& request : *lines)
        data_line(reply, sim_escape(request));
    return true;
}

// "breach NAME [MS]": breaks one of the shell's needs on purpose, or none;
// MS is late-answer's lag.
void set_breach(AppdServer* sv, std::string_view args, std::string* reply) {
    std::string_view name;
    const std::string_view ms_text = sim_split_word(args, &name);
    long ms = 6000;
    if (!ms_text.empty() && (parse_int(ms_text, &ms) < 0 || ms < 0)) {
        *reply += "error: usage: breach NAME [MS]\n";
        return;
    }
    static constexpr struct {
        const char* name;
        Breach breach;
    } kNames[] = {
        {"none", Breach::kNone},
        {"double-answer", Breach::kDoubleAnswer},
        {"bare-answer", Breach::kBareAnswer},
        {"unanswered-naming", Breach::kUnansweredNaming},
        {"unknown-accepted", Breach::kUnknownAccepted},
        {"no-whoami", Breach::kNoWhoami},
        {"settings-refused", Breach::kSettingsRefused},
        {"output-on-connection", Breach::kOutputOnConnection},
        {"output-unterminated", Breach::kOutputUnterminated},
        {"output-crossed", Breach::kOutputCrossed},
        {"output-after-unregister", Breach::kOutputAfterUnregister},
        {"answer-unregister", Breach::kAnswerUnregister},
        {"keep-open", Breach::kKeepOpen},
        {"answer-form", Breach::kAnswerForm},
        {"late-answer", Breach::kLateAnswer},
        {"foreign-sender", Breach::kForeignSender},
    };
    for (const auto& entry : kNames) {
        if (name != entry.name) continue;
        sv->breach = entry.breach;
        sv->breach_ms = static_cast<int>(ms);
        sv->kept_open.clear();
        *reply += "ok\n";
        return;
    }
    *reply += "error: unknown breach\n";
}

}  // namespace

int appd_control_execute(AppdServer* sv, std::string_view line, std::string* reply) {
    std::string_view cmd;
    std::string_view args = sim_split_word(line, &cmd);
    if (cmd == "sessions") {
        list_sessions(sv, reply);
    } else if (cmd == "notify") {
        appd_notify_all(sv, args);
    } else if (cmd == "dgram" || cmd == "send") {
        raw(sv, cmd == "dgram", args, reply);
        return 0;
    } else if (cmd == "close") {
        Session* s = target(sv, args, reply);
        if (s == nullptr) return 0;
        appd_close_session(sv, s);
    } else if (cmd == "hold") {
        if (args != "on" && args != "off") {
            *reply += "error: usage: hold on|off\n";
            return 0;
        }
        sv->hold_all = args == "on";
        if (!sv->hold_all) appd_release_held(sv);
    } else if (cmd == "register-result") {
        long value;
        if (parse_int(args, &value) < 0) {
            *reply += "error: usage: register-result N\n";
            return 0;
        }
        sv->register_result = static_cast<int>(value);
    } else if (cmd == "requests") {
        if (!list_requests(sv, args, reply)) return 0;
    } else if (cmd == "settings") {
        for (auto& [name, value] : sv->settings)
            data_line(reply, name + "=" + value);
    } else if (cmd == "breach") {
        set_breach(sv, args, reply);
        return 0;
    } else if (cmd == "flood") {
        flood(sv, args, reply);
        return 0;
    } else if (cmd == "quit") {
        *reply += "ok\n";
        return 1;
    } else {
        *reply += "error: unknown command\n";
        return 0;
    }
    *reply += "ok\n";
    return 0;
}

// Writes a control client's pending reply bytes.
void appd_write_control(AppdServer* sv, ControlClient* c) {
    while (!c->out.empty()) {
        ssize_t n = send(c->fd.get(), c->out.data(), c->out.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) c->dead = true;
            break;
        }
        c->out.erase(0, static_cast<size_t>(n));
    }
    uint32_t wanted = EPOLLIN | (c->out.empty() ? 0u : static_cast<uint32_t>(EPOLLOUT));
    if (!c->dead)
        appd_set_interest(sv, c->fd.get(), appd_token(kTokControl, c->id), &c->events, wanted);
}

// Reads control lines and executes them, in order.
void appd_read_control(AppdServer* sv, ControlClient* c) {
    std::array<char, 16384> buf;
    ssize_t n = recv(c->fd.get(), buf.data(), buf.size(), 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) {
        c->dead = true;
        return;
    }
    sim_linebuf_append(&c->in, buf.data(), static_cast<size_t>(n));
    std::string line;
    int rc;
    while (!sv->stopping && (rc = sim_linebuf_take(&c->in, &line)) != 0) {
        if (rc < 0) {
            c->out += "error: line too long\n";
            c->dead = true;
            break;
        }
        if (line.empty()) continue;
        if (appd_control_execute(sv, line, &c->out)) sv->stopping = true;
    }
    appd_write_control(sv, c);
}

// Accepts every pending control connection.
void appd_accept_controls(AppdServer* sv) {
    for (int fd; (fd = appd_accept(sv->control_listener.get())) >= 0;) {
        auto c = std::make_unique<ControlClient>();
        c->id = sv->next_control_id++;
        c->fd.reset(fd);
        c->in.max_line = kControlLineMax;
        if (appd_watch(sv, fd, appd_token(kTokControl, c->id), EPOLLIN) < 0) continue;
        c->events = EPOLLIN;
        sv->controls.emplace(c->id, std::move(c));
    }
}
