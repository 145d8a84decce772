// The commands that steer the session itself or reach past the application:
// command modes, echo, prompt, leaving, one-off requests in a chosen wire
// format, session naming and two fixed answers.
#include <stdio.h>
#include <string.h>

#include "channel.h"
#include "cle.h"
#include "command_parsing.h"
#include "command_table.h"
#include "console.h"
#include "session.h"

namespace {

int prompt_enabled = 1;  // kept: the prompt command sets and reports it, nothing consults it

// True when a word holds a carriage return or line feed, which a quoted
// escape can put there. Sent on, it would end the request early and put the
// rest on the wire as a request of its own.
bool holds_line_break(const char* word) {
    return strpbrk(word, "\r\n") != nullptr;
}

bool any_holds_line_break(int argc, char** argv) {
    for (int i = 0; i < argc; ++i)
        if (holds_line_break(argv[i])) return true;
    return false;
}

// Joins argv[1..] into buffer and hands it to send. Lines longer than the
// command buffer never come from the terminal; one that does not fit is
// refused rather than sent cut, since a cut command may mean something else.
void send_joined(CommandContext& context, int argc, char** argv,
                 RequestResult (Channel::*send)(const char*)) {
    if (argc < 2) return;
    char buffer[kCmdBuffSize];
    if (any_holds_line_break(argc - 1, argv + 1) ||
        make_normalized_string_n(buffer, sizeof buffer, argc - 1, argv + 1) >= sizeof buffer) {
        print_usage(context);
        return;
    }
    (context.channel.*send)(buffer);
}

}  // namespace

// Prints the word count and each word with its index.
void test_cmd(CommandContext& /*context*/, int argc, char** argv) {
    shell_println("argc=%d", argc);
    for (int i = 0; i < argc; ++i)
        shell_println("argv[%d]=%s", i, argv[i]);
}

// Refuses to start a shell. In a serial console session the terminal gets
// its saved settings back first.
void shell_cmd(CommandContext& /*context*/, int /*argc*/, char** /*argv*/) {
    if (session_traits().shell_resets_terminal) cle_cleanup();
    shell_println("error: command not found");
}

// Sends the words after "api" as one customer API request ("E: ").
void api_cmd(CommandContext& context, int argc, char** argv) {
    send_joined(context, argc, argv, &Channel::send_api_cmd);
}

// Sends the words after "sys" or "qtool" as one internal request ("D: ").
void sys_cmd(CommandContext& context, int argc, char** argv) {
    send_joined(context, argc, argv, &Channel::send_sys_cmd);
}

// Enters customer-API-only mode: forwarded lines go out behind "E: ".
void apicmds_cmd(CommandContext& context, int /*argc*/, char** /*argv*/) {
    shell_println("Entering sticky customer api commands *ONLY* mode...");
    context.cmd_fmt = kFmtCustomerApi;
}

// Enters internal-only mode: forwarded lines go out behind "D: ".
void devcmds_cmd(CommandContext& context, int /*argc*/, char** /*argv*/) {
    shell_println("Entering sticky internal commands *ONLY* mode...");
    context.cmd_fmt = kFmtInternal;
}

// Switches the editor's echo of typed characters on or off.
void cmdecho_cmd(CommandContext& context, int argc, char** argv) {
    if (argc < 2) {
        shell_println("%s", kNeedsMore);
        return;
    }
    int state = -1;
    if (argc == 2 && strcmp(argv[1], "on") == 0) state = 1;
    if (argc == 2 && strcmp(argv[1], "off") == 0) state = 0;
    if (state < 0) {
        print_usage(context);
        return;
    }
    console_set_echo(state);
    shell_println("%s %s", argv[0], argv[1]);
}

// Sets or toggles the prompt flag and reports its new value.
void prompt_cmd(CommandContext& /*context*/, int argc, char** argv) {
    prompt_enabled = get_bool_parm(argc, argv, prompt_enabled);
    shell_println("prompt %s", prompt_enabled ? "enabled" : "disabled");
}

// Ends the session: the loop returns at once, without the quit dialogue's
// pause or the login report's clearing.
void exit_cmd(CommandContext& context, int /*argc*/, char** /*argv*/) {
    context.ending = Ending::kExitCommand;
}

// "session name X" or "session find X": one naming request ("N: ").
void session_cmd(CommandContext& context, int argc, char** argv) {
    if (argc < 2) {
        shell_println("%s", kNeedsMore);
    } else if (strcmp(argv[1], "name") != 0 && strcmp(argv[1], "find") != 0) {
        print_usage(context);
    } else if (argc == 3 && !holds_line_break(argv[2])) {
        context.channel.send_session_cmd(argv[1], argv[2]);
    } else if (argc == 2) {
        shell_println("%s", kNeedsMore);
    } else {
        print_usage(context);
    }
}
