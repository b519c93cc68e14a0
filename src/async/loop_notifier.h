// LoopNotifier: wakes an asyncio loop from a Core thread with
// loop.call_soon_threadsafe(notify), at most once per poll cycle.
#pragma once

#include "async/notifier.h"
#include "async/pending_flag.h"
#include "module/py_ref.h"

namespace vesper {

class LoopNotifier final : public Notifier {
public:
    LoopNotifier(PendingFlagRef flag, PyRef loop, PyRef notify)
        : flag_(std::move(flag)), loop_(std::move(loop)), notify_(std::move(notify)) {}

    // The pending flag coalesces wake-ups: only the event that turns it from
    // false to true takes the interpreter lock and schedules `notify`; the
    // poll that answers clears it before looking at any queue, so no event
    // is lost.  A failure to schedule (a closed loop) is dropped and the
    // flag cleared, so the next event tries again.
    void fire() override;
    int traverse(visitproc visit, void* arg) const override {
        Py_VISIT(loop_.get());
        Py_VISIT(notify_.get());
        return 0;
    }

private:
    PendingFlagRef flag_;
    // Given up on whichever thread drops the last reference; without the
    // interpreter lock they go through the pending-decrement queue.
    PyRef loop_;
    PyRef notify_;
};

// Puts a new notifier for (loop, notify) into `slot`.
void install_notifier(NotifierSlot& slot, const PendingFlagRef& flag, PyObject* loop, PyObject* notify);

}  // namespace vesper
