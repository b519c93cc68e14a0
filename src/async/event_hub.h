// EventHub: one wake-up per poll cycle for every request and WebSocket of
// one asyncio loop.
//
// Core threads record into each object's state as before; the object's
// notifier (a HubNotifier) then puts the object on the hub's ready queue
// and sets one hub-wide pending flag.  Only the false->true transition of
// that flag takes the interpreter lock, to schedule
// loop.call_soon_threadsafe(notify); a poll clears the flag before looking
// at any object, so no event is lost and a burst over many objects costs
// one call.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "async/notifier.h"
#include "module/failure.h"
#include "module/py_ref.h"

namespace vesper {

class EventHub;
struct HubMember;

// The hub membership of one PyRequest or PyWebSocket (empty when none).
class HubLink {
public:
    void set(std::shared_ptr<HubMember> member) {
        std::shared_ptr<HubMember> previous;
        std::lock_guard lock(mutex_);
        previous = std::exchange(member_, std::move(member));
    }
    std::shared_ptr<HubMember> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(member_, nullptr);
    }
    std::shared_ptr<HubMember> get() const {
        std::lock_guard lock(mutex_);
        return member_;
    }
    bool attached() const {
        std::lock_guard lock(mutex_);
        return member_ != nullptr;
    }
    // Clears the link if it still names `member`.
    void clear_if(const HubMember* member) {
        std::shared_ptr<HubMember> dropped;
        std::lock_guard lock(mutex_);
        if (member_.get() == member) dropped = std::exchange(member_, nullptr);
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<HubMember> member_;
};

struct HubMember {
    enum class Kind { Request, WebSocket };

    Kind kind = Kind::Request;
    // The attached object, kept alive while attached: `notifier` and `link`
    // live in it.
    PyRef object;
    PyRef tag;
    NotifierSlot* notifier = nullptr;
    HubLink* link = nullptr;
    std::weak_ptr<EventHub> hub;
    // Guarded by the hub's mutex.
    bool queued = false;
    bool attached = true;
};

class EventHub {
public:
    EventHub(PyRef loop, PyRef notify) : loop_(std::move(loop)), notify_(std::move(notify)) {}
    EventHub(const EventHub&) = delete;
    EventHub& operator=(const EventHub&) = delete;

    // The hub this thread polls itself right after the Core call it is in
    // (a loop-driven round, PyEngine.loop_drive): events recorded there
    // schedule no wake-up.  Null elsewhere.
    static EventHub*& draining_here();

    // ---- Core threads (no lock held) ----
    // Puts `member` on the ready queue (once) and schedules `notify` if no
    // wake-up is pending.
    void mark_ready(const std::shared_ptr<HubMember>& member);

    // ---- Python threads ----
    // False when the hub is closed.
    bool add(const std::shared_ptr<HubMember>& member);
    // Takes `member` off the hub (it is dropped after the lock is gone).
    void remove(const std::shared_ptr<HubMember>& member);
    // The oldest ready member still attached, taken off the queue.
    std::shared_ptr<HubMember> next_ready();
    // Back to the front: a poll ran out of room before the member ran dry.
    void requeue_front(const std::shared_ptr<HubMember>& member);
    void clear_pending() { pending_.store(false, std::memory_order_release); }
    // Closes the hub and hands every member out to be unhooked.
    std::vector<std::shared_ptr<HubMember>> close();
    // With the interpreter lock held: the loop and notify are let go.
    void drop_loop();
    size_t attached_count() const;
    bool closed() const { return closed_.load(std::memory_order_acquire); }

private:
    void schedule();

    mutable std::mutex mutex_;
    std::deque<std::shared_ptr<HubMember>> ready_;
    std::unordered_map<const HubMember*, std::shared_ptr<HubMember>> members_;
    std::atomic<bool> pending_{false};
    std::atomic<bool> closed_{false};
    // Read by Core threads with the interpreter lock held, cleared by
    // drop_loop with it held too.
    PyRef loop_;
    PyRef notify_;
};

// Names `hub` as polled by this thread after the call in its scope.
class DrainingScope {
public:
    explicit DrainingScope(EventHub* hub) : previous_(std::exchange(EventHub::draining_here(), hub)) {}
    ~DrainingScope() { EventHub::draining_here() = previous_; }
    DrainingScope(const DrainingScope&) = delete;
    DrainingScope& operator=(const DrainingScope&) = delete;

private:
    EventHub* previous_;
};

// The notifier a hub member installs in its object's state.
class HubNotifier final : public Notifier {
public:
    explicit HubNotifier(std::shared_ptr<HubMember> member) : member_(std::move(member)) {}
    void fire() override;

private:
    std::shared_ptr<HubMember> member_;
};

// Attaches (object, tag) to `hub`: a new member, linked from `link`, whose
// notifier goes into `slot`.  Any earlier membership of the object ends.
Status attach_to_hub(const std::shared_ptr<EventHub>& hub, HubMember::Kind kind, PyObject* object, PyObject* tag,
                     NotifierSlot& slot, HubLink& link);
// Ends a membership: off the hub, notifier removed, link cleared.
void detach_member(const std::shared_ptr<HubMember>& member);
// Ends the membership `link` names, if any.
inline void detach_link(HubLink& link) {
    if (std::shared_ptr<HubMember> member = link.take()) detach_member(member);
}

}  // namespace vesper
