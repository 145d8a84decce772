// zcon-peer-check: checks that an application keeps what the shell
// requires of it (docs/protocol.md), as sessions of the shell would see it.
// Exits 0 when every check passed (or did not apply), 1 when one failed, 2
// on bad usage.
#include <arpa/inet.h>
#include <getopt.h>
#include <netdb.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "checks.h"
#include "peer_link.h"

namespace {

void usage(FILE* out) {
    fputs(
        "usage: zcon-peer-check [options]\n"
        "  -h, --host HOST     the application's host (default localhost)\n"
        "  -p, --port N        its port (default 4121)\n"
        "  --json              write the report as JSON\n"
        "  --socket-dir DIR    where the session sockets go (default\n"
        "                      /tmp/apiasynclisteners, else /tmp)\n"
        "  --probe COMMAND     a command with output (default whoami)\n"
        "  --timeout MS        wait for a connection or an answer (default 5000)\n"
        "  --quiet MS          silence after an answer before going on (default 200)\n"
        "  --sessions N        sessions at once (default 20)\n"
        "  --samples N         requests timed (default 100)\n"
        "  --remote            do not look for output: the application runs elsewhere\n"
        "  --help              this text\n",
        out);
}

// Reads a whole number in [low, high] into *value; false if it is not one.
bool number(const char* text, int low, int high, int* value) {
    char* end = nullptr;
    const long n = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || n < low || n > high) return false;
    *value = static_cast<int>(n);
    return true;
}

const option kLong[] = {
    {"host", required_argument, nullptr, 'h'},    {"port", required_argument, nullptr, 'p'},
    {"json", no_argument, nullptr, 'j'},          {"socket-dir", required_argument, nullptr, 'd'},
    {"probe", required_argument, nullptr, 'c'},   {"timeout", required_argument, nullptr, 't'},
    {"quiet", required_argument, nullptr, 'q'},   {"sessions", required_argument, nullptr, 's'},
    {"samples", required_argument, nullptr, 'n'}, {"remote", no_argument, nullptr, 'r'},
    {"help", no_argument, nullptr, 'H'},          {nullptr, 0, nullptr, 0},
};

// Reads the options into *o. Returns -1 to go on, else the status to end with.
int parse_options(int argc, char** argv, CheckOptions* o, bool* json) {
    int opt;
    bool ok = true;
    while (ok && (opt = getopt_long(argc, argv, "h:p:", kLong, nullptr)) != -1) {
        switch (opt) {
            case 'h':
                o->host = optarg;
                break;
            case 'p':
                ok = number(optarg, 1, 65535, &o->port);
                break;
            case 'j':
                *json = true;
                break;
            case 'd':
                o->socket_dir = optarg;
                break;
            case 'c':
                o->probe = optarg;
                break;
            case 't':
                ok = number(optarg, 1, 600000, &o->timeout_ms);
                break;
            case 'q':
                ok = number(optarg, 1, 60000, &o->quiet_ms);
                break;
            case 's':
                ok = number(optarg, 1, 200, &o->sessions);
                break;
            case 'n':
                ok = number(optarg, 0, 100000, &o->samples);
                break;
            case 'r':
                o->remote = true;
                break;
            case 'H':
                usage(stdout);
                return 0;
            default:
                ok = false;
        }
    }
    if (!ok || optind < argc) {
        usage(stderr);
        return 2;
    }
    return -1;
}

// Finds the host's IPv4 address, as the shell does. Returns 0 or -1.
int resolve(CheckOptions* o) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(o->host.c_str(), nullptr, &hints, &found);
    if (rc != 0) {
        fprintf(stderr, "zcon-peer-check: %s: %s\n", o->host.c_str(), gai_strerror(rc));
        return -1;
    }
    memcpy(&o->address, found->ai_addr, sizeof o->address);
    o->address.sin_port = htons(static_cast<uint16_t>(o->port));
    freeaddrinfo(found);
    return 0;
}

// An interrupted run still takes its sockets away.
void on_signal(int sig) {
    peer_remove_all_sockets();
    _exit(128 + sig);
}

}  // namespace

int main(int argc, char** argv) {
    CheckOptions options;
    bool json = false;
    if (const int status = parse_options(argc, argv, &options, &json); status >= 0) return status;
    if (resolve(&options) < 0) return 2;
    if (options.socket_dir.empty()) {
        struct stat st {};
        const char* shared = "/tmp/apiasynclisteners";
        options.socket_dir = stat(shared, &st) == 0 && S_ISDIR(st.st_mode) ? shared : "/tmp";
    }
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
    // Rows show as they are decided: in the table, or, while the JSON waits
    // for the end, on a terminal's standard error.
    CheckProgress progress;
    progress.out = !json ? stdout : isatty(STDERR_FILENO) ? stderr : nullptr;
    progress.terminal = progress.out != nullptr && isatty(fileno(progress.out));
    if (progress.out != nullptr) checks_print_head(&options, progress.out);
    const CheckReport report = checks_run(&options, &progress);
    if (json)
        checks_print_json(&options, &report, stdout);
    else
        checks_print_tail(&report, stdout);
    return checks_failed(&report) ? 1 : 0;
}
