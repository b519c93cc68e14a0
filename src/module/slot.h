// A mutex-guarded optional value of a Python object (a request's start and
// body slots, a WebSocket's connection slot).
#pragma once

#include <mutex>
#include <optional>
#include <utility>

#include "module/gil.h"

namespace vesper {

// Locks `mutex` from a Python thread.  If another thread holds it (say a
// blocking read that keeps it while it waits), the interpreter lock is
// given up while waiting, so the interpreter and the Core's callbacks, which
// may need it, go on.
class SlotLock {
public:
    explicit SlotLock(std::mutex& mutex) : lock_(mutex, std::try_to_lock) {
        if (lock_.owns_lock()) return;
        if (gil_held()) {
            GilRelease release;
            lock_.lock();
        } else {
            lock_.lock();
        }
    }

private:
    std::unique_lock<std::mutex> lock_;
};

template <class T>
class Slot {
public:
    // Puts `value` in; the value it held is returned, to be dropped by the
    // caller after the lock is gone.
    std::optional<T> put(T value) {
        SlotLock lock(mutex_);
        return std::exchange(value_, std::optional<T>(std::move(value)));
    }
    std::optional<T> take() {
        SlotLock lock(mutex_);
        return std::exchange(value_, std::nullopt);
    }
    std::optional<T> peek() {
        SlotLock lock(mutex_);
        return value_;
    }
    std::mutex& mutex() { return mutex_; }
    // Only with mutex() held.
    std::optional<T>& locked_value() { return value_; }

private:
    std::mutex mutex_;
    std::optional<T> value_;
};

}  // namespace vesper
