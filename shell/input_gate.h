// The input gate of the command loop: taken before each line is read, and
// given once when the session opens and once at the end of every turn. Only
// the main thread takes and gives it, so the loop never waits on itself;
// whatever a turn did (requests, local commands, nothing), it gives the gate
// in one place.
#pragma once

#include <errno.h>
#include <semaphore.h>

#include "ending_signals.h"

class InputGate {
  public:
    InputGate() = default;
    ~InputGate() { destroy(); }
    InputGate(const InputGate&) = delete;
    InputGate& operator=(const InputGate&) = delete;

    // Creates input_ready_sem, closed. Returns false when it cannot be made.
    bool init() {
        ready_ = sem_init(&input_ready_sem, 0, 0) == 0;
        return ready_;
    }
    void destroy() {
        if (ready_) sem_destroy(&input_ready_sem);
        ready_ = false;
    }
    // Takes the gate; an ending signal ends the wait.
    void take() {
        while (sem_wait(&input_ready_sem) != 0 && errno == EINTR && !session_cut_short()) {
        }
    }
    void give() { sem_post(&input_ready_sem); }

  private:
    sem_t input_ready_sem{};
    bool ready_ = false;
};
