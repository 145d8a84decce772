// Record building for the syslogd stand-in.
#include "syslog_record.h"

#include <stdio.h>

#include <array>

const char* syslog_level_word(int priority) {
    static constexpr std::array<const char*, 8> kWords = {"emerg",   "alert",  "crit", "err",
                                                          "warning", "notice", "info", "debug"};
    return kWords[static_cast<unsigned>(priority) & 7u];
}

// True when text starts with the C library's "Mmm dd hh:mm:ss " stamp.
static bool has_timestamp(std::string_view text) {
    static constexpr std::string_view kShape = "Aaa dd dd:dd:dd ";
    if (text.size() < kShape.size()) return false;
    for (size_t i = 0; i < kShape.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        switch (kShape[i]) {
            case 'A':
            case 'a':
                if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
                break;
            case 'd':
                // The day is space-padded ("Dec  5").
                if (!((c >= '0' && c <= '9') || (i == 4 && c == ' '))) return false;
                break;
            default:
                if (c != static_cast<unsigned char>(kShape[i])) return false;
        }
    }
    return true;
}

void syslog_parse(std::string_view message, int* priority, std::string_view* text) {
    *priority = kSyslogDefaultPriority;
    if (message.size() >= 3 && message[0] == '<') {
        size_t close = message.find('>');
        if (close != std::string_view::npos && close >= 2 && close <= 4) {
            int value = 0;
            bool digits = true;
            for (size_t i = 1; i < close; ++i) {
                auto c = static_cast<unsigned char>(message[i]);
                if (c < '0' || c > '9') digits = false;
                value = value * 10 + (c - '0');
            }
            if (digits && value <= 191) {
                *priority = value;
                message.remove_prefix(close + 1);
            }
        }
    }
    if (has_timestamp(message)) message.remove_prefix(16);
    while (!message.empty()) {
        auto last = static_cast<unsigned char>(message.back());
        if (last != '\n' && last != '\r' && last != '\0' && last != ' ') break;
        message.remove_suffix(1);
    }
    *text = message;
}

std::string syslog_format_record(int priority, std::string_view text, const struct tm& when) {
    char stamp[96];
    snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d ", when.tm_year + 1900,
             when.tm_mon + 1, when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec);
    std::string record = stamp;
    record += syslog_level_word(priority);
    record += ' ';
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        record += (c < 0x20 || c == 0x7F) ? ' ' : ch;
    }
    return record;
}
