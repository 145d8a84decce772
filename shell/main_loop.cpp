// The main command loop: read a line, trim it, guard against floods, and
// hand it to the quit/exit/reboot handling, the local commands or the
// application.
#include "main_loop.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "channel.h"
#include "cle.h"
#include "clock.h"
#include "commands.h"
#include "console.h"
#include "ending_signals.h"
#include "flood_guard.h"
#include "session.h"
#include "session_end.h"
#include "system_log.h"
#include "typed_line.h"
#include "waits.h"

namespace {

constexpr int kReadLimit = kCmdBuffSize - 1;  // the editor's limit, terminator included
constexpr int kFloodPauseMs = 10000;          // before a flooded session ends

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

[[noreturn]] void terminate_flooded_session(Channel& channel) {
    static constexpr const char* text =
        "Terminating session due to persistent, excessive command arrival.";
    syslog_mirror("%s\n", text);
    console_write_plain_line(text);
    session_pause(kFloodPauseMs);
    end_of_session(channel);
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

int get_input_command(CommandLoop& loop) {
    loop.channel.take_input_gate();
    const int rc = cle_get_command_line(loop.prompt, loop.cmdbuff, kReadLimit);
    if (rc == -1) loop.channel.give_input_gate();
    return rc;
}

// Takes quit, exit and the reboot dialogue. Returns false when the session is
// to end (or leave customer-API-only mode), true when it goes on.
bool reboot_cmd_processing(CommandLoop& loop) {
    const char* line = loop.cmdbuff;
    if (!loop.reboot_cmd_hack_flag) {
        if (line_is(line, "reboot")) {
            loop.reboot_cmd_hack_flag = true;
            console_ask("reboot, are you sure? <y,n> ");
            return true;
        }
        return false;  // quit or exit
    }
    loop.reboot_cmd_hack_flag = false;
    if (line_is(line, "y")) {
        loop.channel.send_api_cmd("reboot now");
        sleep(1);
        cleanup(loop.channel);
        sleep(1);
        end_process("End of session", 0);
    }
    if (line_is(line, "n")) return true;
    if (strlen(line) == 1) return false;
    shell_println("info: reboot command aborted");
    return true;
}

// Handles one non-empty line. Returns false when the session is to end.
bool handle_line(CommandLoop& loop) {
    char* line = loop.cmdbuff;
    system_log_count_command();
    syslog_mirror("IN:%s\n", line);
    preprocess_legacy_bang_input_cmd(line);

    if (line_is(line, "quit") || line_is(line, "exit") || line_is(line, "reboot") ||
        loop.reboot_cmd_hack_flag) {
        if (!reboot_cmd_processing(loop)) {
            sleep(1);
            const bool stays = leave_customer_api_mode(loop);
            loop.channel.give_input_gate();
            return stays;
        }
        loop.channel.give_input_gate();
    } else if (process_command(line, loop.context) != 0) {
        loop.channel.give_input_gate();
    } else {
        const RequestStatus status = loop.channel.send_command(loop.context.cmd_fmt, line).status;
        if (status == RequestStatus::kAnswered || status == RequestStatus::kRefused) return true;
        // The application is gone, or the user is (a hang-up): the session ends.
        if (!session_cut_short()) {
            syslog_mirror("ERROR:Unable to send command to appd. Quitting. Current command: %s\n",
                          line);
        }
        return false;
    }
    return true;
}

}  // namespace

void run_command_loop(Channel& channel) {
    const SessionSettings& settings = session_settings();
    CommandLoop loop{channel, {settings.cmd_fmt, channel}, "", no_prompt, 0, FloodGuard{}};
    loop.guard.lastTime = settings.process_start_ms;
    for (;;) {
        if (get_input_command(loop) == -1) return;
        trim_command_line(loop.cmdbuff);
        if (flood_guard_check(&loop.guard, wall_clock_ms())) terminate_flooded_session(channel);

        if (loop.cmdbuff[0] == '\0') {
            console_show_mark();
            loop.channel.give_input_gate();
        } else if (!handle_line(loop)) {
            return;
        }
        console_end_turn();
    }
}
