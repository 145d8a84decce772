// The commands the shell runs itself, and their dispatcher.
#pragma once

typedef void (*ShellCommandHandlerT)(int argc, char** argv);

typedef struct ShellCommandS {
    const char* command;                   // NULL in the terminating row
    ShellCommandHandlerT command_handler;  // receives every word, its own first
    int anySession;                        // non-zero: exists in every command mode
} ShellCommandT;

// Offers one line to the local commands. Returns -1 when it was handled here
// (a command ran, the line was a comment, or it could not be split) and 0
// when no local command of the current mode matched.
int process_command(const char* cmd);

// Runs command with /bin/sh -c and waits for it. Returns the wait status,
// or -1 when the child cannot be created or waited for.
int system_pthread(const char* command);

void test_cmd(int argc, char** argv);
void shell_cmd(int argc, char** argv);
void api_cmd(int argc, char** argv);
void sys_cmd(int argc, char** argv);
void apicmds_cmd(int argc, char** argv);
void devcmds_cmd(int argc, char** argv);
void cmdecho_cmd(int argc, char** argv);
void prompt_cmd(int argc, char** argv);
void exit_cmd(int argc, char** argv);
void session_cmd(int argc, char** argv);
void setenv_cmd(int argc, char** argv);
void printenv_cmd(int argc, char** argv);
void history_cmd(int argc, char** argv);
void repeat_cmd(int argc, char** argv);
void log_cmd(int argc, char** argv);
void log_show_cmd(int argc, char** argv);
void log_cull_cmd(int argc, char** argv);
void log_format_cmd(int argc, char** argv);
void display_show_cull_usage(const char* showcull);
