// cle_testing: seams that only tests use. Never call these from the product.
#pragma once

// Appends a copy of line to the history ring as an adding operation would:
// the newest entry goes before the next-free slot, the oldest is dropped and
// freed when all CLE_HISTORY_SLOTS slots are used. Returns 0, or -1 for NULL
// or when no memory could be had.
int cle_history_test_add(const char* line);
