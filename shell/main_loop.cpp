// The turns of the command loop: one line read and handled per turn.
#include "main_loop.h"

#include <string.h>
#include <unistd.h>

#include <optional>

#include "channel.h"
#include "cle.h"
#include "clock.h"
#include "commands.h"
#include "console.h"
#include "ending_signals.h"
#include "flood_guard.h"
#include "input_gate.h"
#include "session.h"
#include "system_log.h"
#include "typed_line.h"

namespace {

constexpr int kReadLimit = kCmdBuffSize - 1;  // the editor's limit, terminator included

// What the loop keeps from one turn to the next.
struct CommandLoop {
    Channel& channel;
    CommandContext context;             // the command mode, and the channel for local commands
    char cmdbuff[kCmdBuffSize] = "";    // the line being handled
    const char* prompt = no_prompt;     // the editor's own: the loop prints "-> " itself
    bool reboot_cmd_hack_flag = false;  // while a reboot confirmation is pending
    FloodGuard guard;
};

bool line_is(const char* line, const char* word) {
    return strcmp(line, word) == 0;
}

// Leaves customer-API-only mode of a telnet session; true when it did.
bool leave_customer_api_mode(CommandLoop& loop) {
    if (!session_traits().console || !cmd_fmt_is(loop.context.cmd_fmt, kFmtCustomerApi)) {
        return false;
    }
    console_hold_line("Exiting customer api *ONLY* mode");
    loop.context.cmd_fmt = kFmtNormal;
    return true;
}

// Reads the next line after taking the input gate. Returns the editor's
// result: -1 at end of input.
int get_input_command(CommandLoop& loop, InputGate& gate) {
    gate.take();
    return cle_get_command_line(loop.prompt, loop.cmdbuff, kReadLimit);
}

// Takes quit, exit and the reboot dialogue. Returns the ending they ask for
// (kQuit: leave), or none when the session goes on.
std::optional<Ending> reboot_cmd_processing(CommandLoop& loop) {
    const char* line = loop.cmdbuff;
    if (!loop.reboot_cmd_hack_flag) {
        if (line_is(line, "reboot")) {
            loop.reboot_cmd_hack_flag = true;
            console_ask("reboot, are you sure? <y,n> ");
            return std::nullopt;
        }
        return Ending::kQuit;  // quit or exit
    }
    loop.reboot_cmd_hack_flag = false;
    if (line_is(line, "y")) return Ending::kRebootConfirmed;
    if (line_is(line, "n")) return std::nullopt;
    if (strlen(line) == 1) return Ending::kQuit;
    shell_println("info: reboot command aborted");
    return std::nullopt;
}

// Sends the line to the application. Returns the ending when the
// application is gone, or the user is (a hang-up).
std::optional<Ending> forward(CommandLoop& loop) {
    const RequestStatus status =
        loop.channel.send_command(loop.context.cmd_fmt, loop.cmdbuff).status;
    if (status == RequestStatus::kAnswered || status == RequestStatus::kRefused) {
        return std::nullopt;
    }
    if (session_cut_short()) return Ending::kCutShort;
    syslog_mirror("ERROR:Unable to send command to appd. Quitting. Current command: %s\n",
                  loop.cmdbuff);
    return Ending::kApplicationGone;
}

// Handles one non-empty line. Returns the ending when the session is to end.
std::optional<Ending> handle_line(CommandLoop& loop) {
    char* line = loop.cmdbuff;
    system_log_count_command();
    syslog_mirror("IN:%s\n", line);
    preprocess_legacy_bang_input_cmd(line);

    if (line_is(line, "quit") || line_is(line, "exit") || line_is(line, "reboot") ||
        loop.reboot_cmd_hack_flag) {
        const std::optional<Ending> ending = reboot_cmd_processing(loop);
        if (ending != Ending::kQuit) return ending;
        sleep(1);
        if (leave_customer_api_mode(loop)) return std::nullopt;
        return ending;
    }
    if (process_command(line, loop.context)) return loop.context.ending;
    return forward(loop);
}

// One turn: reads a line and handles it. Returns the ending when the
// session is to end.
std::optional<Ending> run_turn(CommandLoop& loop, InputGate& gate) {
    if (get_input_command(loop, gate) == -1) {
        return session_cut_short() ? Ending::kCutShort : Ending::kQuit;
    }
    trim_command_line(loop.cmdbuff);
    if (flood_guard_check(&loop.guard, wall_clock_ms())) return Ending::kFlooded;
    if (loop.cmdbuff[0] == '\0') {
        console_show_mark();
        return std::nullopt;
    }
    return handle_line(loop);
}

}  // namespace

Ending run_command_loop(Channel& channel, InputGate& gate) {
    const SessionSettings& settings = session_settings();
    CommandLoop loop{channel, {settings.cmd_fmt, channel}, "", no_prompt, false, FloodGuard{}};
    loop.guard.lastTime = settings.process_start_ms;
    gate.give();  // the session is open: the first line may be read
    for (;;) {
        const std::optional<Ending> ending = run_turn(loop, gate);
        gate.give();
        if (ending) return *ending;
        console_end_turn();
    }
}
