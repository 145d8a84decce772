// libxcom's small services: the warning printer and its switch, NUL filtering,
// the printable dump and the version string.
#include "libxcom.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "socket_wait.h"

namespace {

// Warnings are off unless a caller switches them on. Reader threads consult
// the switch while another thread may flip it, hence atomic.
std::atomic<int> gbLogErrors{0};

constexpr const char* kWarningPrefix = "XCOM:WARNING:";
constexpr size_t kLogMessageSize = 512;

// Formats prefix and text into one message of at most 511 characters, writes
// it to standard output and returns the number of characters written.
int vlog(const char* prefix, const char* fmt, va_list args) {
    std::array<char, kLogMessageSize> message{};
    size_t used = 0;
    if (prefix != nullptr) {
        used = strnlen(prefix, message.size() - 1);
        memcpy(message.data(), prefix, used);
    }
    if (fmt != nullptr) vsnprintf(message.data() + used, message.size() - used, fmt, args);
    const size_t length = strnlen(message.data(), message.size());
    const size_t written = fwrite(message.data(), 1, length, stdout);
    // Other output of the shell goes straight to the descriptor; flush so a
    // warning is not held back behind it.
    fflush(stdout);
    return static_cast<int>(written);
}

}  // namespace

// Writes prefix and the formatted text to standard output; returns the count written.
int xcom_log(const char* prefix, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const int written = vlog(prefix, fmt, args);
    va_end(args);
    return written;
}

// Sets the warning switch; returns its previous value.
int xcom_log_errors(int bLogErrors) {
    return gbLogErrors.exchange(bLogErrors);
}

// Returns the warning switch.
int xcom_should_print_errors() {
    return gbLogErrors.load();
}

// Prints one library warning when warnings are switched on.
void xcom::warn(const char* fmt, ...) {
    if (xcom_should_print_errors() == 0) return;
    va_list args;
    va_start(args, fmt);
    vlog(kWarningPrefix, fmt, args);
    va_end(args);
}

int xcom_remove_nulls(char* line, int len) {
    if (line == nullptr) return 0;
    len = std::max(len, 0);
    // Lines rarely hold a NUL: find the first one at memchr's speed and
    // move bytes only from there on.
    auto* first = static_cast<char*>(memchr(line, '\0', static_cast<size_t>(len)));
    if (first == nullptr) {
        line[len] = '\0';
        return len;
    }
    char* end = std::remove(first, line + len, '\0');
    *end = '\0';
    return static_cast<int>(end - line);
}

// Writes the printable form of len bytes of buff into output; returns output.
char* hexasc(const char* buff, int len, char* output) {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    char* out = output;
    for (int i = 0; i < len; ++i) {
        const auto byte = static_cast<unsigned char>(buff[i]);
        if (byte >= 0x20 && byte <= 0x7E) {
            *out++ = static_cast<char>(byte);
            continue;
        }
        *out++ = '[';
        *out++ = kHexDigits[byte >> 4];
        *out++ = kHexDigits[byte & 0x0F];
        *out++ = ']';
    }
    *out = '\0';
    return output;
}

// Returns the library's version string.
const char* xcom_get_version() {
    return "libxcom 0.0.1";
}
