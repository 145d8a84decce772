// Buffered shell output: text collects in an open_memstream() stream and a
// flush writes it to the bound descriptor one line per write, so the
// terminal never sees a line cut by another writer.
#include "shell_io.h"

#include "seams.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// A flush keeps the stream's storage for reuse up to this size; a larger
// one (a burst that could not be written) is given back. It is above the
// 64 KiB and a line that the console lets held output grow to, so that
// storage stays: renewed at every such flush, it would grow again by copies
// in whichever writer thread, and leave the heap in pieces.
constexpr size_t kKeptStorage = 256 * 1024;

// The write call, replaceable so tests can force interruptions and short
// writes.
ShellIoWriteT shell_io_write = write;

// The two spelled with a leading underscore keep the appliance's names; in
// this unnamed namespace they are not the global names that spelling
// reserves.

// Writes len bytes of piece to the bound descriptor (every caller has made
// sure there is one), continuing partial writes and repeating interrupted
// ones. Returns len, 0 if a write accepted nothing, -1 on an error.
int _safe_write(ShellIOT* shio, const char* piece, size_t len) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = shell_io_write(shio->fd, piece + done, len - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) return 0;
        done += static_cast<size_t>(n);
    }
    return static_cast<int>(len);
}

// Writes len bytes of text out line by line; pieces that fail to write are
// dropped so one bad line cannot hold back the rest.
void write_lines(ShellIOT* shio, const char* text, size_t len) {
    const char* piece = text;
    size_t left = len;
    while (left > 0) {
        const auto* eol = static_cast<const char*>(memchr(piece, '\n', left));
        const size_t size = eol != nullptr ? static_cast<size_t>(eol - piece) + 1 : left;
        if (!shio->add_cr) {
            _safe_write(shio, piece, size);
        } else {
            _safe_write(shio, piece, piece[size - 1] == '\n' ? size - 1 : size);
            _safe_write(shio, "\r\n", 2);
        }
        piece += size;
        left -= size;
    }
}

// Writes the collected text out, straight from the stream's storage.
void _internal_shell_io_flush(ShellIOT* shio) {
    write_lines(shio, shio->stream_buffer, shio->stream_size);
}

// Replaces the stream by a new, empty one, releasing the old storage. When
// no new stream can be had the object is left without one, as destroyed.
void renew_stream(ShellIOT* shio) {
    fclose(shio->stream);
    free(shio->stream_buffer);
    shio->stream_buffer = nullptr;
    shio->stream_size = 0;
    shio->stream = open_memstream(&shio->stream_buffer, &shio->stream_size);
}

}  // namespace

ShellIoWriteT shell_io_set_write(ShellIoWriteT write_call) {
    const ShellIoWriteT previous = shell_io_write;
    shell_io_write = write_call != nullptr ? write_call : write;
    return previous;
}

// Creates an unbound object with an empty stream; NULL when out of memory.
ShellIOT* shell_io_create(void) {
    auto* shio = static_cast<ShellIOT*>(calloc(1, sizeof(ShellIOT)));
    if (shio == nullptr) return nullptr;
    shio->stream = open_memstream(&shio->stream_buffer, &shio->stream_size);
    if (shio->stream == nullptr) {
        free(shio);
        return nullptr;
    }
    pthread_mutex_init(&shio->io_mut, nullptr);
    shio->fd = -1;
    return shio;
}

// Closes the stream and releases its storage; the object itself stays valid
// (printf then returns -1 and flush 0) and is the caller's to free.
int shell_io_destroy(ShellIOT* shio) {
    if (shio == nullptr) return SHELL_IO_EINVAL;
    if (shio->stream != nullptr) fclose(shio->stream);
    shio->stream = nullptr;
    free(shio->stream_buffer);
    free(shio->getline_buffer);
    shio->getline_size = 0;
    shio->stream_size = 0;
    shio->getline_buffer = nullptr;
    shio->stream_buffer = nullptr;
    pthread_mutex_destroy(&shio->io_mut);
    return 0;
}

// Binds fd (1 or above) as the descriptor that flushes write to.
int shell_io_bind_fd(ShellIOT* shio, int fd) {
    if (shio == nullptr || fd < 1) return SHELL_IO_EINVAL;
    shio->fd = fd;
    return 0;
}

// 0 with the descriptor stored through fd_ptr (if given) when one is bound.
int shell_io_has_bound_fd(ShellIOT* shio, int* fd_ptr) {
    if (shio == nullptr) return SHELL_IO_EINVAL;
    if (shio->fd == -1) return SHELL_IO_ENOFD;
    if (fd_ptr != nullptr) *fd_ptr = shio->fd;
    return 0;
}

// Switches flushes to CR LF line ends, for good.
int shell_io_add_cr(ShellIOT* shio) {
    if (shio == nullptr) return SHELL_IO_EINVAL;
    shio->add_cr = 1;
    return 0;
}

