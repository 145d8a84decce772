// The table of commands the shell runs itself, and the dispatcher that offers
// each typed line to it before the line is forwarded to the application.
#include "commands.h"

#include <string.h>

#include "command_parsing.h"
#include "console.h"
#include "session.h"
#include "text_buffer.h"

namespace {

// Rows with anySession 0 exist in normal mode only: in the two restricted
// modes their lines go to the application like any other.
const ShellCommandT command_table[] = {
    {"test", test_cmd, 0},        {"shell", shell_cmd, -1},
    {"!", repeat_cmd, -1},        {"api", api_cmd, 0},
    {"apicmds", apicmds_cmd, 0},  {"cmdecho", cmdecho_cmd, -1},
    {"cull", log_cull_cmd, 0},    {"devcmds", devcmds_cmd, 0},
    {"exit", exit_cmd, -1},       {"hist", history_cmd, -1},
    {"history", history_cmd, -1}, {"log", log_cmd, 0},
    {"qtool", sys_cmd, 0},        {"printenv", printenv_cmd, -1},
    {"prompt", prompt_cmd, 0},    {"repeat", repeat_cmd, -1},
    {"session", session_cmd, -1}, {"setenv", setenv_cmd, -1},
    {"show", log_show_cmd, 0},    {"sys", sys_cmd, 0},
    {nullptr, nullptr, 0},
};

}  // namespace

int process_command(const char* cmd, CommandContext& context) {
    // The split writes into the line, and the caller forwards the line as it
    // gave it when no command matches, so the split works on a copy.
    const TextBuffer copy = text_copy(cmd);
    if (!copy) return 0;  // cannot split it: let the application have it

    char* argv[kMaxWords];
    int argc = 0;
    if (tokenizeString(copy.get(), &argc, argv) != 0) {
        shell_println("Invalid command");
        return -1;
    }
    if (argc == 0) return -1;  // a comment

    const bool restricted = !cmd_fmt_is(context.cmd_fmt, kFmtNormal);
    for (const ShellCommandT* row = command_table; row->command; ++row) {
        if (restricted && row->anySession == 0) continue;
        if (strcmp(row->command, argv[0]) == 0) {
            row->command_handler(context, argc, argv);
            return -1;
        }
    }
    return 0;
}
