// One slice of a wait on a request's or a WebSocket's state that runs the
// engine's network loop on the waiting thread (the Core's
// hy_request_drive / hy_websocket_drive): the answer is read off the
// socket by the thread that wants it, with no hand-off between threads.
// Without that extension, or where the Core refuses (inside one of its
// callbacks), the slice is a plain wait on the state's condition
// variable, woken by the callbacks on the Core's thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "halyard.h"

namespace vesper {

// The condition the Core looks at, on the waiting thread or on the thread
// running the loop: `ready` read under the state's lock.
template <class Ready>
struct DrivenCondition {
    std::mutex& mutex;
    Ready& ready;

    static int32_t holds(void* context) {
        auto* self = static_cast<DrivenCondition*>(context);
        std::lock_guard lock(self->mutex);
        return self->ready() ? 1 : 0;
    }
};

// Waits at most `wait_ms` for `ready` (called with `lock` held); `lock`
// is held again on return.  `drive` is the Core's drive function (null
// when the Core has none) for `core`.  Called without the interpreter
// lock when `wait_ms` is not 0.
template <class Core, class Ready>
bool driven_wait(uint32_t (*drive)(Core*, uint64_t, hy_wait_condition, void*), Core* core,
                 std::unique_lock<std::mutex>& lock, std::condition_variable& changed, uint64_t wait_ms, Ready ready) {
    if (ready()) return true;
    if (wait_ms == 0) return false;
    if (drive != nullptr && core != nullptr) {
        DrivenCondition<Ready> condition{*lock.mutex(), ready};
        lock.unlock();
        const uint32_t result = drive(core, wait_ms, &DrivenCondition<Ready>::holds, &condition);
        lock.lock();
        if (result == HY_OK) return ready();
        // Refused (a wait inside a Core callback, a request not started):
        // the plain wait below.
    }
    return changed.wait_for(lock, std::chrono::milliseconds(wait_ms), ready);
}

}  // namespace vesper
