// The report: a table for people, JSON for a release pipeline, with the
// same rows and timings.
#include <algorithm>
#include <string>

#include "checks.h"

namespace {

const char* verdict_word(Verdict v) {
    switch (v) {
        case Verdict::kPass:
            return "pass";
        case Verdict::kFail:
            return "fail";
        case Verdict::kNotApplicable:
            return "n/a";
    }
    return "?";
}

// Median and 99th percentile of the samples, in milliseconds.
struct Spread {
    size_t samples = 0;
    double median_ms = 0, p99_ms = 0;
};

Spread spread(std::vector<int64_t> us) {
    Spread s;
    s.samples = us.size();
    if (us.empty()) return s;
    std::sort(us.begin(), us.end());
    const size_t p99 = (us.size() * 99 + 99) / 100 - 1;  // the rank that 99 % do not pass
    s.median_ms = static_cast<double>(us[us.size() / 2]) / 1000.0;
    s.p99_ms = static_cast<double>(us[p99]) / 1000.0;
    return s;
}

// A JSON string; bytes outside printable ASCII are written as \u00XX.
std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (byte < 0x20 || byte > 0x7E) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\u%04x", static_cast<unsigned>(byte));
            out += hex;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

void count(const CheckReport* r, int* passed, int* failed, int* not_applicable) {
    *passed = *failed = *not_applicable = 0;
    for (const CheckRow& row : r->rows) {
        if (row.verdict == Verdict::kPass) ++*passed;
        if (row.verdict == Verdict::kFail) ++*failed;
        if (row.verdict == Verdict::kNotApplicable) ++*not_applicable;
    }
}

void print_spread_text(FILE* out, const char* what, const std::vector<int64_t>& us) {
    const Spread s = spread(us);
    if (s.samples == 0) {
        fprintf(out, "%-18s not measured\n", what);
        return;
    }
    fprintf(out, "%-18s median %.3f ms, 99th percentile %.3f ms (%zu requests)\n", what,
            s.median_ms, s.p99_ms, s.samples);
}

void print_spread_json(FILE* out, const char* what, const std::vector<int64_t>& us, bool last) {
    const Spread s = spread(us);
    if (s.samples == 0) {
        fprintf(out, "    %s: {\"median\": null, \"p99\": null, \"samples\": 0}%s\n",
                json_string(what).c_str(), last ? "" : ",");
        return;
    }
    fprintf(out, "    %s: {\"median\": %.3f, \"p99\": %.3f, \"samples\": %zu}%s\n",
            json_string(what).c_str(), s.median_ms, s.p99_ms, s.samples, last ? "" : ",");
}

}  // namespace

void checks_print_head(const CheckOptions* o, FILE* out) {
    fprintf(out, "zcon-peer-check: the application at %s port %d\n", o->host.c_str(), o->port);
    fflush(out);
}

void checks_print_row(const CheckRow* row, FILE* out) {
    fprintf(out, "%-5s %-31s %s\n", verdict_word(row->verdict), row->name.c_str(),
            row->detail.c_str());
    fflush(out);
}

void checks_print_wait(const std::string& what, FILE* out) {
    fprintf(out, "\r\033[Kwaiting for %s ...", what.c_str());
    fflush(out);
}

void checks_print_tail(const CheckReport* r, FILE* out) {
    print_spread_text(out, "answer latency:", r->answer_us);
    print_spread_text(out, "datagram latency:", r->datagram_us);
    int passed, failed, not_applicable;
    count(r, &passed, &failed, &not_applicable);
    fprintf(out, "%d passed, %d failed, %d not applicable\n", passed, failed, not_applicable);
}

void checks_print_json(const CheckOptions* o, const CheckReport* r, FILE* out) {
    // format goes up only when a reader must read the layout differently.
    fprintf(out, "{\n  \"format\": 1,\n  \"checker\": %s,\n",
            json_string("zcon-peer-check " ZCON_VERSION).c_str());
    fprintf(out, "  \"host\": %s,\n  \"port\": %d,\n  \"local\": %s,\n  \"checks\": [\n",
            json_string(o->host).c_str(), o->port, r->local ? "true" : "false");
    for (size_t i = 0; i < r->rows.size(); ++i) {
        const CheckRow& row = r->rows[i];
        fprintf(out, "    {\"name\": %s, \"result\": %s, \"detail\": %s}%s\n",
                json_string(row.name).c_str(), json_string(verdict_word(row.verdict)).c_str(),
                json_string(row.detail).c_str(), i + 1 < r->rows.size() ? "," : "");
    }
    fputs("  ],\n  \"timings_ms\": {\n", out);
    print_spread_json(out, "answer", r->answer_us, false);
    print_spread_json(out, "datagram", r->datagram_us, true);
    int passed, failed, not_applicable;
    count(r, &passed, &failed, &not_applicable);
    fprintf(out, "  },\n  \"passed\": %d,\n  \"failed\": %d,\n  \"not_applicable\": %d\n}\n",
            passed, failed, not_applicable);
}
