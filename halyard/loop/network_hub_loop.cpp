// Loop-driven engines: an event loop's thread (asyncio's) runs the hub's
// loop in nonblocking rounds.  It watches one descriptor, an epoll set
// holding an eventfd (a command was queued, another runner handed the loop
// back) and the sockets curl and the WebSockets want, each one-shot so
// that a socket another runner is serving cannot make the loop spin (and
// armed again by each round that ran curl); and
// it comes back by the deadline each round answers.  The network thread
// stays asleep meanwhile, looking every 50 ms whether the loop is late (a
// busy or closed event loop) and stepping in only then.
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "loop/network_hub.h"
#include "websocket/websocket.h"

namespace halyard {
namespace {

uint32_t epoll_events_for(short wanted) {
    uint32_t events = EPOLLONESHOT;
    if (wanted & CURL_WAIT_POLLIN) events |= EPOLLIN;
    if (wanted & CURL_WAIT_POLLOUT) events |= EPOLLOUT;
    if (wanted & CURL_WAIT_POLLPRI) events |= EPOLLPRI;
    return events;
}

// Adds or changes one socket in the set; a stale entry of a closed socket
// whose number came back is replaced.
void watch(int epoll, int fd, uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    if (epoll_ctl(epoll, EPOLL_CTL_MOD, fd, &event) == 0) return;
    if (errno == ENOENT) epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
}

}  // namespace

uint32_t NetworkHub::loop_attach(int32_t* fd) {
    if (runner_here() != nullptr) return HY_INVALID_STATE;
    std::lock_guard lock(loop_mutex_);
    const std::thread::id me = std::this_thread::get_id();
    if (loop_attachments_ > 0 && loop_thread_ != me) return HY_INVALID_STATE;
    if (loop_epoll_.load() < 0) {
        const int epoll = epoll_create1(EPOLL_CLOEXEC);
        const int event = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        epoll_event wake{};
        wake.events = EPOLLIN;
        wake.data.fd = event;
        if (epoll < 0 || event < 0 || epoll_ctl(epoll, EPOLL_CTL_ADD, event, &wake) != 0) {
            if (epoll >= 0) ::close(epoll);
            if (event >= 0) ::close(event);
            return HY_OUT_OF_MEMORY;
        }
        loop_event_ = event;
        loop_epoll_.store(epoll);
    }
    if (loop_attachments_++ == 0) {
        loop_thread_ = me;
        loop_last_ns_.store(now_ns());
        loop_due_ns_.store(now_ns());
        loop_attached_.store(true);
        // The first round picks up whatever is queued or running.
        loop_has_work_.store(true);
        signal_loop();
        // The network thread, asleep without a timeout, starts looking
        // (woken without a kick: it does not take the loop for this).
        {
            std::lock_guard kick_lock(kick_mutex_);
        }
        kick_cv_.notify_one();
    }
    *fd = loop_epoll_.load();
    return HY_OK;
}

uint32_t NetworkHub::loop_detach() {
    {
        std::lock_guard lock(loop_mutex_);
        if (loop_attachments_ == 0) return HY_INVALID_STATE;
        if (--loop_attachments_ > 0) return HY_OK;
        loop_attached_.store(false);
        loop_wants_.store(false);
    }
    // The network thread takes the work left, if any.
    kick();
    return HY_OK;
}

void NetworkHub::signal_loop() {
    const uint64_t one = 1;
    // A full counter (never in practice) is readable anyway.
    [[maybe_unused]] const ssize_t written = ::write(loop_event_, &one, sizeof one);
}

bool NetworkHub::loop_late() {
    const int64_t now = now_ns();
    const int64_t last = loop_last_ns_.load();
    // A round since the last look settles what was owed then.
    if (last != loop_seen_last_ns_) {
        loop_seen_last_ns_ = last;
        loop_owed_since_ns_ = 0;
    }
    if (!loop_attached_.load() || !loop_has_work_.load()) return false;
    pollfd ready{loop_epoll_.load(), POLLIN, 0};
    const bool owed = now >= loop_due_ns_.load() || ::poll(&ready, 1, 0) > 0;
    if (!owed) {
        loop_owed_since_ns_ = 0;
        return false;
    }
    // Owed since an earlier look, with no round in between: late.
    if (loop_owed_since_ns_ == 0) {
        loop_owed_since_ns_ = now;
        return false;
    }
    return now - loop_owed_since_ns_ >= std::chrono::nanoseconds(kLoopGrace).count();
}

void NetworkHub::consume_loop_events() {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(loop_event_, &count, sizeof count);
    // Taking the reports off the set's ready list disarms the one-shot
    // sockets among them until the next round watches them again.
    epoll_event events[64];
    while (epoll_wait(loop_epoll_.load(), events, 64, 0) == 64) {
    }
}

uint32_t NetworkHub::loop_drive(int64_t* next_ms) {
    if (runner_here() != nullptr) return HY_INVALID_STATE;
    if (!loop_attached_.load()) return HY_INVALID_STATE;
    {
        std::lock_guard lock(loop_mutex_);
        if (loop_thread_ != std::this_thread::get_id()) return HY_INVALID_STATE;
    }
    loop_last_ns_.store(now_ns());
    {
        std::lock_guard lock(drive_mutex_);
        if (runner_.load() != kNobody) {
            // Another thread runs the loop: it hands it back (the
            // descriptor turns readable when it leaves).  The reported
            // sockets are taken off the set's ready list meanwhile, so
            // that they do not keep the event loop spinning.
            loop_wants_.store(true);
            if (runner_.load() == kNetworkThread && sleeping_.load()) curl_multi_wakeup(multi_);
            consume_loop_events();
            loop_has_work_.store(true);
            *next_ms = std::chrono::milliseconds(kLoopGrace).count();
            loop_due_ns_.store(now_ns() + std::chrono::nanoseconds(kLoopGrace).count());
            return HY_OK;
        }
        runner_.store(kCaller);
        left_at_ns_.store(0);
    }
    loop_wants_.store(false);
    consume_loop_events();
    enter_loop_thread();
    std::vector<Command> batch;
    take_batch(batch, false);
    run_round_contained(batch);
    // A transfer that moved a buffer's worth and can move more at once
    // (an upload's socket still writable, a download's still readable)
    // gets a few more rounds here rather than one event loop turn each.
    for (int extra = 0; extra < kLoopExtraRounds && has_work() && curl_sockets_ready(); ++extra) {
        take_batch(batch, false);
        run_round_contained(batch);
    }
    // The WebSockets whose sockets are ready are served by the poll, which
    // does not wait here (curl's own sockets were read by the perform).
    if (!websockets_.empty()) contain([&] { poll(0); }, [](Fault) {});
    wake_followers();
    watch_loop_sockets();
    int64_t next = loop_next_ms();
    batch.clear();
    leave_loop_thread();
    if (leave_loop_for_event_loop()) next = 0;
    *next_ms = next;
    loop_due_ns_.store(now_ns() + next * 1'000'000);
    return HY_OK;
}

bool NetworkHub::leave_loop_for_event_loop() {
    std::unique_lock lock(drive_mutex_);
    loop_has_work_.store(has_work());
    wake_followers_locked();
    // A waiting caller runs the loop from here on; it hands it back
    // through the descriptor when it leaves.
    if (hand_to_oldest_follower_locked()) return false;
    runner_.store(kNobody);
    // Read after runner_ is cleared: a poster that saw a runner skipped
    // its wake-up, so the event loop comes back at once.
    if (commands_pending_.load()) {
        loop_has_work_.store(true);
        return true;
    }
    return false;
}

bool NetworkHub::curl_sockets_ready() {
    int ready = 0;
    return curl_multi_wait(multi_, nullptr, 0, 0, &ready) == CURLM_OK && ready > 0;
}

void NetworkHub::watch_loop_sockets() {
    const int epoll = loop_epoll_.load();
    std::unordered_map<int, uint32_t> wanted;
    wanted.reserve(loop_watched_.size() + 4);
#if LIBCURL_VERSION_NUM >= 0x080800
    curl_waitfd fds[64];
    unsigned count = 0;
    if (curl_multi_waitfds(multi_, fds, 64, &count) == CURLM_OK && count <= 64) {
        for (unsigned i = 0; i < count; ++i) wanted[fds[i].fd] |= epoll_events_for(fds[i].events);
    } else {
        std::vector<curl_waitfd> more(count);
        if (curl_multi_waitfds(multi_, more.data(), count, &count) == CURLM_OK) {
            for (unsigned i = 0; i < count && i < more.size(); ++i)
                wanted[more[i].fd] |= epoll_events_for(more[i].events);
        }
    }
#else
    fd_set read_set, write_set, except_set;
    FD_ZERO(&read_set);
    FD_ZERO(&write_set);
    FD_ZERO(&except_set);
    int max_fd = -1;
    if (curl_multi_fdset(multi_, &read_set, &write_set, &except_set, &max_fd) == CURLM_OK) {
        for (int fd = 0; fd <= max_fd; ++fd) {
            short events = 0;
            if (FD_ISSET(fd, &read_set)) events |= CURL_WAIT_POLLIN;
            if (FD_ISSET(fd, &write_set)) events |= CURL_WAIT_POLLOUT;
            if (events != 0) wanted[fd] |= epoll_events_for(events);
        }
    }
#endif
    for (auto& [key, socket] : websockets_) {
        const short events = socket->wanted_events();
        if (events != 0) wanted[socket->socket()] |= epoll_events_for(events);
    }
    // Whatever left the set is dropped; a closed socket left it already.
    for (auto& [fd, events] : loop_watched_) {
        if (!wanted.contains(fd)) epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr);
    }
    // Every wanted socket is armed again, also one that looks unchanged:
    // it may have fired (one-shot), or be a new socket under the number of
    // one curl closed, which left the set with it.
    for (auto& [fd, events] : wanted) watch(epoll, fd, events);
    loop_watched_.swap(wanted);
}

int64_t NetworkHub::loop_next_ms() {
    if (commands_pending_.load()) return 0;
    int64_t next = wait_ms();
    long curl_ms = -1;
    if (curl_multi_timeout(multi_, &curl_ms) == CURLM_OK && curl_ms >= 0) next = std::min<int64_t>(next, curl_ms);
    if (quic_multi_ != nullptr) {
        // Its sockets are not in the set: its timers, and a short look.
        long quic_ms = -1;
        if (quic_curl()->multi_timeout(quic_multi_, &quic_ms) == CURLM_OK && quic_ms >= 0)
            next = std::min<int64_t>(next, quic_ms);
        next = std::min<int64_t>(next, 10);
    }
    for (auto& [key, socket] : websockets_) {
        if (socket->has_ready_work()) return 0;
    }
    return std::max<int64_t>(next, 0);
}

}  // namespace halyard
