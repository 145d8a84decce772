// Warnings about bad input on the listener sockets. Anyone on the appliance
// may send them anything, so what cannot be shown as it was sent is cut or
// dropped, and the operator is told in the system log, never on the user's
// terminal, and at most once a second for each kind of bad input.
#pragma once

#include <array>

class BadInputWarnings {
  public:
    // One kind of bad input: its bit in the reader's kinds, and what the
    // warning says of it.
    struct Kind {
        int bit;
        const char* what;
    };
    static constexpr int kMaxKinds = 5;

    // source names the socket in each warning ("event socket").
    BadInputWarnings(const char* source, const Kind* kinds, int count);
    // Notes the kinds met at now_ms (the monotonic clock's milliseconds);
    // warns of each one whose last warning is a second old or more, adding
    // detail (this time's particulars: "uid 65534, pid 812") if not null.
    void note(int kinds, long long now_ms, const char* detail = nullptr);

  private:
    struct State {
        long long warned_ms = 0;  // when it was last warned of
        unsigned unwarned = 0;    // met since then
        bool ever = false;
    };
    const char* source_;
    const Kind* kinds_;
    int count_;
    std::array<State, kMaxKinds> states_{};
};
