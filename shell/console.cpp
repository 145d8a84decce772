// Console output: the line printer for user-visible messages, the system-log
// mirror, and the output lock shared with the line editor, which keeps
// asynchronous output out of a half-typed command line.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <string_view>

#include "cle.h"
#include "console.h"
#include "mutex_lock.h"
#include "seams.h"
#include "session.h"
#include "text_buffer.h"

ShellIOT* stdout_shio;
// Initialised here once, before any code runs (so it cannot fail, and
// no thread can ever see it uninitialised or initialised twice).
pthread_mutex_t async_stdout_mut = PTHREAD_MUTEX_INITIALIZER;
std::atomic<int> cle_inline;

namespace {

// The system-log writer, replaceable so tests can read the entries.
VsyslogT zcon_vsyslog = vsyslog;

constexpr size_t kMaxPrintlnFormat = 63;
// The format with the line break in place of its own line feed, and room to spare.
constexpr size_t kPrintlnFormatSize = 69;
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

int bInitialized;
char session[kSessionTagSize];
bool editor_ready;  // the line editor has the terminal

// Output held while a line is being typed goes out anyway above this size,
// so that a flood of events cannot grow the session without end: the typed
// line is taken off the screen, the output written, and the line drawn again
// below it.
constexpr int kHeldOutputLimit = 64 * 1024;

// Builds the session tag from the terminal name: ttyS0 for /dev/ttyS0,
// telnet3 for /dev/pts/3, shell<pid> when the name has no directory.
void build_session_tag() {
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

int console_init(void) {
    cle_register_sync_callbacks(cle_lock_unlock_op);
    cle_register_inline_callback(cle_inline_state_tracker);
    stdout_shio = shell_io_create();
    if (stdout_shio == nullptr) return -1;
    shell_io_bind_fd(stdout_shio, 1);
    return 0;
}

void console_use_serial_line_ends(void) {
    shell_io_add_cr(stdout_shio);
    cle_no_cr_translation(1);
}

int console_editor_init(void) {
    const int rc = cle_init();
    editor_ready = rc == 0;
    return rc;
}

void console_editor_cleanup(void) {
    if (editor_ready) cle_cleanup();
    editor_ready = false;
}

// Prints one line on standard output with the session's line break, and
// mirrors the printed text to the system log when mirroring is on.
int shell_println(const char* fmt, ...) {
    if (fmt == nullptr) return -1;
    size_t n = strlen(fmt);
    if (n > kMaxPrintlnFormat) return -1;

    char fmt_buffer[kPrintlnFormatSize];
    std::string_view body(fmt, n);
    if (!body.empty() && body.back() == '\n') body.remove_suffix(1);
    snprintf(fmt_buffer, sizeof fmt_buffer, "%.*s%s", static_cast<int>(body.size()), body.data(),
             newline_string);

    va_list ap;
    va_start(ap, fmt);
    int rc = vprintf(fmt_buffer, ap);
    va_end(ap);

    if (rc > 0 && gbPrintToSysLog == 1) {
        char fmtmsg[kMirrorFormatSize];
        char bufmsg[kMirrorEntrySize];
        snprintf(fmtmsg, sizeof fmtmsg, "OUT:%s", fmt_buffer);
        va_start(ap, fmt);
        vsnprintf(bufmsg, sizeof bufmsg, fmtmsg, ap);
        va_end(ap);
        mysyslog("%s", bufmsg);
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

// The line editor's lock callback: takes or releases the console lock.
void cle_lock_unlock_op(int lock, char* /*tag*/) {
    if (lock) {
        pthread_mutex_lock(&async_stdout_mut);
    } else {
        pthread_mutex_unlock(&async_stdout_mut);
    }
}

// The line editor's typing-state callback.
void cle_inline_state_tracker(int state) {
    cle_inline = state ? 1 : 0;
}

namespace {

// Characters held in stdout_shio. Under async_stdout_mut.
int held_size() {
    int size = 0;
    shell_io_get_attributes(stdout_shio, nullptr, &size, nullptr);
    return size;
}

// Writes the held output while no line is being typed. Under
// async_stdout_mut.
void write_held_output() {
    if (held_size() == 0) return;
    shell_io_flush(stdout_shio);
    // Held text ends with a line end: any input starts on a fresh row now.
    cle_set_row_text("");
}

// Writes the held output over the line being typed. Under async_stdout_mut.
void write_over_typed_line() {
    const bool hidden = cle_hide_line() != 0;
    shell_io_flush(stdout_shio);
    if (hidden) cle_refresh_line();
}

}  // namespace

// Flushes held output unless the user is in the middle of a line.
void flush_async_output(void) {
    MutexLock lock(async_stdout_mut);
    if (cle_inline == 0) write_held_output();
}

// Writes whatever is held, typed line or not: the session is ending, and
// nothing held for the last line may be lost with it.
void flush_held_output_at_end(void) {
    MutexLock lock(async_stdout_mut);
    shell_io_flush(stdout_shio);
}

namespace {

// Appends one line under the output lock; while a line is typed and too much
// is held, the held output goes out over it.
void hold_line(const char* line) {
    shell_io_put_line(stdout_shio, line);
    if (cle_inline != 0 && held_size() > kHeldOutputLimit) write_over_typed_line();
}

}  // namespace

// Queues one line from a side thread and lets it out if nobody is typing,
// or if too much is held already. One hold of the lock does both: a line
// that arrives while nobody types goes out at once, after anything held,
// in the writes a flush of the two would make.
void print_async_line(const char* line) {
    MutexLock lock(async_stdout_mut);
    if (cle_inline != 0) {
        hold_line(line);
        return;
    }
    shell_io_flush_line(stdout_shio, line);
    // The output ends with a line end: any input starts on a fresh row.
    cle_set_row_text("");
}

// Queues one line from a side thread that has the next line at hand already:
// it goes out with that one, one flush for both.
void queue_async_line(const char* line) {
    MutexLock lock(async_stdout_mut);
    hold_line(line);
}
