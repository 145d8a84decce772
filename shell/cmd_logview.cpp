// The log view commands: the show and cull filters and the date, time and
// level switches with which the log reader thread filters and shapes the
// system log lines it prints.
#include <string.h>

#include "command_table.h"
#include "console.h"
#include "log_view.h"

namespace {

// Prints the title, a rule and each used slot between double quotes.
void list_filters(LogView::Filters which, const char* title) {
    shell_println("%s", title);
    shell_println("--------------------");
    for (const FilterSlot& slot : session_log_view().filters(which)) {
        if (slot[0] != '\0') shell_println("\"%s\"", slot.data());
    }
}

// The procedure behind "show" and "cull": list, add, delete or explain.
void filter_cmd(CommandContext& context, int argc, char** argv, LogView::Filters which,
                const char* title) {
    LogView& view = session_log_view();
    if (argc == 1) {
        list_filters(which, title);
    } else if (strcmp(argv[1], "add") == 0) {
        if (argc > 2) view.add_filters(which, argc - 2, argv + 2);
    } else if (strcmp(argv[1], "del") == 0) {
        if (argc > 2) view.delete_filters(which, argc - 2, argv + 2);
    } else {
        print_usage(context);
    }
}

}  // namespace

// Runs the second word of "log" as if it had been typed alone.
void log_cmd(CommandContext& context, int argc, char** argv) {
    if (argc < 2) {
        print_usage(context);
        return;
    }
    if (const ShellCommandT* row = find_command(log_commands, argv[1], false)) {
        run_command(*row, context, argc - 1, argv + 1);
    }
}

void log_show_cmd(CommandContext& context, int argc, char** argv) {
    filter_cmd(context, argc, argv, LogView::Filters::kShow, "Active show filters:");
}

void log_cull_cmd(CommandContext& context, int argc, char** argv) {
    filter_cmd(context, argc, argv, LogView::Filters::kCull, "Active cull filters:");
}

// Sets the three switches to exactly the parts named: the words given are the
// whole new format, so "log format" alone turns every part off.
void log_format_cmd(CommandContext& /*context*/, int argc, char** argv) {
    bool date = false;
    bool time = false;
    bool level = false;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "date") == 0) date = true;
        if (strcmp(argv[i], "time") == 0) time = true;
        if (strcmp(argv[i], "level") == 0) level = true;
    }
    session_log_view().set_format(date, time, level);
}
