// The commands the shell runs itself, and their dispatcher.
#pragma once

class Channel;

// What a local command acts on besides its words: the command loop's
// command mode, which apicmds and devcmds change and which decides what
// forwarded lines look like, and the channel its requests go through.
struct CommandContext {
    const char* cmd_fmt;  // kFmtNormal, kFmtCustomerApi or kFmtInternal
    Channel& channel;
};

typedef void (*ShellCommandHandlerT)(CommandContext& context, int argc, char** argv);

typedef struct ShellCommandS {
    const char* command;                   // NULL in the terminating row
    ShellCommandHandlerT command_handler;  // receives every word, its own first
    int anySession;                        // non-zero: exists in every command mode
} ShellCommandT;

// Offers one line to the local commands of the mode context.cmd_fmt. Returns
// -1 when it was handled here (a command ran, the line was a comment, or it
// could not be split) and 0 when no local command of the mode matched.
int process_command(const char* cmd, CommandContext& context);

// Runs command with /bin/sh -c and waits for it. Returns the wait status,
// or -1 when the child cannot be created or waited for.
int system_pthread(const char* command);

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
void display_show_cull_usage(const char* showcull);
