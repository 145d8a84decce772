// The command history store: a ring of CLE_HISTORY_SLOTS heap-owned strings.
// The entries occupy history_size consecutive slots from history_pos (the
// oldest), wrapping from the last slot to 0; history_index is the slot after
// the newest. Only the shell's main thread uses it, so there is no lock.
#include <cstdlib>
#include <cstring>

#include "cle.h"
#include "cle_internal.h"
#include "seams.h"

namespace {

char* command_history[CLE_HISTORY_SLOTS];
int history_index{};
int history_pos{};
int history_size{};
int history_cmd_filter = 1;  // kept with its setter; nothing reads it

// Puts a heap copy of text in slot, releasing what the slot held (a slot
// outside the counted range may still hold an old string: the counters are
// zeroed by cle_init, the slots are not). Returns -1 without memory, the
// slot left as it was, else 0.
int store_copy(char*& slot, const char* text) {
    const size_t n = strlen(text) + 1;
    auto* copy = static_cast<char*>(malloc(n));
    if (copy == nullptr) return -1;
    memcpy(copy, text, n);
    free(slot);
    slot = copy;
    return 0;
}

}  // namespace

// Returns the slot before x in the ring. Slot 0 steps back to the last slot
// only when the ring is full: otherwise nothing lives there.
int cle_history_decr_circular(int x) {
    if (x > 0) return x - 1;
    return history_size == CLE_HISTORY_SLOTS ? CLE_HISTORY_SLOTS - 1 : 0;
}

// Zeroes the ring counters without touching the slots or the filter switch.
void cle_history_reset_counters() {
    history_index = 0;
    history_pos = 0;
    history_size = 0;
}

// Frees every stored entry and leaves the store empty; safe to repeat.
void cle_history_release() {
    for (char*& slot : command_history) {
        free(slot);
        slot = nullptr;
    }
    cle_history_reset_counters();
}

// Returns the text in slot index (no range check), NULL for an unused slot.
char* cle_history(int index) {
    return command_history[index];
}

// Returns the number of stored entries, 0..CLE_HISTORY_SLOTS.
int cle_history_size() {
    return history_size;
}

// Returns the slot of the oldest entry.
int cle_history_get_start() {
    return history_pos;
}

// Replaces the newest entry with a copy of replacement. Returns -1 for NULL
// (or no memory, leaving the old entry in place), else 0.
int cle_history_replace_last_entry(const char* replacement) {
    if (replacement == nullptr) return -1;
    return store_copy(command_history[cle_history_decr_circular(history_index)], replacement);
}

// Sets the command filter switch to 1 for any non-zero x, else 0; returns
// the previous value.
int cle_history_command_filter(int x) {
    const int previous = history_cmd_filter;
    history_cmd_filter = x != 0 ? 1 : 0;
    return previous;
}

// Appends a copy of line as the newest entry, dropping the oldest when full.
void cle_history_test_add(const char* line) {
    // When full, the slot after the newest is the oldest and makes room.
    if (store_copy(command_history[history_index], line) != 0) return;
    if (history_size == CLE_HISTORY_SLOTS) {
        history_pos = (history_pos + 1) % CLE_HISTORY_SLOTS;
    } else {
        ++history_size;
    }
    history_index = (history_index + 1) % CLE_HISTORY_SLOTS;
}
