// The main command loop: read a line, trim it, guard against floods, and
// hand it to the quit/exit/reboot handling, the local commands or the
// application.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include "channel.h"
#include "cle.h"
#include "commands.h"
#include "console.h"
#include "hangup.h"
#include "main_loop.h"
#include "mutex_lock.h"
#include "session.h"
#include "session_end.h"

long long process_start_ms;

namespace {

char cmdbuff[kCmdBuffSize];      // the line being handled
const char* prompt = no_prompt;  // the editor's own prompt: the loop prints "-> " itself
int reboot_cmd_hack_flag;        // 1 while a reboot confirmation is pending

constexpr int kReadLimit = kCmdBuffSize - 1;  // the editor's limit, terminator included

// The flood guard: a line less than kFastGapMs after the previous one is
// fast; every kFastLinesPerStrike-th fast line in a row is a strike, and so
// is a line after a pause up to kForgivingGapMs when the run had reached
// that many (a pause of that size otherwise forgives a strike); a longer
// pause clears both counts. kStrikesToEnd strikes end the session, after
// kFloodPauseMs.
constexpr long long kFastGapMs = 1000;
constexpr long long kForgivingGapMs = 2500;
constexpr int kFastLinesPerStrike = 10;
constexpr int kStrikesToEnd = 10;
constexpr int kFloodPauseMs = 10000;

bool is_blank(unsigned char c) {
    return c >= 1 && c <= 32;
}

bool line_is(const char* line, const char* word) {
    return strcmp(line, word) == 0;
}

void give_input_gate() {
    sem_post(&input_ready_sem);
}

// Ends a turn: held output goes out unless a new line is already begun.
void tail() {
    flush_async_output();
}

// Prints the "-> " mark for an empty line, after any held output.
void show_mark() {
    MutexLock lock(async_stdout_mut);
    shell_io_flush(stdout_shio);
    if (cmdecho_state) {
        fputs(default_prompt, stdout);
    } else {
        fputs(newline_string, stdout);
        fputs(default_prompt, stdout);
    }
    fflush(stdout);
    cle_set_row_text(default_prompt);  // the next line is typed after it
}

[[noreturn]] void terminate_flooded_session() {
    static constexpr const char* text =
        "Terminating session due to persistent, excessive command arrival.";
    if (gbPrintToSysLog) mysyslog("%s\n", text);
    puts(text);
    fflush(stdout);
    session_pause(kFloodPauseMs);
    end_of_session();
}

// Leaves customer-API-only mode of a telnet session; true when it did.
bool leave_customer_api_mode() {
    if (!session_traits().console || !cmd_fmt_is(kFmtCustomerApi)) return false;
    {
        MutexLock lock(async_stdout_mut);
        shell_io_printf(stdout_shio, "Exiting customer api *ONLY* mode\n");
    }
    cmd_fmt = kFmtNormal;
    return true;
}

int get_input_command(void) {
    while (sem_wait(&input_ready_sem) != 0 && errno == EINTR && !hangup_seen()) {
    }
    int rc = cle_get_command_line(prompt, cmdbuff, kReadLimit);
    if (rc == -1) give_input_gate();
    return rc;
}

int reboot_cmd_processing(char* line) {
    if (!reboot_cmd_hack_flag) {
        if (line_is(line, "reboot")) {
            static constexpr const char* question = "reboot, are you sure? <y,n> ";
            reboot_cmd_hack_flag = 1;
            MutexLock lock(async_stdout_mut);
            fputs(question, stdout);
            fflush(stdout);
            cle_set_row_text(question);  // the answer is typed after it
            return 1;
        }
        return 0;  // quit or exit
    }
    reboot_cmd_hack_flag = 0;
    if (line_is(line, "y")) {
        send_api_cmd("reboot now");
        sleep(1);
        cleanup();
        sleep(1);
        end_process("End of session", 0);
    }
    if (line_is(line, "n")) return 1;
    if (strlen(line) == 1) return 0;
    shell_println("info: reboot command aborted");
    fflush(stdout);
    return 1;
}

}  // namespace

long long wall_clock_ms(void) {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_usec / 1000;
}

bool flood_guard_check(FloodGuard* guard, long long now) {
    long long gap = now - guard->lastTime;
    bool strike = false;
    if (gap < kFastGapMs) {
        strike = ++guard->DoSCount >= kFastLinesPerStrike;
    } else if (gap <= kForgivingGapMs) {
        if (guard->DoSCount >= kFastLinesPerStrike) {
            strike = true;
        } else if (guard->DoSattempts > 0) {
            --guard->DoSattempts;
        }
    } else {
        guard->DoSCount = 0;
        guard->DoSattempts = 0;
    }
    if (strike) {
        if (++guard->DoSattempts >= kStrikesToEnd) return true;
        guard->DoSCount = 0;
    }
    guard->lastTime = now;
    return false;
}

void trim_command_line(char* line) {
    size_t start = 0;
    while (is_blank(static_cast<unsigned char>(line[start])))
        ++start;
    size_t len = strlen(line + start);
    memmove(line, line + start, len + 1);
    while (len > 0 && is_blank(static_cast<unsigned char>(line[len - 1])))
        line[--len] = '\0';
}

// "!12" becomes "! 12", so the repeat command sees its number as a word.
void preprocess_legacy_bang_input_cmd(char* input) {
    size_t len = strlen(input);
    if (len <= 1 || input[0] != '!' || len + 2 > static_cast<size_t>(kCmdBuffSize)) return;
    memmove(input + 2, input + 1, len);  // the rest and its terminator
    input[1] = ' ';
}

void run_command_loop(void) {
    FloodGuard guard;
    guard.lastTime = process_start_ms;
    for (;;) {
        if (get_input_command() == -1) return;
        trim_command_line(cmdbuff);
        if (flood_guard_check(&guard, wall_clock_ms())) terminate_flooded_session();

        if (cmdbuff[0] == '\0') {
            show_mark();
            give_input_gate();
            tail();
            continue;
        }
        ++gnCount;
        if (gbPrintToSysLog) mysyslog("IN:%s\n", cmdbuff);
        preprocess_legacy_bang_input_cmd(cmdbuff);

        if (line_is(cmdbuff, "quit") || line_is(cmdbuff, "exit") || line_is(cmdbuff, "reboot") ||
            reboot_cmd_hack_flag) {
            if (reboot_cmd_processing(cmdbuff) == 0) {
                sleep(1);
                bool stays = leave_customer_api_mode();
                give_input_gate();
                if (!stays) return;
            } else {
                give_input_gate();
            }
        } else if (process_command(cmdbuff) != 0) {
            give_input_gate();
        } else if (send_command(cmdbuff) == kAppGone) {
            if (hangup_seen()) return;  // the user went, not the application
            if (gbPrintToSysLog) {
                mysyslog("ERROR:Unable to send command to appd. Quitting. Current command: %s\n",
                         cmdbuff);
            }
            return;
        }
        tail();
    }
}
