// appd: the application stand-in. A TCP server speaking the shell's request
// and answer protocol, with output lines sent as datagrams to each session's
// registered socket, plus a control socket for tests and operators.
#pragma once

struct AppdServer;

struct AppdOptions {
    const char* listen_addr = "127.0.0.1";
    int port = 4121;                     // 0 picks a free port
    const char* port_file = nullptr;     // written with the bound port when ready
    const char* control_path = nullptr;  // Unix stream socket for control commands
    const char* trace_path = nullptr;    // every received line and sent line, appended
    // Called with one entry per answered request, e.g. "session 3: C: status
    // -> 0", to keep a log of them (the program's --syslog); NULL for none.
    void (*request_log)(const char* entry) = nullptr;
};

// Binds the listening sockets and opens the trace. Returns the server, or
// NULL after printing the reason on standard error.
AppdServer* appd_create(const AppdOptions* options);

// Serves until appd_request_stop or the control command "quit". Returns 0,
// or -1 when the event loop itself failed.
int appd_run(AppdServer* server);

// Asks a running appd_run to return. Safe from other threads and from
// signal handlers.
void appd_request_stop(AppdServer* server);

// Closes every session and socket and frees the server (NULL is ignored).
void appd_destroy(AppdServer* server);
