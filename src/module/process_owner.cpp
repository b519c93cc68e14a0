#include "module/process_owner.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace vesper {

namespace {

std::atomic<pid_t> known_pid{0};

void renew_pid() { known_pid.store(getpid(), std::memory_order_relaxed); }

// Registered once, before the first id is handed out: a fork() after it
// renews the id in the child before any Python code runs there.
const bool pid_kept = [] {
    renew_pid();
    pthread_atfork(nullptr, nullptr, renew_pid);
    return true;
}();

}  // namespace

pid_t current_process() {
    (void)pid_kept;
    return known_pid.load(std::memory_order_relaxed);
}

}  // namespace vesper
