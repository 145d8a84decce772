// shell_io: buffered shell output. Text collects in a growable memory stream
// and is written to a bound descriptor line by line on flush, optionally with
// CR LF line ends. Not thread-safe: users serialise access.
#pragma once

#include <pthread.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>

typedef struct _ShellIO {
    int add_cr;              // 1: each flushed line ends in CR LF
    int fd;                  // bound descriptor, -1 while none
    size_t getline_size;     // allocated size of getline_buffer
    size_t stream_size;      // characters collected, as of the last stream flush
    char* getline_buffer;    // line buffer used while writing out
    char* stream_buffer;     // the collected text, owned by the stream
    pthread_mutex_t io_mut;  // kept in the layout: no operation takes it
    FILE* stream;            // the in-memory output stream, or NULL
} ShellIOT;

// Result codes besides 0 and -1.
#define SHELL_IO_EINVAL (-3)
#define SHELL_IO_ENOTBOUND (-4)
#define SHELL_IO_ENOFD (-25)

ShellIOT* shell_io_create(void);
int shell_io_destroy(ShellIOT* shio);  // kept in the interface; the shell never calls it
int shell_io_bind_fd(ShellIOT* shio, int fd);
int shell_io_has_bound_fd(ShellIOT* shio, int* fd_ptr);  // kept; the shell never calls it
int shell_io_add_cr(ShellIOT* shio);
// Kept in the interface; the shell appends with the calls below.
[[gnu::format(printf, 2, 3)]] int shell_io_printf(ShellIOT* shio, const char* fmt, ...);
[[gnu::format(printf, 2, 0)]] int shell_io_vprintf(ShellIOT* shio, const char* fmt, va_list ap);
// Appends text and a line feed: shell_io_printf(shio, "%s\n", text) without
// the formatting. Returns 0, -1 as printf does, -3 for null text.
int shell_io_put_line(ShellIOT* shio, const char* text);
int shell_io_pprint(ShellIOT* shio, const char* str);  // kept; the shell never calls it
int shell_io_flush(ShellIOT* shio);
// Appends text and a line feed and flushes: the same writes as
// shell_io_printf(shio, "%s\n", text) then shell_io_flush(shio), cheaper.
int shell_io_flush_line(ShellIOT* shio, const char* text);
int shell_io_get_attributes(ShellIOT* shio, char** pStr, int* pSize, int* pFd);
int shell_io_dump(ShellIOT* shio);  // kept; the shell never calls it
