// Rate-limited warnings about bad input on the listener sockets.
#include "bad_input.h"

#include <algorithm>

#include "system_log.h"

namespace {

constexpr long long kWarningGapMs = 1000;

}  // namespace

BadInputWarnings::BadInputWarnings(const char* source, const Kind* kinds, int count)
    : source_(source), kinds_(kinds), count_(std::min(count, kMaxKinds)) {}

void BadInputWarnings::note(int kinds, long long now_ms, const char* detail) {
    for (int i = 0; i < count_; ++i) {
        if ((kinds & kinds_[i].bit) == 0) continue;
        State& state = states_[static_cast<size_t>(i)];
        ++state.unwarned;
        if (state.ever && now_ms - state.warned_ms < kWarningGapMs) continue;
        mysyslog("WARNING: %s: %s%s%s (%u since the last warning)", source_, kinds_[i].what,
                 detail != nullptr ? ": " : "", detail != nullptr ? detail : "", state.unwarned);
        state.warned_ms = now_ms;
        state.unwarned = 0;
        state.ever = true;
    }
}
