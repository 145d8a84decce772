// The commands that steer the session itself or reach past the application:
// command modes, echo, prompt, leaving, one-off requests in a chosen wire
// format, session naming, the boot environment and two fixed answers.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "channel.h"
#include "cle.h"
#include "command_parsing.h"
#include "commands.h"
#include "console.h"
#include "seams.h"
#include "session.h"
#include "session_end.h"
#include "text_buffer.h"

namespace {

constexpr const char* kNeedsMore = "error: command needs more parameters to execute successfully";
constexpr const char* kIllegalParams = "error: command has illegal parameter(s)";
constexpr const char* kEnvFile = "/tmp/env";
constexpr size_t kPrintenvCommandSize = 64;  // "fw_printenv > /proc/self/fd/<fd>"

ExitHookT exit_hook = nullptr;  // a test's stand-in for teardown and exit
// The prompt flag, set and reported by the prompt command; nothing else on
// this system consults it.
int prompt_enabled = 1;

// True when a word holds a carriage return or line feed, which a quoted
// escape can put there. Sent on, it would end the request early and put the
// rest on the wire as a request of its own.
bool holds_line_break(const char* word) {
    return strpbrk(word, "\r\n") != nullptr;
}

bool any_holds_line_break(int argc, char** argv) {
    for (int i = 0; i < argc; ++i)
        if (holds_line_break(argv[i])) return true;
    return false;
}

// Joins argv[1..] into buffer and hands it to send. Lines longer than the
// command buffer never come from the terminal; one that does not fit is
// refused rather than sent cut, since a cut command may mean something else.
void send_joined(int argc, char** argv, Channel& channel,
                 RequestResult (Channel::*send)(const char*)) {
    if (argc < 2) return;
    if (any_holds_line_break(argc - 1, argv + 1)) {
        shell_println("%s", kIllegalParams);
        return;
    }
    char buffer[kCmdBuffSize];
    if (make_normalized_string_n(buffer, sizeof buffer, argc - 1, argv + 1) >= sizeof buffer) {
        shell_println("%s", kIllegalParams);
        return;
    }
    (channel.*send)(buffer);
}

// True when name can only ever be one plain argument to fw_setenv: ASCII
// letters, digits, '_', '.', '-', and not starting with '-' (an option).
bool is_safe_env_name(const char* name) {
    if (name[0] == '\0' || name[0] == '-') return false;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) {
        const unsigned char c = *p;
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
        if (!ok) return false;
    }
    return true;
}

// True when value stays one literal argument between double quotes: none of
// the characters /bin/sh still interprets there ('"', '$', '`', '\'), no
// control characters, and no leading '-', which fw_setenv would read as one
// of its options (another config, a script file) wherever it stands.
bool is_safe_env_value(const char* value) {
    if (value[0] == '-') return false;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(value); *p; ++p) {
        const unsigned char c = *p;
        if (c < 0x20 || c == 0x7F || c == '"' || c == '$' || c == '`' || c == '\\') return false;
    }
    return true;
}

// Reads the file open on fd whole and returns it with each line feed followed
// by a carriage return, plus one more line feed and carriage return,
// NUL-terminated; *len gets the text's length. Returns nullptr when the file
// cannot be read or memory is short.
TextBuffer read_listing(int fd, size_t* len) {
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size < 0) return nullptr;
    const size_t size = static_cast<size_t>(st.st_size);
    if (size > (static_cast<size_t>(-1) - 3) / 2) return nullptr;

    // The file is read into the upper part and converted forwards into the
    // lower: after k bytes with m line feeds the writer is at k + m, never
    // past the reader at size + 3 + k. The final pair and terminator fit too.
    const size_t total = 2 * size + 3;
    TextBuffer buffer = text_buffer(total);
    if (!buffer) return nullptr;
    char* in = buffer.get() + size + 3;
    size_t got = 0;
    while (got < size) {
        const ssize_t n = pread(fd, in + got, size - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return nullptr;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }

    char* out = buffer.get();
    size_t w = 0;
    for (size_t r = 0; r < got; ++r) {
        out[w++] = in[r];
        if (in[r] == '\n') out[w++] = '\r';
    }
    out[w++] = '\n';
    out[w++] = '\r';
    out[w] = '\0';
    *len = w;
    return buffer;
}

}  // namespace

ExitHookT exit_cmd_set_hook(ExitHookT hook) {
    const ExitHookT previous = exit_hook;
    exit_hook = hook;
    return previous;
}

// Prints the word count and each word with its index.
void test_cmd(CommandContext& /*context*/, int argc, char** argv) {
    shell_println("argc=%d", argc);
    for (int i = 0; i < argc; ++i)
        shell_println("argv[%d]=%s", i, argv[i]);
}

// Refuses to start a shell. In a serial console session the terminal gets
// its saved settings back first.
void shell_cmd(CommandContext& /*context*/, int /*argc*/, char** /*argv*/) {
    if (session_traits().shell_resets_terminal) cle_cleanup();
    shell_println("error: command not found");
}

// Sends the words after "api" as one customer API request ("E: ").
void api_cmd(CommandContext& context, int argc, char** argv) {
    send_joined(argc, argv, context.channel, &Channel::send_api_cmd);
}

