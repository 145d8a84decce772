// The live system log of telnet sessions: a side thread receives syslogd's
// records on the session's listener socket, filters and shapes them by the
// log view, and prints them as asynchronous output.
#pragma once

#include <pthread.h>
#include <stddef.h>

#include <array>

inline constexpr int kFilterSlots = 10;
inline constexpr int kFilterSize = 256;  // a filter text and its terminator

using FilterSlot = std::array<char, kFilterSize>;
using FilterTable = std::array<FilterSlot, kFilterSlots>;

// The user's log view: the show and cull filters and the date, time and
// level switches. The log commands edit it on the main thread while the log
// reader tests records against it, so every access holds its mutex: the
// reader never sees a half-written filter.
class LogView {
  public:
    enum class Filters { kShow, kCull };

    // Empties every filter slot.
    void clear_filters();
    // Puts each word (cut to a slot) into the lowest free slot of the table;
    // once it is full the remaining words are dropped.
    void add_filters(Filters which, int count, char** words);
    // Empties every slot for "*", else the first slot holding each word.
    void delete_filters(Filters which, int count, char** words);
    // The table as it is now, for listing.
    FilterTable filters(Filters which) const;
    // Sets the three switches: which parts of a record's head are shown.
    void set_format(bool date, bool time, bool level);
    // Filters and shapes one syslogd record. Returns false when the record
    // is dropped; otherwise out (of out_size bytes) holds the text to print,
    // without its line feed.
    bool format_record(const char* record, char* out, size_t out_size) const;

  private:
    FilterTable& table(Filters which) {
        return which == Filters::kShow ? log_show_filters : log_cull_filters;
    }

    // Every member starts as zero bytes, so the session's view takes no
    // room in the program file: the switches say what is hidden.
    mutable pthread_mutex_t log_view_mut = PTHREAD_MUTEX_INITIALIZER;
    FilterTable log_show_filters{};
    FilterTable log_cull_filters{};
    bool hide_date = false;
    bool hide_time = false;
    bool hide_level = false;
};

// The session's log view, shared by the log reader and the log commands.
LogView& session_log_view(void);

// Starts the log reader thread, once, before the command loop (so the
// filters are still empty, as built); prints "failed to create log reader
// thread" when it cannot be started (not fatal).
void log_reader_start(void);
// The body of the log reader thread.
void* logReaderThread(void* arg);
