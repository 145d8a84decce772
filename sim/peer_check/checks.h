// zcon-peer-check: what the shell requires of the application, checked
// against a running one as sessions of the shell would see it. The rules
// are those of docs/protocol.md, and every failing row names its section.
#pragma once

#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

struct CheckOptions {
    std::string host = "localhost";
    int port = 4121;
    sockaddr_in address{};         // host and port resolved
    std::string socket_dir;        // where the session sockets are bound
    std::string probe = "whoami";  // a command whose output the checks look for
    int timeout_ms = 5000;         // for a connection and for each answer
    int quiet_ms = 200;            // silence that ends the wait for more after an answer
    int sessions = 20;             // sessions at once
    int samples = 100;             // requests timed
    bool remote = false;           // the application cannot reach this host's sockets
};

enum class Verdict { kPass, kFail, kNotApplicable };

struct CheckRow {
    std::string name;
    Verdict verdict = Verdict::kPass;
    std::string detail;  // what was received, or why the check does not apply
};

struct CheckReport {
    std::vector<CheckRow> rows;
    bool local = false;                // output could be checked
    std::vector<int64_t> answer_us;    // time from request to answer, per timed request
    std::vector<int64_t> datagram_us;  // time from request to its first datagram
};

// Where rows go as soon as each is decided, for someone watching.
struct CheckProgress {
    FILE* out = nullptr;    // NULL: nowhere
    bool terminal = false;  // out is a terminal: a note stands there while a time-out runs
};

// Runs every check against the application at options->address.
CheckReport checks_run(const CheckOptions* options, const CheckProgress* progress);

// The table for people: its head, a row, the note of a wait (erased by the
// next row or note), and its tail (the latencies and the counts).
void checks_print_head(const CheckOptions* options, FILE* out);
void checks_print_row(const CheckRow* row, FILE* out);
void checks_print_wait(const std::string& what, FILE* out);
void checks_print_tail(const CheckReport* report, FILE* out);
// The whole report as JSON, for a release pipeline.
void checks_print_json(const CheckOptions* options, const CheckReport* report, FILE* out);

// Whether any check failed.
bool checks_failed(const CheckReport* report);
