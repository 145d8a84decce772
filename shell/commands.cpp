// The dispatcher that offers each typed line to the local commands.
#include "commands.h"

#include <string.h>

#include "command_parsing.h"
#include "command_table.h"
#include "console.h"
#include "session.h"
#include "text_buffer.h"

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
