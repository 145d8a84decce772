// The commands the stand-in application understands under "C: ", "E: " and
// "D: ": enough of an appliance for a demo and for the shell's own requests
// (whoami, reboot now, the login report's setting writes).
#include <time.h>

#include <array>

#include "server.h"

namespace {

using Handler = int (*)(AppdServer* sv, Session* s, std::string_view args);

struct Command {
    const char* word;
    Handler run;
    const char* help;
};

// Prints the command list.
int help_cmd(AppdServer* sv, Session* s, std::string_view args);

// Prints model, uptime, session counts and interfaces.
int status_cmd(AppdServer* sv, Session* s, std::string_view) {
    long up = static_cast<long>(time(nullptr) - sv->started);
    unsigned registered = 0;
    unsigned connected = 0;
    for (auto& [id, other] : sv->sessions) {
        if (other->dead) continue;
        ++connected;
        if (other->registered) ++registered;
    }
    appd_print(s, "Model: Orvandel QX-400 (simulated)");
    appd_printf(s, "Uptime: %ld days %02ld:%02ld:%02ld", up / 86400, up / 3600 % 24, up / 60 % 60,
                up % 60);
    appd_printf(s, "Sessions: %u registered, %u connected", registered, connected);
    appd_print(s, "Interface eth0: up 192.0.2.10/24");
    appd_print(s, "Interface eth1: down");
    return 0;
}

// Prints the simulator's version.
int version_cmd(AppdServer*, Session* s, std::string_view) {
    appd_print(s, "appd 0.1.0 (appliance simulator)");
    return 0;
}

// Prints who the session is to the application.
int whoami_cmd(AppdServer*, Session* s, std::string_view) {
    appd_printf(s, "session %u type %s socket %s%s%s", s->id, s->type.c_str(), s->path.c_str(),
                s->name.empty() ? "" : " name ", s->name.c_str());
    return 0;
}

// Prints the text as it came.
int echo_cmd(AppdServer*, Session* s, std::string_view args) {
    appd_print(s, args);
    return 0;
}

// Stores NAME = VALUE; an empty value removes the setting.
void store_setting(AppdServer* sv, std::string_view name, std::string_view value) {
    if (value.empty()) {
        sv->settings.erase(std::string(name));
    } else {
        sv->settings[std::string(name)] = std::string(value);
    }
}

// "systemsetting" lists, "systemsetting NAME" shows one, "systemsetting
// NAME VALUE" sets (a trailing space with no value clears).
int systemsetting_cmd(AppdServer* sv, Session* s, std::string_view args) {
    if (args.empty()) {
        for (auto& [name, value] : sv->settings)
            appd_print(s, name + "=" + value);
        return 0;
    }
    std::string_view name;
    std::string_view value = sim_split_word(args, &name);
    if (name.size() < args.size()) {
        store_setting(sv, name, value);
        appd_print(s, std::string(name) + "=" + std::string(value));
        return 0;
    }
    auto it = sv->settings.find(std::string(name));
    if (it == sv->settings.end()) {
        appd_print(s, std::string(name) + " is not set");
    } else {
        appd_print(s, it->first + "=" + it->second);
    }
    return 0;
}

// Lists every stored setting.
int settings_cmd(AppdServer* sv, Session* s, std::string_view) {
    return systemsetting_cmd(sv, s, {});
}

// "execwithoutecho systemsetting NAME [VALUE]" stores silently (no value
// clears); other commands run with their output discarded.
int execwithoutecho_cmd(AppdServer* sv, Session* s, std::string_view args) {
    std::string_view word;
    std::string_view rest = sim_split_word(args, &word);
    if (word == "systemsetting") {
        std::string_view name;
        std::string_view value = sim_split_word(rest, &name);
        if (name.empty()) return -1;
        store_setting(sv, name, value);
        return 0;
    }
    size_t kept = s->outbox.size();
    int rc = appd_run_command(sv, s, args);
    while (s->outbox.size() > kept)
        s->outbox.pop_back();
    return rc;
}

// "reboot now": the simulator tells everyone and keeps running.
int reboot_cmd(AppdServer* sv, Session* s, std::string_view args) {
    if (args != "now") return -1;
    appd_print(s, "The system is going down for reboot NOW!");
    appd_notify_all(sv, "Broadcast message: the appliance is rebooting (simulated)");
    return 0;
}

constexpr std::array kCommands = {
    Command{"help", help_cmd, "list the commands"},
    Command{"status", status_cmd, "model, uptime, sessions and interfaces"},
    Command{"version", version_cmd, "the application's version"},
    Command{"whoami", whoami_cmd, "this session's id, type and socket"},
    Command{"echo", echo_cmd, "echo TEXT: print TEXT"},
    Command{"systemsetting", systemsetting_cmd, "systemsetting [NAME [VALUE]]: show or set"},
    Command{"settings", settings_cmd, "list the stored settings"},
    Command{"execwithoutecho", execwithoutecho_cmd, "execwithoutecho COMMAND: run it silently"},
    Command{"reboot", reboot_cmd, "reboot now: announce a reboot (the simulator stays up)"},
};

int help_cmd(AppdServer*, Session* s, std::string_view) {
    appd_print(s, "Commands:");
    for (const Command& c : kCommands)
        appd_printf(s, "  %-16s %s", c.word, c.help);
    return 0;
}

}  // namespace

int appd_run_command(AppdServer* sv, Session* s, std::string_view command) {
    std::string_view word;
    std::string_view args = sim_split_word(command, &word);
    for (const Command& c : kCommands) {
        if (word == c.word) return c.run(sv, s, args);
    }
    return -1;
}

void appd_notify_all(AppdServer* sv, std::string_view line) {
    for (auto& [id, s] : sv->sessions) {
        if (s->dead || !s->registered) continue;
        appd_print(s.get(), line);
        appd_flush(sv, s.get());
    }
}
