// The boot environment commands: setenv sets or deletes a variable and
// printenv lists them, through the environment tools fw_setenv and
// fw_printenv, which run in a shell of their own.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "command_table.h"
#include "console.h"
#include "session.h"
#include "system_pthread.h"
#include "text_buffer.h"

namespace {

constexpr const char* kEnvFile = "/tmp/env";
constexpr size_t kPrintenvCommandSize = 64;  // "fw_printenv > /proc/self/fd/<fd>"

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

// Sets (name and value) or deletes (name alone) a boot environment variable
// through fw_setenv. The words may come from a remote user and the line goes
// to /bin/sh, so anything that could make it more than one fw_setenv call
// with that name and value is refused and nothing runs.
void setenv_cmd(CommandContext& context, int argc, char** argv) {
    if (argc < 2) {
        shell_println("%s", kNeedsMore);
        return;
    }
    if (argc > 3 || !is_safe_env_name(argv[1]) || (argc == 3 && !is_safe_env_value(argv[2]))) {
        print_usage(context);
        return;
    }
    char szSysCmd[kCmdBuffSize];
    const int n = argc == 3
                      ? snprintf(szSysCmd, sizeof szSysCmd, "fw_setenv %s \"%s\" > /dev/null",
                                 argv[1], argv[2])
                      : snprintf(szSysCmd, sizeof szSysCmd, "fw_setenv %s > /dev/null", argv[1]);
    if (n < 0 || static_cast<size_t>(n) >= sizeof szSysCmd) {
        print_usage(context);
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
