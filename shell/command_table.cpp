// The tables of local commands, and their lookup.
#include "command_table.h"

#include <string.h>

#include "console.h"

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

}  // namespace

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
        const size_t length = end != nullptr ? static_cast<size_t>(end - usage) : strlen(usage);
        shell_println("%.*s", static_cast<int>(length), usage);
        usage = end != nullptr ? end + 1 : nullptr;
    }
}
