// The system log's entries, their session tag and count, and the one
// decision whether the session mirrors.
#include "system_log.h"

#include <stdio.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <string_view>

#include "seams.h"
#include "session.h"
#include "text_buffer.h"

namespace {

// The system-log writer, replaceable so tests can read the entries.
VsyslogT zcon_vsyslog = vsyslog;

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
int bInitialized;          // the log is open and the tag built; set before any side thread
char session[kSessionTagSize];

// Whether the session mirrors what is typed and shown: the session type's
// trait, the one place the decision is made.
bool gbPrintToSysLog() {
    return session_traits().mirrors_to_syslog;
}

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

// Writes one entry "API:<session>:<count>:" and fmt made of ap.
[[gnu::format(printf, 1, 0)]] void write_entry(const char* fmt, va_list ap) {
    if (fmt == nullptr) return;
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
    if (entry == nullptr) return;
    size_t len = 0;
    append_escaped(entry, cap, &len, "API:");
    append_escaped(entry, cap, &len, session);
    char count[kCountSize];
    snprintf(count, sizeof count, ":%d:", gnCount.load());
    append_escaped(entry, cap, &len, count);
    snprintf(entry + len, cap - len, "%s", fmt);
    zcon_vsyslog(PRIORITY, entry, ap);
}

}  // namespace

VsyslogT system_log_set_vsyslog(VsyslogT vsyslog_call) {
    const VsyslogT previous = zcon_vsyslog;
    zcon_vsyslog = vsyslog_call != nullptr ? vsyslog_call : vsyslog;
    return previous;
}

// Once only: a second call (none is made) would rebuild the tag while the
// side threads read it.
void system_log_open(void) {
    if (bInitialized) return;
    openlog(identity, 0, LOG_USER);
    build_session_tag();
    bInitialized = 1;
}

int mysyslog(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    write_entry(fmt, ap);
    va_end(ap);
    return 0;
}

void syslog_mirror(const char* fmt, ...) {
    if (!gbPrintToSysLog()) return;
    va_list ap;
    va_start(ap, fmt);
    write_entry(fmt, ap);
    va_end(ap);
}

void syslog_mirror_message(const char* format, va_list ap) {
    if (!gbPrintToSysLog()) return;
    char fmtmsg[kMirrorFormatSize];
    char bufmsg[kMirrorEntrySize];
    snprintf(fmtmsg, sizeof fmtmsg, "OUT:%s", format);
    vsnprintf(bufmsg, sizeof bufmsg, fmtmsg, ap);
    mysyslog("%s", bufmsg);
}

void system_log_count_command(void) {
    ++gnCount;
}
