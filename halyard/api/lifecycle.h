// The create, start, cancel and release rules a request and a WebSocket
// share.  The hy_*_start, hy_*_cancel and hy_*_release calls of both come
// from any thread and only decide here whether the network thread has a
// step to run.
#pragma once

#include <atomic>
#include <memory>

namespace halyard {

class Lifecycle {
public:
    // The module's handle is one reference to the object, taken at
    // creation and given up by release; the caller keeps what release
    // returns until its call ends, so the object outlives the call.
    void hold_handle(std::shared_ptr<void> self) { handle_ref_ = std::move(self); }
    [[nodiscard]] std::shared_ptr<void> release_handle() { return std::move(handle_ref_); }

    // Started at most once: false after a start and after a cancel that
    // came before any start.
    bool start() {
        int expected = NotStarted;
        return state_.compare_exchange_strong(expected, Started);
    }

    // A cancel before start leaves nothing to run and refuses a later
    // start; true when a started, unfinished object must be ended on the
    // network thread.
    bool cancel() {
        int expected = NotStarted;
        if (state_.compare_exchange_strong(expected, CanceledBeforeStart)) return false;
        return expected == Started && !finished();
    }

    // Whether a release must end the object on the network thread.
    bool running() const { return started() && !finished(); }

    bool started() const { return state_.load() == Started; }
    // Neither started nor cancelled: settings may still change.
    bool unstarted() const { return state_.load() == NotStarted; }
    bool finished() const { return finished_.load(); }
    // Network thread: the terminal callback is about to go out.
    void finish() { finished_.store(true); }

private:
    enum State : int { NotStarted = 0, Started = 1, CanceledBeforeStart = 2 };
    std::atomic<int> state_{NotStarted};
    std::atomic<bool> finished_{false};
    std::shared_ptr<void> handle_ref_;   // touched by create and release only
};

}  // namespace halyard
