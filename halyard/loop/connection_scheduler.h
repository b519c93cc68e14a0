// Request priorities: the HTTP/2 stream weight of each priority and the
// per-host connection limit, with waiting requests started in priority
// order.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace halyard {

// Browsers open at most this many connections to one host.
constexpr int kConnectionsPerHost = 6;

// Chromium's HTTP/2 weight of a priority: highest 256, medium 220, low
// 183, lowest 147, idle 110.  "default" is a top-level navigation's
// (highest, 256) with a profile and 0 (curl's own default) without.
long stream_weight(uint32_t priority, bool with_profile);

// Queue order: highest first, default counted as medium, FIFO within one.
int priority_rank(uint32_t priority);

// Admission of transfers per origin, on the network thread.  An origin
// whose server speaks HTTP/2 multiplexes every request on one connection
// and is not limited; any other runs at most kConnectionsPerHost
// transfers at once, the rest wait.
class ConnectionScheduler {
public:
    using Start = std::function<void()>;

    // True when a transfer to `origin` may start now (it holds a slot
    // until release).  Otherwise the request waits and `start` is called
    // once a slot is its; `ticket` names it for withdraw().
    bool acquire(const std::string& origin, uint32_t priority, uint64_t ticket, Start start);
    void release(const std::string& origin);
    // A waiting request that ended (cancel, timeout) leaves the queue.
    void withdraw(const std::string& origin, uint64_t ticket);
    // The origin answered over HTTP/2: its waiting requests start.
    void mark_multiplexed(const std::string& origin);

    size_t waiting(const std::string& origin) const;

private:
    struct Waiter {
        int rank;
        uint64_t sequence;
        uint64_t ticket;
        Start start;
    };
    struct Origin {
        int active = 0;
        bool multiplexed = false;
        std::vector<Waiter> waiting;
    };
    bool has_room(const Origin& o) const { return o.multiplexed || o.active < kConnectionsPerHost; }
    void start_waiting(const std::string& origin);

    std::map<std::string, Origin> origins_;
    uint64_t sequence_ = 0;
};

}  // namespace halyard