// A copy of an argument list, ended with its scope.
struct ArgsCopy {
    explicit ArgsCopy(va_list from) { va_copy(args, from); }
    ~ArgsCopy() { va_end(args); }
    va_list args;
};

// Appends formatted text to the stream; returns the characters appended.
int shell_io_vprintf(ShellIOT* shio, const char* fmt, va_list ap) {
    if (shio == nullptr || shio->stream == nullptr) return -1;
    int rc;
    do {
        ArgsCopy copy(ap);  // each attempt formats from the list's start
        rc = vfprintf(shio->stream, fmt, copy.args);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

// Appends text and a line feed as they are, without formatting.
int shell_io_put_line(ShellIOT* shio, const char* text) {
    if (shio == nullptr || shio->stream == nullptr) return -1;
    if (text == nullptr) return SHELL_IO_EINVAL;
    // Unlocked: the object's users serialise every call already.
    if (fputs_unlocked(text, shio->stream) == EOF || putc_unlocked('\n', shio->stream) == EOF) {
        return -1;
    }
    return 0;
}

int shell_io_printf(ShellIOT* shio, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int rc = shell_io_vprintf(shio, fmt, ap);
    va_end(ap);
    return rc;
}

// Writes str straight to the descriptor, ahead of any collected text.
int shell_io_pprint(ShellIOT* shio, const char* str) {
    if (shio == nullptr || str == nullptr) return SHELL_IO_EINVAL;
    if (shio->fd == -1) return SHELL_IO_ENOTBOUND;
    if (str[0] == '\0') return SHELL_IO_EINVAL;
    size_t len = 0;
    while (str[len] != '\0')
        ++len;
    return _safe_write(shio, str, len);
}

namespace {

// Writes what the stream holds (its storage brought up to date) and empties
// it, giving large storage back.
void write_collected(ShellIOT* shio) {
    if (shio->stream_size == 0) return;
    _internal_shell_io_flush(shio);
    if (shio->stream_size > kKeptStorage)
        renew_stream(shio);
    else
        rewind(shio->stream);
}

}  // namespace

// Writes everything collected to the bound descriptor and empties the
// stream, giving large storage back; with no descriptor the text stays for
// a later flush.
int shell_io_flush(ShellIOT* shio) {
    if (shio == nullptr || shio->stream == nullptr) return 0;
    if (fflush(shio->stream) != 0) return -1;
    if (shio->fd == -1) return 0;
    write_collected(shio);
    return 0;
}

// The writes of shell_io_printf(shio, "%s\n", text) and a flush, for the
// side threads' one line at a time: the line goes out from the line buffer
// (grown when too small, kept for the next), so it is neither formatted nor
// copied into the stream and back, and an empty stream costs no seek.
int shell_io_flush_line(ShellIOT* shio, const char* text) {
    if (shio == nullptr || shio->stream == nullptr) return 0;
    if (text == nullptr) return shell_io_flush(shio);
    if (fflush(shio->stream) != 0) return -1;
    if (shio->fd == -1) return shell_io_put_line(shio, text);
    write_collected(shio);
    const size_t len = strlen(text);
    const size_t size = len + 1;  // the line and its line feed
    if (shio->getline_size < size) {
        auto* grown = static_cast<char*>(realloc(shio->getline_buffer, size));
        if (grown == nullptr) return -1;
        shio->getline_buffer = grown;
        shio->getline_size = size;
    }
    memcpy(shio->getline_buffer, text, len);
    shio->getline_buffer[len] = '\n';
    write_lines(shio, shio->getline_buffer, size);
    return 0;
}

// Reports the collected text, its size and the descriptor without emptying.
int shell_io_get_attributes(ShellIOT* shio, char** pStr, int* pSize, int* pFd) {
    if (shio == nullptr) return SHELL_IO_EINVAL;
    if (shio->stream == nullptr) return 0;
    int rc;
    do {
        rc = fflush(shio->stream);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return rc;
    if (pStr != nullptr) *pStr = shio->stream_buffer;
    if (pSize != nullptr) *pSize = static_cast<int>(shio->stream_size);
    if (pFd != nullptr) *pFd = shio->fd;
    return 0;
}

// Prints the object's state as two diagnostic lines on standard output.
int shell_io_dump(ShellIOT* shio) {
    if (shio == nullptr) return SHELL_IO_EINVAL;
    printf("shio: fd:%d stream{buff,size}: {%08x,%d}\n", shio->fd,
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(shio->stream_buffer)),
           static_cast<int>(shio->stream_size));
    printf("shio: getline{buff,size}: {%08x,%d}\n",
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(shio->getline_buffer)),
           static_cast<int>(shio->getline_size));
    return 0;
}
