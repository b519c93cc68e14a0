// Request priorities: the HTTP/2 stream weight of each priority and the
// per-host connection limit, with waiting requests started in priority
// order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
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

// Idle origins known to speak HTTP/2 that are remembered, at most.
constexpr size_t kIdleMultiplexedKept = 64;

// Admission of transfers per connection group, on the network thread.  A
// group is an origin together with everything a connection to it is made
// with (proxy, TLS trust and profile, HTTP version: see
// Engine::connection_group), since only transfers that could share a
// connection may count as one host.  A group whose server speaks HTTP/2
// multiplexes every request on one connection and is not limited; any
// other runs at most kConnectionsPerHost transfers at once, the rest wait.
// A group without transfers is forgotten, except that the last
// kIdleMultiplexedKept idle HTTP/2 groups stay known.
// The limits a group's transfers are admitted under (an engine's options).
struct SlotLimits {
    int per_host = kConnectionsPerHost;
    // Transfers at once over every origin of `scope`; 0: no such limit.
    int total = 0;
    std::string scope;
};

class ConnectionScheduler {
public:
    using Start = std::function<void()>;

    // True when a transfer to `origin` may start now (it holds a slot
    // until release).  Otherwise the request waits and `start` is called
    // once a slot is its; `ticket` names it for withdraw().  The limits are
    // those the group was first seen with (they are part of its name).
    bool acquire(const std::string& origin, uint32_t priority, uint64_t ticket, Start start,
                 const SlotLimits& limits = SlotLimits{});
    void release(const std::string& origin);
    // A waiting request that ended (cancel, timeout) leaves the queue.
    void withdraw(const std::string& origin, uint64_t ticket);
    // The origin answered over HTTP/2: its waiting requests start.
    void mark_multiplexed(const std::string& origin);

    size_t waiting(const std::string& origin) const;
    // Groups held in memory (busy ones and the idle HTTP/2 ones kept).
    size_t tracked() const { return origins_.size(); }

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
        bool listed = false;   // named in idle_multiplexed_
        std::vector<Waiter> waiting;
        SlotLimits limits;
    };
    bool has_room(const Origin& o) const;
    void take_slot(Origin& o);
    void start_waiting(const std::string& origin);
    // After a slot of a scope with an overall limit came free: the
    // scope's other groups may start theirs.
    void start_scope(const std::string& scope);
    // Forgets an idle group, or keeps it among the idle HTTP/2 ones.
    void settle(std::map<std::string, Origin>::iterator it);

    std::map<std::string, Origin> origins_;
    std::deque<std::string> idle_multiplexed_;   // oldest first; may name groups busy again
    // Running transfers per scope with an overall limit.
    std::map<std::string, int> scope_active_;
    uint64_t sequence_ = 0;
};

}  // namespace halyard
