// appd: runs the application stand-in until SIGTERM, SIGINT or "quit".
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <syslog.h>

#include "appd.h"

static AppdServer* g_server = nullptr;

// Asks the event loop to stop; only async-signal-safe calls inside.
static void on_signal(int) {
    if (g_server != nullptr) appd_request_stop(g_server);
}

// Writes one answered request to the system log.
static void log_to_syslog(const char* entry) {
    syslog(LOG_DAEMON | LOG_INFO, "%s", entry);
}

// Prints the options.
static void usage(FILE* out) {
    fputs(
        "usage: appd [options]\n"
        "  --listen ADDR     address to serve on (default 127.0.0.1)\n"
        "  --port N          TCP port (default 4121; 0 picks a free one)\n"
        "  --port-file PATH  write the bound port there once serving\n"
        "  --control PATH    Unix stream socket for control commands\n"
        "  --trace PATH      append every received and sent line\n"
        "  --syslog          log every answered request to the system log\n"
        "  --help            this text\n"
        "See sim/README.md for the protocol, the commands and the control socket.\n",
        out);
}

// Each session holds two descriptors; make room for a few thousand.
static void raise_descriptor_limit() {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return;
    rlim_t want = lim.rlim_max < 8192 ? lim.rlim_max : 8192;
    if (lim.rlim_cur < want) {
        lim.rlim_cur = want;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

// Reads the options into *options. Returns -1 to go on, else the status to
// end with.
static int parse_options(int argc, char** argv, AppdOptions* options) {
    static const option kLong[] = {
        {"listen", required_argument, nullptr, 'l'},
        {"port", required_argument, nullptr, 'p'},
        {"port-file", required_argument, nullptr, 'f'},
        {"control", required_argument, nullptr, 'c'},
        {"trace", required_argument, nullptr, 't'},
        {"syslog", no_argument, nullptr, 's'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int opt;
    while ((opt = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
        switch (opt) {
            case 'l':
                options->listen_addr = optarg;
                break;
            case 'p': {
                char* end = nullptr;
                long port = strtol(optarg, &end, 10);
                if (*end != '\0' || port < 0 || port > 65535) {
                    fprintf(stderr, "appd: bad port: %s\n", optarg);
                    return 2;
                }
                options->port = static_cast<int>(port);
                break;
            }
            case 'f':
                options->port_file = optarg;
                break;
            case 'c':
                options->control_path = optarg;
                break;
            case 't':
                options->trace_path = optarg;
                break;
            case 's':
                // The logger may start after appd: the C library connects
                // on the first entry and reconnects after a restart.
                openlog("appd", 0, LOG_DAEMON);
                options->request_log = log_to_syslog;
                break;
            case 'h':
                usage(stdout);
                return 0;
            default:
                usage(stderr);
                return 2;
        }
    }
    if (optind < argc) {
        usage(stderr);
        return 2;
    }
    return -1;
}

int main(int argc, char** argv) {
    AppdOptions options;
    if (const int status = parse_options(argc, argv, &options); status >= 0) return status;
    raise_descriptor_limit();
    signal(SIGPIPE, SIG_IGN);
    g_server = appd_create(&options);
    if (g_server == nullptr) return 1;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    int rc = appd_run(g_server);
    AppdServer* server = g_server;
    g_server = nullptr;
    appd_destroy(server);
    return rc == 0 ? 0 : 1;
}
