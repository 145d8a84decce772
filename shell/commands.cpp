// The tables of local commands, and the dispatcher that offers each typed
// line to them.
#include "commands.h"

#include <string.h>

#include "command_parsing.h"
#include "command_table.h"
#include "console.h"
#include "session.h"
#include "text_buffer.h"

namespace {

constexpr CommandModes kNormalOnly = CommandModes::kNormalOnly;
constexpr CommandModes kEvery = CommandModes::kEvery;

constexpr const char* kIllegalParams = "error: command has illegal parameter(s)";
constexpr const char* kShowUsage =
    "usage: [log] show add <filterstring> [<filterstring>...]\n"
    "       [log] show del <filterstring> [<filterstring>...]\n"
    "       [log] show del *\n"
    "       [log] show";
constexpr const char* kCullUsage =
    "usage: [log] cull add <filterstring> [<filterstring>...]\n"
    "       [log] cull del <filterstring> [<filterstring>...]\n"
    "       [log] cull del *\n"
    "       [log] cull";

// clang-format off
const ShellCommandT command_table[] = {
//   word        handler       modes        usage
    {"test",     test_cmd,     kNormalOnly, nullptr},
    {"shell",    shell_cmd,    kEvery,      nullptr},
    {"!",        repeat_cmd,   kEvery,      kIllegalParams},
    {"api",      api_cmd,      kNormalOnly, kIllegalParams},
    {"apicmds",  apicmds_cmd,  kNormalOnly, nullptr},
    {"cmdecho",  cmdecho_cmd,  kEvery,      "error: command has illegal parameters"},
    {"cull",     log_cull_cmd, kNormalOnly, kCullUsage},
    {"devcmds",  devcmds_cmd,  kNormalOnly, nullptr},
    {"exit",     exit_cmd,     kEvery,      nullptr},
    {"hist",     history_cmd,  kEvery,      nullptr},
    {"history",  history_cmd,  kEvery,      nullptr},
    {"log",      log_cmd,      kNormalOnly, "valid log commands: format show cull"},
    {"qtool",    sys_cmd,      kNormalOnly, kIllegalParams},
    {"printenv", printenv_cmd, kEvery,      nullptr},
    {"prompt",   prompt_cmd,   kNormalOnly, nullptr},
    {"repeat",   repeat_cmd,   kEvery,      kIllegalParams},
    {"session",  session_cmd,  kEvery,      kIllegalParams},
    {"setenv",   setenv_cmd,   kEvery,      kIllegalParams},
    {"show",     log_show_cmd, kNormalOnly, kShowUsage},
    {"sys",      sys_cmd,      kNormalOnly, kIllegalParams},
    {nullptr,    nullptr,      kEvery,      nullptr},
};
// clang-format on

}  // namespace

// Their modes are not consulted: "log" itself exists in normal mode only.
const ShellCommandT log_commands[] = {
    {"cull", log_cull_cmd, kNormalOnly, kCullUsage},
    {"format", log_format_cmd, kNormalOnly, nullptr},
    {"show", log_show_cmd, kNormalOnly, kShowUsage},
    {nullptr, nullptr, kEvery, nullptr},
};

const ShellCommandT* find_command(const ShellCommandT* table, const char* word, bool restricted) {
    for (const ShellCommandT* row = table; row->command; ++row) {
        if (restricted && row->anySession == kNormalOnly) continue;
        if (strcmp(row->command, word) == 0) return row;
    }
    return nullptr;
}

void run_command(const ShellCommandT& row, CommandContext& context, int argc, char** argv) {
    const ShellCommandS* running = context.command;
    context.command = &row;
    row.command_handler(context, argc, argv);
    context.command = running;
}

void print_usage(const CommandContext& context) {
    const char* usage = context.command != nullptr ? context.command->usage : nullptr;
    while (usage != nullptr) {
        const char* end = strchr(usage, '\n');
        const int length = static_cast<int>(end != nullptr ? end - usage : strlen(usage));
        shell_println("%.*s", length, usage);
        usage = end != nullptr ? end + 1 : nullptr;
    }
}

bool process_command(const char* cmd, CommandContext& context) {
    // The split writes into the line, and the caller forwards the line as it
    // gave it when no command matches, so the split works on a copy.
    const TextBuffer copy = text_copy(cmd);
    if (!copy) return false;  // cannot split it: let the application have it

    char* argv[kMaxWords];
    int argc = 0;
    if (tokenizeString(copy.get(), &argc, argv) != 0) {
        shell_println("Invalid command");
        return true;
    }
    if (argc == 0) return true;  // a comment

    const bool restricted = !cmd_fmt_is(context.cmd_fmt, kFmtNormal);
    const ShellCommandT* row = find_command(command_table, argv[0], restricted);
    if (row == nullptr) return false;
    run_command(*row, context, argc, argv);
    return true;
}
