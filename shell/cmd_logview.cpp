// The log view commands: the show and cull filters and the date, time and
// level switches with which the log reader thread filters and shapes the
// system log lines it prints. Every edit is made under log_view_mut, which the
// reader holds while it tests a record, so it never sees half an edit.
#include <pthread.h>
#include <string.h>

#include "commands.h"
#include "console.h"
#include "log_reader.h"
#include "mutex_lock.h"

namespace {

typedef char FilterTable[kFilterSlots][kFilterSize];

// A filter word longer than a slot is cut to the slot: a shorter text still
// matches every line that holds the longer one, and the listing shows what is
// in force.
constexpr size_t kFilterMaxLen = kFilterSize - 1;

// True when slot holds word as adding it would have stored it.
bool slot_matches(const char* slot, const char* word) {
    return slot[0] != '\0' && strncmp(slot, word, kFilterMaxLen) == 0 &&
           strnlen(word, kFilterMaxLen) == strnlen(slot, kFilterSize);
}

// Prints the title, a rule and each used slot between double quotes.
void list_filters(const FilterTable& table, const char* title) {
    // Only this thread writes the tables, so reading them here needs no lock.
    shell_println("%s", title);
    shell_println("--------------------");
    for (const auto& slot : table) {
        if (slot[0] != '\0') shell_println("\"%s\"", slot);
    }
}

// Puts each word into the lowest free slot; once the table is full the
// remaining words are dropped.
void add_filters(FilterTable& table, int count, char** words) {
    MutexLock lock(log_view_mut);
    for (int i = 0; i < count; ++i) {
        char* free_slot = nullptr;
        for (auto& slot : table) {
            if (slot[0] == '\0') {
                free_slot = slot;
                break;
            }
        }
        if (!free_slot) return;
        const size_t len = strnlen(words[i], kFilterMaxLen);
        memcpy(free_slot, words[i], len);
        free_slot[len] = '\0';
    }
}

// Empties every slot for "*", else the first slot holding each word.
void delete_filters(FilterTable& table, int count, char** words) {
    MutexLock lock(log_view_mut);
    if (strcmp(words[0], "*") == 0) {
        for (auto& slot : table)
            slot[0] = '\0';
        return;
    }
    for (int i = 0; i < count; ++i) {
        for (auto& slot : table) {
            if (slot_matches(slot, words[i])) {
                slot[0] = '\0';
                break;
            }
        }
    }
}

// The procedure behind "show" and "cull": list, add, delete or explain.
void filter_cmd(int argc, char** argv, FilterTable& table, const char* title,
                const char* usage_word) {
    if (argc == 1) {
        list_filters(table, title);
    } else if (strcmp(argv[1], "add") == 0) {
        if (argc > 2) add_filters(table, argc - 2, argv + 2);
    } else if (strcmp(argv[1], "del") == 0) {
        if (argc > 2) delete_filters(table, argc - 2, argv + 2);
    } else {
        display_show_cull_usage(usage_word);
    }
}

// The second words of "log"; anySession is not consulted here.
const ShellCommandT log_commands[] = {
    {"cull", log_cull_cmd, 0},
    {"format", log_format_cmd, 0},
    {"show", log_show_cmd, 0},
    {nullptr, nullptr, 0},
};

}  // namespace

// Runs the second word of "log" as if it had been typed alone.
void log_cmd(int argc, char** argv) {
    if (argc < 2) {
        shell_println("valid log commands: format show cull");
        return;
    }
    for (const ShellCommandT* row = log_commands; row->command; ++row) {
        if (strcmp(row->command, argv[1]) == 0) {
            row->command_handler(argc - 1, argv + 1);
            return;
        }
    }
}

void log_show_cmd(int argc, char** argv) {
    filter_cmd(argc, argv, log_show_filters, "Active show filters:", "show");
}

void log_cull_cmd(int argc, char** argv) {
    filter_cmd(argc, argv, log_cull_filters, "Active cull filters:", "cull");
}

// Sets the three switches to exactly the parts named: the words given are the
// whole new format, so "log format" alone turns every part off.
void log_format_cmd(int argc, char** argv) {
    int date = 0;
    int time = 0;
    int level = 0;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "date") == 0) date = -1;
        if (strcmp(argv[i], "time") == 0) time = -1;
        if (strcmp(argv[i], "level") == 0) level = -1;
    }
    MutexLock lock(log_view_mut);
    log_show_date = date;
    log_show_time = time;
    log_show_level = level;
}

// Prints the four usage lines of "show" or "cull".
void display_show_cull_usage(const char* showcull) {
    shell_println("usage: [log] %s add <filterstring> [<filterstring>...]", showcull);
    shell_println("       [log] %s del <filterstring> [<filterstring>...]", showcull);
    shell_println("       [log] %s del *", showcull);
    shell_println("       [log] %s", showcull);
}
