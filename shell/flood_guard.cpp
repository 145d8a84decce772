// The flood guard's counts, by the gaps between lines.
#include "flood_guard.h"

namespace {

// The flood guard: a line less than kFastGapMs after the previous one is
// fast; every kFastLinesPerStrike-th fast line in a row is a strike, and so
// is a line after a pause up to kForgivingGapMs when the run had reached
// that many (a pause of that size otherwise forgives a strike); a longer
// pause clears both counts. kStrikesToEnd strikes end the session.
constexpr long long kFastGapMs = 1000;
constexpr long long kForgivingGapMs = 2500;
constexpr int kFastLinesPerStrike = 10;
constexpr int kStrikesToEnd = 10;

}  // namespace

bool flood_guard_check(FloodGuard* guard, long long now) {
    long long gap = now - guard->lastTime;
    bool strike = false;
    if (gap < kFastGapMs) {
        strike = ++guard->DoSCount >= kFastLinesPerStrike;
    } else if (gap <= kForgivingGapMs) {
        if (guard->DoSCount >= kFastLinesPerStrike) {
            strike = true;
        } else if (guard->DoSattempts > 0) {
            --guard->DoSattempts;
        }
    } else {
        guard->DoSCount = 0;
        guard->DoSattempts = 0;
    }
    if (strike) {
        if (++guard->DoSattempts >= kStrikesToEnd) return true;
        guard->DoSCount = 0;
    }
    guard->lastTime = now;
    return false;
}
