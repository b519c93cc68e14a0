// The notifier slot of a request's or WebSocket's shared state.
//
// A Notifier tells whoever listens (an asyncio loop) that the state has news.
// The slot is filled and emptied from Python threads and read by Core
// threads, which clone the reference under the slot's own small mutex and
// fire it with no lock held.
#pragma once

#include <memory>
#include <mutex>
#include <utility>

#include "module/python.h"

namespace vesper {

class Notifier {
public:
    virtual ~Notifier() = default;
    // Called on a Core thread with no module lock held.  Raises nothing,
    // but the thread may be ended (unwound) by a finalizing interpreter.
    virtual void fire() = 0;
    // Visits the Python objects it holds, for the garbage collector
    // (interpreter lock held).
    virtual int traverse(visitproc, void*) const { return 0; }
};

class NotifierSlot {
public:
    // Puts `notifier` in; the previous one is released outside the lock.
    void install(std::shared_ptr<Notifier> notifier) {
        std::shared_ptr<Notifier> previous;
        {
            std::lock_guard lock(mutex_);
            previous = std::exchange(notifier_, std::move(notifier));
        }
    }
    void remove() { install(nullptr); }
    bool installed() const {
        std::lock_guard lock(mutex_);
        return notifier_ != nullptr;
    }
    // The collector's view of the installed notifier.  The slot's lock is
    // never held by a thread waiting for the interpreter lock, so taking it
    // here (interpreter lock held) cannot deadlock.
    int traverse(visitproc visit, void* arg) const {
        std::lock_guard lock(mutex_);
        return notifier_ ? notifier_->traverse(visit, arg) : 0;
    }
    // Fires the installed notifier, if any, holding no lock while it runs.
    void fire() {
        std::shared_ptr<Notifier> notifier;
        {
            std::lock_guard lock(mutex_);
            notifier = notifier_;
        }
        if (notifier) notifier->fire();
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<Notifier> notifier_;
};

}  // namespace vesper
