// The log view's filters and switches, and the shaping of a record by them.
#include <stdio.h>
#include <string.h>

#include "log_view.h"
#include "mutex_lock.h"

namespace {

constexpr size_t kShortRecord = 24;  // records this short are shown as they are
constexpr size_t kDateWidth = 11;    // the date and its separator
constexpr size_t kTimeWidth = 9;     // the time and its separator
constexpr size_t kTextStart = kDateWidth + kTimeWidth;

// A filter word longer than a slot is cut to the slot: a shorter text still
// matches every line that holds the longer one, and the listing shows what is
// in force.
constexpr size_t kFilterMaxLen = kFilterSize - 1;

// True when slot holds word as adding it would have stored it.
bool slot_matches(const FilterSlot& slot, const char* word) {
    return slot[0] != '\0' && strncmp(slot.data(), word, kFilterMaxLen) == 0 &&
           strnlen(word, kFilterMaxLen) == strnlen(slot.data(), kFilterSize);
}

// Whether any filter of the table occurs in text; *any_set tells whether the
// table has a filter at all.
bool any_filter_in(const FilterTable& filters, const char* text, bool* any_set) {
    bool found = false;
    for (const FilterSlot& filter : filters) {
        if (filter[0] == '\0') continue;
        *any_set = true;
        found = found || strstr(text, filter.data()) != nullptr;
    }
    return found;
}

LogView session_view;

}  // namespace

LogView& session_log_view(void) {
    return session_view;
}

void LogView::clear_filters() {
    MutexLock lock(log_view_mut);
    for (FilterSlot& slot : log_show_filters)
        slot[0] = '\0';
    for (FilterSlot& slot : log_cull_filters)
        slot[0] = '\0';
}

void LogView::add_filters(Filters which, int count, char** words) {
    MutexLock lock(log_view_mut);
    FilterTable& slots = table(which);
    for (int i = 0; i < count; ++i) {
        FilterSlot* free_slot = nullptr;
        for (FilterSlot& slot : slots) {
            if (slot[0] == '\0') {
                free_slot = &slot;
                break;
            }
        }
        if (free_slot == nullptr) return;
        const size_t len = strnlen(words[i], kFilterMaxLen);
        memcpy(free_slot->data(), words[i], len);
        (*free_slot)[len] = '\0';
    }
}

void LogView::delete_filters(Filters which, int count, char** words) {
    MutexLock lock(log_view_mut);
    FilterTable& slots = table(which);
    if (strcmp(words[0], "*") == 0) {
        for (FilterSlot& slot : slots)
            slot[0] = '\0';
        return;
    }
    for (int i = 0; i < count; ++i) {
        for (FilterSlot& slot : slots) {
            if (slot_matches(slot, words[i])) {
                slot[0] = '\0';
                break;
            }
        }
    }
}

FilterTable LogView::filters(Filters which) const {
    MutexLock lock(log_view_mut);
    return which == Filters::kShow ? log_show_filters : log_cull_filters;
}

void LogView::set_format(bool date, bool time, bool level) {
    MutexLock lock(log_view_mut);
    hide_date = !date;
    hide_time = !time;
    hide_level = !level;
}

bool LogView::format_record(const char* record, char* out, size_t out_size) const {
    if (strlen(record) <= kShortRecord) {
        snprintf(out, out_size, "%s", record);
        return true;
    }
    const char* searched = record + kTextStart;
    bool shown, culled, date, time, level;
    {
        MutexLock lock(log_view_mut);
        bool any_show = false, any_cull = false;
        shown = any_filter_in(log_show_filters, searched, &any_show) || !any_show;
        culled = any_filter_in(log_cull_filters, searched, &any_cull);
        date = !hide_date;
        time = !hide_time;
        level = !hide_level;
    }
    if (!shown || culled) return false;

    char sz[kDateWidth + kTimeWidth + 1] = "";
    const char* pline = record;
    if (!(date && time && level)) {
        size_t len = 0;
        if (date) {
            memcpy(sz, record, kDateWidth);
            len = kDateWidth;
        }
        if (time) {
            memcpy(sz + len, record + kDateWidth, kTimeWidth);
            len += kTimeWidth;
        }
        sz[len] = '\0';
        pline = searched;
        if (!level) {
            if (*pline == ' ') {
                ++pline;
            } else {
                const char* space = strchr(pline, ' ');
                pline = space != nullptr ? space + 1 : "";
            }
        }
    }
    snprintf(out, out_size, "%s%s", sz, pline);
    return true;
}
