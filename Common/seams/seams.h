// Test seams: the one place where tests, fuzz targets and benchmarks reach
// past the product's interfaces. No product header declares a seam, and the
// product never sets one; only the modules that own a seam include this file
// besides the tests.
//
// The convention: a seam stands in for one outside call of a module (a
// write, a send or receive, a system-log entry, a fork and exec), so a test can force what the
// outside world rarely does: interruptions, short writes, failures. It is set with
// <module>_set_<call>(stand_in), which returns the call it replaces;
// nullptr puts the real call back.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <sys/select.h>
#include <sys/types.h>

// ---- Buffered output (legacy_api/shell_io) ---------------------------------

// The write(2) of a flush.
typedef ssize_t (*ShellIoWriteT)(int fd, const void* buf, size_t count);
ShellIoWriteT shell_io_set_write(ShellIoWriteT write_call);

// ---- Line socket I/O (libxcom) ---------------------------------------------

// The send(2) of socket_write_line and the recv(2) of socket_read_line.
typedef ssize_t (*SocketSendT)(int socket, const void* buf, size_t len, int flags);
typedef ssize_t (*SocketRecvT)(int socket, void* buf, size_t len, int flags);
SocketSendT socket_set_send(SocketSendT send_call);
SocketRecvT socket_set_recv(SocketRecvT recv_call);
// The select(2) of every wait: the timeout it gets is what the call's time
// budget (10 s for a connection or a line written) has left.
typedef int (*SocketSelectT)(int nfds, fd_set* read, fd_set* write, fd_set* except,
                             timeval* timeout);
SocketSelectT socket_set_select(SocketSelectT select_call);

// ---- Line editor (libcle) --------------------------------------------------

// Where the editor's flushed bytes go: by default standard output, after
// anything still held in the stdio stream.
typedef void (*CleOutputSink)(const char* bytes, size_t n);
CleOutputSink cle_set_output_sink(CleOutputSink sink);

// Not a seam but the one test entry point: the history store has no adding
// operation of its own. Appends a copy of line as an adding operation would:
// the newest entry goes before the next-free slot, the oldest is dropped and
// freed when all CLE_HISTORY_SLOTS slots are used. Without memory nothing
// changes.
void cle_history_test_add(const char* line);

// ---- System log (shell) -----------------------------------------------------

// The vsyslog(3) behind mysyslog.
typedef void (*VsyslogT)(int priority, const char* format, va_list ap);
VsyslogT system_log_set_vsyslog(VsyslogT vsyslog_call);

// ---- Local commands (shell) ------------------------------------------------

// The fork and exec of system_pthread: the stand-in returns what the wait
// status would be.
typedef int (*CommandRunnerT)(const char* command);
CommandRunnerT system_pthread_set_runner(CommandRunnerT runner);
