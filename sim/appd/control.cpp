// The control socket: one command per line, answered by zero or more data
// lines (each starting with a space, so they can never be mistaken for the
// status) and one status line starting "ok" or "error".
#include <stdlib.h>

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

}  // namespace

int appd_control_execute(AppdServer* sv, std::string_view line, std::string* reply) {
    std::string_view cmd;
    std::string_view args = sim_split_word(line, &cmd);
    if (cmd == "sessions") {
        for (auto& [id, s] : sv->sessions) {
            if (s->dead) continue;
            bool reg = s->registered;
            data_line(reply, std::to_string(id) + " " + (reg ? s->type : "-") + " " +
                                 (reg ? s->path : "-") + " " + (s->name.empty() ? "-" : s->name));
        }
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
            return 0;
        }
        for (const std::string& request : *lines)
            data_line(reply, sim_escape(request));
    } else if (cmd == "settings") {
        for (auto& [name, value] : sv->settings)
            data_line(reply, name + "=" + value);
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
