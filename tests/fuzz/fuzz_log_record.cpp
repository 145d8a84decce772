// Fuzzes the live log's record filter and shaper, log_format_record, with
// arbitrary records, show and cull filters and format switches, against a
// plain model of the rules. The output buffer is sized exactly (and its size
// is fuzzed too), so any write past it is caught.
//
// Input, as text lines:
//   a header line: the letters d, t, l switch the date, time and level on
//   (absent: off); a number in it sets the output buffer size (1 to 1025,
//   default 1025);
//   then lines beginning with + (show filter) or - (cull filter), filling the
//   slots in order; "+" alone leaves a slot empty;
//   everything from the first other line on is the record (at most 1024
//   bytes, line feeds included, up to its first NUL).
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "log_reader.h"

namespace {

constexpr size_t kMaxRecord = 1024;
constexpr size_t kDefaultOutSize = kMaxRecord + 1;  // what the log reader passes

// Names the broken expectation, then stops with a crash the fuzzer records.
[[noreturn]] void fail(int line, const char* what) {
    fprintf(stderr, "%s:%d: expected %s\n", __FILE__, line, what);
    __builtin_trap();
}
#define CHECK(condition) ((condition) ? (void)0 : fail(__LINE__, #condition))

struct Settings {
    bool date = false, time = false, level = false;
    size_t out_size = kDefaultOutSize;
    std::vector<std::string> shows, culls;  // one per slot, empty ones included
};

// The text up to its first NUL, as C string users see it.
std::string c_text(std::string_view text) {
    return std::string(text.substr(0, text.find('\0')));
}

// Splits the input into settings and the record.
std::string parse_input(std::string_view input, Settings* settings) {
    size_t end = input.find('\n');
    const std::string_view header = input.substr(0, end);
    settings->date = header.find('d') != std::string_view::npos;
    settings->time = header.find('t') != std::string_view::npos;
    settings->level = header.find('l') != std::string_view::npos;
    const size_t digits = header.find_first_of("0123456789");
    if (digits != std::string_view::npos) {
        const size_t size = strtoul(std::string(header.substr(digits, 5)).c_str(), nullptr, 10);
        if (size >= 1 && size <= kDefaultOutSize) settings->out_size = size;
    }
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);

    while (!input.empty() && (input[0] == '+' || input[0] == '-')) {
        end = input.find('\n');
        auto& slots = input[0] == '+' ? settings->shows : settings->culls;
        if (slots.size() < kFilterSlots) {
            slots.push_back(c_text(input.substr(1, end - 1)).substr(0, kFilterSize - 1));
        }
        input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
    }
    return c_text(input.substr(0, kMaxRecord));
}

// Puts the settings where the log reader finds them.
void apply(const Settings& settings) {
    memset(log_show_filters, 0, sizeof log_show_filters);
    memset(log_cull_filters, 0, sizeof log_cull_filters);
    for (size_t i = 0; i < settings.shows.size(); ++i) {
        memcpy(log_show_filters[i], settings.shows[i].data(), settings.shows[i].size());
    }
    for (size_t i = 0; i < settings.culls.size(); ++i) {
        memcpy(log_cull_filters[i], settings.culls[i].data(), settings.culls[i].size());
    }
    // The log view commands store -1 for on.
    log_show_date = settings.date ? -1 : 0;
    log_show_time = settings.time ? -1 : 0;
    log_show_level = settings.level ? -1 : 0;
}

// True when a non-empty filter occurs in text; *any tells whether one is set.
bool any_occurs(const std::vector<std::string>& filters, const std::string& text, bool* any) {
    bool found = false;
    for (const auto& filter : filters) {
        if (filter.empty()) continue;
        *any = true;
        found = found || text.find(filter) != std::string::npos;
    }
    return found;
}

// The rules: short records pass unchanged; the filters search from position
// 20; the date is positions 0-10, the time 11-19; without the level, one
// space at 20 is skipped, or everything up to the first space after it.
std::optional<std::string> expected_text(const std::string& record, const Settings& settings) {
    if (record.size() <= 24) return record;
    const std::string searched = record.substr(20);
    bool any_show = false, any_cull = false;
    if (!any_occurs(settings.shows, searched, &any_show) && any_show) return std::nullopt;
    if (any_occurs(settings.culls, searched, &any_cull)) return std::nullopt;
    if (settings.date && settings.time && settings.level) return record;

    std::string text =
        (settings.date ? record.substr(0, 11) : "") + (settings.time ? record.substr(11, 9) : "");
    std::string part = searched;
    if (!settings.level) {
        if (part[0] == ' ') {
            part.erase(0, 1);
        } else {
            const size_t space = part.find(' ');
            part = space == std::string::npos ? "" : part.substr(space + 1);
        }
    }
    return text + part;
}

}  // namespace

// Shapes one record with the input's settings and compares with the model.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Settings settings;
    const std::string record =
        parse_input(std::string_view(reinterpret_cast<const char*>(data), size), &settings);
    apply(settings);

    std::vector<char> out(settings.out_size, '\x7f');
    const bool printed = log_format_record(record.c_str(), out.data(), out.size());
    const std::optional<std::string> expected = expected_text(record, settings);
    CHECK(printed == expected.has_value());
    if (printed) {
        // Cut to the buffer, never past it.
        CHECK(memchr(out.data(), '\0', out.size()) != nullptr);
        CHECK(expected->substr(0, out.size() - 1) == out.data());
    }
    return 0;
}
