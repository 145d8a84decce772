// The console's system-log side: the entries "API:<tag>:<count>:<text>" and
// the mirror of printed messages.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <string_view>

#include "console.h"
#include "console_message.h"
#include "seams.h"
#include "session.h"
#include "text_buffer.h"

namespace {

// The system-log writer, replaceable so tests can read the entries.
VsyslogT zcon_vsyslog = vsyslog;

constexpr size_t kMaxMessageFormat = 63;
// The mirror of a printed line: "OUT:" and the format, then the formatted entry.
constexpr size_t kMirrorFormatSize = 128;
constexpr size_t kMirrorEntrySize = 512;
// Entries whose format fits here are built on the stack.
constexpr size_t kEntryOnStack = 512;
constexpr size_t kSessionTagSize = 128;
constexpr size_t kCountSize = 16;  // ":<count>:"
// Facility 8 (uucp in the standard numbering) with severity notice: the
// appliance's log filters select shell entries by this value.
constexpr int PRIORITY = 69;
constexpr const char* identity = "zcon";

std::atomic<int> gnCount;  // non-empty command lines so far
int bInitialized;
char session[kSessionTagSize];

// Builds the session tag from the terminal name: ttyS0 for /dev/ttyS0,
// telnet3 for /dev/pts/3, shell<pid> when the name has no directory.
void build_session_tag() {
    const char* tty_name = session_settings().tty_name;
    const char* slash = strrchr(tty_name, '/');
    if (slash == nullptr) {
        snprintf(session, sizeof session, "shell%d", static_cast<int>(getpid()));
    } else if (slash[1] == 't') {
        snprintf(session, sizeof session, "%s", slash + 1);
    } else {
        snprintf(session, sizeof session, "telnet%s", slash + 1);
    }
}

// Appends text to out (of size cap, starting at *len), doubling every '%' so
// that the text reaches the system logger literally.
void append_escaped(char* out, size_t cap, size_t* len, std::string_view text) {
    for (char c : text) {
        size_t need = c == '%' ? 2 : 1;
        if (*len + need >= cap) break;
        out[(*len)++] = c;
        if (c == '%') out[(*len)++] = '%';
    }
    out[*len] = '\0';
}

}  // namespace

VsyslogT console_set_vsyslog(VsyslogT vsyslog_call) {
    const VsyslogT previous = zcon_vsyslog;
    zcon_vsyslog = vsyslog_call != nullptr ? vsyslog_call : vsyslog;
    return previous;
}

void console_count_command(void) {
    ++gnCount;
}

bool message_format(const char* fmt, char* out) {
    if (fmt == nullptr) return false;
    const size_t n = strlen(fmt);
    if (n > kMaxMessageFormat) return false;
    std::string_view body(fmt, n);
    if (!body.empty() && body.back() == '\n') body.remove_suffix(1);
    snprintf(out, kMessageFormatSize, "%.*s%s", static_cast<int>(body.size()), body.data(),
             newline_string);
    return true;
}

void message_mirror(const char* format, va_list ap) {
    if (session_settings().gbPrintToSysLog != 1) return;
    char fmtmsg[kMirrorFormatSize];
    char bufmsg[kMirrorEntrySize];
    snprintf(fmtmsg, sizeof fmtmsg, "OUT:%s", format);
    vsnprintf(bufmsg, sizeof bufmsg, fmtmsg, ap);
    mysyslog("%s", bufmsg);
}

// Prints one line on standard output with the session's line break, and
// mirrors the printed text to the system log when mirroring is on.
int shell_println(const char* fmt, ...) {
    char format[kMessageFormatSize];
    if (!message_format(fmt, format)) return -1;
    va_list ap;
    va_start(ap, fmt);
    const int rc = vprintf(format, ap);
    va_end(ap);
    fflush(stdout);  // whole, now: other writers share the terminal
    if (rc > 0) {
        va_start(ap, fmt);
        message_mirror(format, ap);
        va_end(ap);
    }
    return rc;
}

// Writes one system-log entry "API:<session>:<count>:<text>".
int mysyslog(const char* fmt, ...) {
    if (!bInitialized) {
        openlog(identity, 0, LOG_USER);
        build_session_tag();
        bInitialized = 1;
    }
    if (fmt == nullptr) return 0;

    // The entry's format: the prefix (escaped, being data) and the caller's
    // format, sized to fit both.
    size_t cap = 2 * sizeof session + 32 + strlen(fmt);
    char small[kEntryOnStack];
    TextBuffer large;
    char* entry = small;
    if (cap > sizeof small) {
        large = text_buffer(cap);
        entry = large.get();
    }
    if (entry == nullptr) return 0;
    size_t len = 0;
    append_escaped(entry, cap, &len, "API:");
    append_escaped(entry, cap, &len, session);
    char count[kCountSize];
    snprintf(count, sizeof count, ":%d:", gnCount.load());
    append_escaped(entry, cap, &len, count);
    snprintf(entry + len, cap - len, "%s", fmt);

    va_list ap;
    va_start(ap, fmt);
    zcon_vsyslog(PRIORITY, entry, ap);
    va_end(ap);
    return 0;
}
