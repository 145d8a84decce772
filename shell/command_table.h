// The tables of local commands: the shape of a row, the lookup, and the
// handlers the rows name. Private to the command modules: commands.cpp, the
// dispatcher, command_table.cpp, which holds the tables, and the cmd_*.cpp
// files, which hold the handlers.
//
// Adding a local command: write its handler in the cmd_*.cpp file of its
// kind, declare it below, and give it a row in command_table
// (command_table.cpp) with its word, the modes it exists in and its usage
// text.
#pragma once

#include "command_context.h"

// The command modes a command exists in: every mode, or normal mode only (in
// the two restricted modes its lines go to the application like any other).
enum class CommandModes { kNormalOnly, kEvery };

typedef void (*ShellCommandHandlerT)(CommandContext& context, int argc, char** argv);

// One local command, whole.
typedef struct ShellCommandS {
    const char* command;                   // the word; NULL in the terminating row
    ShellCommandHandlerT command_handler;  // receives every word, its own first
    CommandModes anySession;               // the modes it exists in
    const char* usage;  // what it prints when its words do not fit (lines), or NULL
} ShellCommandT;

// The local commands, and the second words of "log" in the same shape.
extern const ShellCommandT command_table[];
extern const ShellCommandT log_commands[];

// The message of a command given too few words.
inline constexpr const char* kNeedsMore =
    "error: command needs more parameters to execute successfully";

// The row of table whose word is word, or NULL. Restricted: the rows of
// normal mode only are passed over.
const ShellCommandT* find_command(const ShellCommandT* table, const char* word, bool restricted);
// Runs row's handler with the words, as the command being run.
void run_command(const ShellCommandT& row, CommandContext& context, int argc, char** argv);
// Prints the usage of the command being run, one line at a time.
void print_usage(const CommandContext& context);

void test_cmd(CommandContext& context, int argc, char** argv);
void shell_cmd(CommandContext& context, int argc, char** argv);
void api_cmd(CommandContext& context, int argc, char** argv);
void sys_cmd(CommandContext& context, int argc, char** argv);
void apicmds_cmd(CommandContext& context, int argc, char** argv);
void devcmds_cmd(CommandContext& context, int argc, char** argv);
void cmdecho_cmd(CommandContext& context, int argc, char** argv);
void prompt_cmd(CommandContext& context, int argc, char** argv);
void exit_cmd(CommandContext& context, int argc, char** argv);
void session_cmd(CommandContext& context, int argc, char** argv);
void setenv_cmd(CommandContext& context, int argc, char** argv);
void printenv_cmd(CommandContext& context, int argc, char** argv);
void history_cmd(CommandContext& context, int argc, char** argv);
void repeat_cmd(CommandContext& context, int argc, char** argv);
void log_cmd(CommandContext& context, int argc, char** argv);
void log_show_cmd(CommandContext& context, int argc, char** argv);
void log_cull_cmd(CommandContext& context, int argc, char** argv);
void log_format_cmd(CommandContext& context, int argc, char** argv);
