// The editor's output lock bound to a mutex: what every program that shares
// its terminal with the editor needs, written once.
#include <pthread.h>

#include "cle.h"

namespace {

pthread_mutex_t* output_mutex = nullptr;

void lock_output_mutex(int lock, char* /*tag*/) {
    if (output_mutex == nullptr) return;
    if (lock) {
        pthread_mutex_lock(output_mutex);
    } else {
        pthread_mutex_unlock(output_mutex);
    }
}

}  // namespace

void cle_use_output_mutex(pthread_mutex_t* mutex) {
    output_mutex = mutex;
    cle_register_sync_callbacks(mutex != nullptr ? lock_output_mutex : nullptr);
}
