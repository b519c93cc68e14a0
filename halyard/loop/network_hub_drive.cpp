// Caller-driven waits: a thread about to sleep until a request or a
// WebSocket of this hub makes progress runs the hub's loop itself, so the
// start, the answer and the callbacks cost no thread crossing.  One thread
// runs the loop at a time (leader/follower): the network thread when no
// caller does and a transfer needs progress, else the caller that took it;
// other callers wait as followers, each woken by the runner once its own
// condition holds, or handed the loop when the runner leaves.
#include <algorithm>
#include <thread>

#include "api/contain.h"
#include "loop/network_hub.h"

namespace halyard {

// One waiting caller; lives on its own stack, listed in followers_ while
// it waits (both under drive_mutex_).
struct NetworkHub::Follower {
    Follower(hy_wait_condition until_, void* context_) : until(until_), context(context_) {}
    hy_wait_condition until;
    void* context;
    std::condition_variable cv;
    bool woken = false;   // its condition held, or it was handed the loop
    bool handed = false;  // it runs the loop now
};

bool NetworkHub::take_loop(Runner who) {
    std::lock_guard lock(drive_mutex_);
    if (runner_.load() != kNobody) return false;
    runner_.store(who);
    left_at_ns_.store(0);
    return true;
}

void NetworkHub::wake_followers() {
    if (follower_count_.load() == 0) return;
    std::lock_guard lock(drive_mutex_);
    wake_followers_locked();
}

void NetworkHub::wake_followers_locked() {
    auto still = followers_.begin();
    for (Follower* follower : followers_) {
        if (follower->until(follower->context) != 0) {
            follower->woken = true;
            follower->cv.notify_one();
        } else {
            *still++ = follower;
        }
    }
    followers_.erase(still, followers_.end());
    follower_count_.store(followers_.size());
}

bool NetworkHub::hand_to_oldest_follower_locked() {
    if (followers_.empty()) return false;
    // The oldest caller still waiting runs the loop from here on.
    Follower* next = followers_.front();
    followers_.erase(followers_.begin());
    follower_count_.store(followers_.size());
    next->woken = true;
    next->handed = true;
    runner_.store(kCaller);
    next->cv.notify_one();
    return true;
}

bool NetworkHub::leave_loop(Runner who) {
    std::unique_lock lock(drive_mutex_);
    // Still the loop's runner here: nobody else reads active_ meanwhile.
    const bool work_left = has_work();
    wake_followers_locked();
    if (hand_to_oldest_follower_locked()) return false;
    runner_.store(kNobody);
    // Read after runner_ is cleared: a poster that saw a runner skipped
    // the network thread's wake-up.
    const bool pending = commands_pending_.load();
    lock.unlock();
    if (!work_left && !pending) {
        loop_has_work_.store(false);
        return false;
    }
    if (loop_attached_.load()) {
        // An attached event loop takes the work on: it drives next.
        loop_wants_.store(false);
        loop_has_work_.store(true);
        signal_loop();
        return false;
    }
    if (who == kNetworkThread) return true;
    // A command still needs the loop: the network thread runs it now.
    if (pending) {
        kick();
        return false;
    }
    // A transfer still needs the loop (this caller's own, or another's):
    // the network thread goes on with it unless a caller comes back first.
    leave_in_grace();
    return false;
}

void NetworkHub::leave_in_grace() {
    const int64_t now = now_ns();
    left_at_ns_.store(now);
    last_left_ns_.store(now);
    std::lock_guard lock(kick_mutex_);
    if (watching_) {
        // The thread looks by itself soon enough; else it is told to look
        // after the grace, so what was left waits at most about twice it.
        if (watch_until_ns_ - now <= 2 * std::chrono::nanoseconds(kCallerGrace).count()) return;
        watch_again_ = true;
    }
    watching_ = true;
    kick_cv_.notify_one();
}

bool NetworkHub::loop_left_alone_locked(std::chrono::milliseconds& wait) {
    if (runner_.load() != kNobody) {
        // A caller runs the loop: it may leave it any time.  While callers
        // come and go the next look is within twice the grace, so their
        // leaving wakes nobody; a caller that keeps the loop (a long wait)
        // is looked at less and less often, up to kCallerWatch apart.
        const auto since_left = std::chrono::nanoseconds(now_ns() - last_left_ns_.load());
        wait = since_left < wait ? 2 * kCallerGrace : std::min(2 * wait, kCallerWatch);
        return false;
    }
    const int64_t left = left_at_ns_.load();
    if (left == 0) {
        // Taken and given up since without work left: nothing to watch.
        watching_ = false;
        return false;
    }
    const auto alone = std::chrono::nanoseconds(now_ns() - left);
    if (alone >= kCallerGrace) {
        watching_ = false;
        return true;
    }
    wait = std::chrono::ceil<std::chrono::milliseconds>(kCallerGrace - alone);
    return false;
}

bool NetworkHub::sleep_until_kicked() {
    std::unique_lock lock(kick_mutex_);
    bool late = false;
    std::chrono::milliseconds watch = kCallerGrace;
    while (!kicked_) {
        if (!loop_attached_.load()) {
            if (!watching_) {
                kick_cv_.wait(lock);
                watch = kCallerGrace;
                continue;
            }
            // A caller left the loop with work: taken over once left alone.
            watch_until_ns_ = now_ns() + std::chrono::nanoseconds(watch).count();
            const bool timed_out = kick_cv_.wait_for(lock, watch) == std::cv_status::timeout;
            if (kicked_) break;
            if (watch_again_) {
                // A caller left while this thread's next look was far off.
                watch_again_ = false;
                watch = kCallerGrace;
                continue;
            }
            if (timed_out && loop_left_alone_locked(watch)) break;
            continue;
        }
        // An attached event loop runs the transfers; this thread looks
        // every so often whether it is late, and steps in when it is.
        if (kick_cv_.wait_for(lock, kLoopWatch) == std::cv_status::timeout && !kicked_) {
            lock.unlock();
            late = loop_late();
            lock.lock();
            if (late) break;
        }
    }
    kicked_ = false;
    // Running the loop from here on (or looking whether it must): a later
    // grace starts a new watch.
    watching_ = false;
    watch_again_ = false;
    return late;
}

void NetworkHub::hand_idle() {
    if (loop_attached_.load()) {
        loop_has_work_.store(true);
        signal_loop();
        return;
    }
    kick();
}

void NetworkHub::kick() {
    {
        std::lock_guard lock(kick_mutex_);
        kicked_ = true;
    }
    kick_cv_.notify_one();
}

uint32_t NetworkHub::drive(std::chrono::milliseconds timeout, hy_wait_condition until, void* context) {
    // A callback (on the network thread or a driving caller) would wait for
    // the loop it is part of.
    if (runner_here() != nullptr) return HY_INVALID_STATE;
    const Clock::time_point deadline = Clock::now() + timeout;
    {
        std::unique_lock lock(drive_mutex_);
        if (until(context) != 0) return HY_OK;
        if (runner_.load() != kNobody) {
            Follower me(until, context);
            followers_.push_back(&me);
            follower_count_.store(followers_.size());
            // The network thread asleep in poll hands the loop over after
            // its round: woken now, it does so at once (a caller coming
            // back between two slices of its wait finds it there).
            if (runner_.load() == kNetworkThread && sleeping_.load()) curl_multi_wakeup(multi_);
            me.cv.wait_until(lock, deadline, [&] { return me.woken; });
            if (!me.woken) {
                followers_.erase(std::find(followers_.begin(), followers_.end(), &me));
                follower_count_.store(followers_.size());
                return HY_OK;
            }
            if (!me.handed) return HY_OK;
            // Handed the loop: runner_ already names a caller.
        } else {
            runner_.store(kCaller);
            left_at_ns_.store(0);
        }
    }
    drive_rounds(deadline, until, context);
    leave_loop(kCaller);
    return HY_OK;
}

void NetworkHub::drive_rounds(Clock::time_point deadline, hy_wait_condition until, void* context) {
    enter_loop_thread();
    std::vector<Command> batch;
    for (;;) {
        take_batch(batch, false);
        run_round_contained(batch);
        wake_followers();
        if (until(context) != 0) break;
        const Clock::time_point now = Clock::now();
        if (now >= deadline) break;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        const int wait = std::min<int>(wait_ms(), static_cast<int>(std::min<long long>(left, 1000)));
        contain([&] { idle_wait(wait); }, [&](Fault) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
    }
    // Commands taken but not run cannot remain: run_round_contained ran
    // every one.  Requests dropped by the batch are released here.
    batch.clear();
    leave_loop_thread();
}

}  // namespace halyard
