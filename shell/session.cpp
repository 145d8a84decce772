// The session-wide settings, shared by the shell's modules.
#include <string.h>

#include "zcon.h"

char session_type[20] = "telnet";
char host_name[128] = "localhost";
int host_port = 4121;
char tty_name[80];
const char* cmd_fmt = kFmtNormal;
int cmdecho_state = 1;
int prompt_enabled = 1;
const char* prompt = no_prompt;
int no_banner;
int wait_to_start;
int view_only_mode;
int did_registration;
int reboot_cmd_hack_flag;
int gbPrintToSysLog;
std::atomic<int> gnCount;
std::atomic<int> cle_inline;
volatile sig_atomic_t debug_sig_continue;
ShellIOT* stdout_shio;
HXCOM hclient;
char response[kResponseSize];
char cmdbuff[kCmdBuffSize];
sem_t response_sem;
sem_t input_ready_sem;
// Initialised here once, before any code runs (so it cannot fail, and
// no thread can ever see it uninitialised or initialised twice).
pthread_mutex_t async_stdout_mut = PTHREAD_MUTEX_INITIALIZER;
const char* newline_string = "\n";

bool session_is(const char* type) {
    return strcmp(session_type, type) == 0;
}

bool cmd_fmt_is(const char* fmt) {
    return strcmp(cmd_fmt, fmt) == 0;
}