// Sends the words after "sys" or "qtool" as one internal request ("D: ").
void sys_cmd(CommandContext& context, int argc, char** argv) {
    send_joined(argc, argv, context.channel, &Channel::send_sys_cmd);
}

// Enters customer-API-only mode: forwarded lines go out behind "E: ".
void apicmds_cmd(CommandContext& context, int /*argc*/, char** /*argv*/) {
    shell_println("Entering sticky customer api commands *ONLY* mode...");
    context.cmd_fmt = kFmtCustomerApi;
}

// Enters internal-only mode: forwarded lines go out behind "D: ".
void devcmds_cmd(CommandContext& context, int /*argc*/, char** /*argv*/) {
    shell_println("Entering sticky internal commands *ONLY* mode...");
    context.cmd_fmt = kFmtInternal;
}

// Switches the editor's echo of typed characters on or off.
void cmdecho_cmd(CommandContext& /*context*/, int argc, char** argv) {
    if (argc < 2) {
        shell_println("%s", kNeedsMore);
        return;
    }
    int state = -1;
    if (argc == 2 && strcmp(argv[1], "on") == 0) state = 1;
    if (argc == 2 && strcmp(argv[1], "off") == 0) state = 0;
    if (state < 0) {
        shell_println("error: command has illegal parameters");
        return;
    }
    console_set_echo(state);
    shell_println("%s %s", argv[0], argv[1]);
}

// Sets or toggles the prompt flag and reports its new value.
void prompt_cmd(CommandContext& /*context*/, int argc, char** argv) {
    prompt_enabled = get_bool_parm(argc, argv, prompt_enabled);
    shell_println("prompt %s", prompt_enabled ? "enabled" : "disabled");
}

// Tears the session down and ends the process with status 0.
void exit_cmd(CommandContext& context, int /*argc*/, char** /*argv*/) {
    if (exit_hook) {
        exit_hook(0);
        return;
    }
    cleanup(context.channel);
    exit(0);
}

// "session name X" or "session find X": one naming request ("N: ").
void session_cmd(CommandContext& context, int argc, char** argv) {
    if (argc < 2) {
        shell_println("%s", kNeedsMore);
    } else if (strcmp(argv[1], "name") != 0 && strcmp(argv[1], "find") != 0) {
        shell_println("%s", kIllegalParams);
    } else if (argc == 3 && holds_line_break(argv[2])) {
        shell_println("%s", kIllegalParams);
    } else if (argc == 3) {
        context.channel.send_session_cmd(argv[1], argv[2]);
    } else if (argc == 2) {
        shell_println("%s", kNeedsMore);
    } else {
        shell_println("%s", kIllegalParams);
    }
}

// Sets (name and value) or deletes (name alone) a boot environment variable
// through fw_setenv. The words may come from a remote user and the line goes
// to /bin/sh, so anything that could make it more than one fw_setenv call
// with that name and value is refused and nothing runs.
void setenv_cmd(CommandContext& /*context*/, int argc, char** argv) {
    if (argc < 2) {
        shell_println("%s", kNeedsMore);
        return;
    }
    if (argc > 3 || !is_safe_env_name(argv[1]) || (argc == 3 && !is_safe_env_value(argv[2]))) {
        shell_println("%s", kIllegalParams);
        return;
    }
    char szSysCmd[kCmdBuffSize];
    const int n = argc == 3
                      ? snprintf(szSysCmd, sizeof szSysCmd, "fw_setenv %s \"%s\" > /dev/null",
                                 argv[1], argv[2])
                      : snprintf(szSysCmd, sizeof szSysCmd, "fw_setenv %s > /dev/null", argv[1]);
    if (n < 0 || static_cast<size_t>(n) >= sizeof szSysCmd) {
        shell_println("%s", kIllegalParams);
        return;
    }
    system_pthread(szSysCmd);
}

// Lists the boot environment through fw_printenv, with CR LF line ends and an
// empty line after the listing, and leaves the listing in /tmp/env. Anyone
// may have put something at that path (a link to another file, a FIFO that
// would block the writer), so the tool writes to a new file of this session
// only, created exclusively with mode 0600 and reached through the session's
// own descriptor. It then replaces whatever is at /tmp/env and is read back
// through that descriptor; if the name cannot be taken, the listing is shown
// all the same.
void printenv_cmd(CommandContext& /*context*/, int /*argc*/, char** /*argv*/) {
    char own[] = "/tmp/env.XXXXXX";
    const int fd = mkstemp(own);  // inherited by the tool's shell: not close-on-exec
    if (fd < 0) {
        shell_println("printenv failed");
        return;
    }
    char command[kPrintenvCommandSize];
    snprintf(command, sizeof command, "fw_printenv > /proc/self/fd/%d", fd);
    system_pthread(command);
    if (rename(own, kEnvFile) != 0) unlink(own);
    size_t len = 0;
    const auto listing = read_listing(fd, &len);
    close(fd);
    if (!listing) {
        shell_println("printenv failed");
        return;
    }
    // Written as it is, not as a format: a '%' in a value is just a '%'.
    console_write_text(listing.get(), len);
}
