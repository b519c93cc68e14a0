#include "loop/connection_scheduler.h"

#include <algorithm>

#include "halyard.h"

namespace halyard {

long stream_weight(uint32_t priority, bool with_profile) {
    switch (priority) {
    case HY_PRIORITY_HIGHEST: return 256;
    case HY_PRIORITY_MEDIUM: return 220;
    case HY_PRIORITY_LOW: return 183;
    case HY_PRIORITY_LOWEST: return 147;
    case HY_PRIORITY_IDLE: return 110;
    default: return with_profile ? 256 : 0;
    }
}

int priority_rank(uint32_t priority) {
    switch (priority) {
    case HY_PRIORITY_HIGHEST: return 0;
    case HY_PRIORITY_DEFAULT:
    case HY_PRIORITY_MEDIUM: return 1;
    case HY_PRIORITY_LOW: return 2;
    case HY_PRIORITY_LOWEST: return 3;
    default: return 4;
    }
}

bool ConnectionScheduler::acquire(const std::string& origin, uint32_t priority, uint64_t ticket, Start start,
                                  const SlotLimits& limits) {
    auto [it, added] = origins_.try_emplace(origin);
    Origin& o = it->second;
    if (added) o.limits = limits;
    if (o.waiting.empty() && has_room(o)) {
        take_slot(o);
        return true;
    }
    o.waiting.push_back({priority_rank(priority), sequence_++, ticket, std::move(start)});
    return false;
}

bool ConnectionScheduler::has_room(const Origin& o) const {
    if (!o.multiplexed && o.active >= o.limits.per_host) return false;
    if (o.limits.total <= 0) return true;
    auto it = scope_active_.find(o.limits.scope);
    return it == scope_active_.end() || it->second < o.limits.total;
}

void ConnectionScheduler::take_slot(Origin& o) {
    ++o.active;
    if (o.limits.total > 0) ++scope_active_[o.limits.scope];
}

void ConnectionScheduler::release(const std::string& origin) {
    auto it = origins_.find(origin);
    if (it == origins_.end()) return;
    const SlotLimits limits = it->second.limits;
    if (it->second.active > 0) {
        --it->second.active;
        if (limits.total > 0) {
            auto scope = scope_active_.find(limits.scope);
            if (scope != scope_active_.end() && --scope->second <= 0) scope_active_.erase(scope);
        }
    }
    start_waiting(origin);
    if (limits.total > 0) start_scope(limits.scope);
}

void ConnectionScheduler::start_scope(const std::string& scope) {
    // Names first: a start may add or forget groups.
    std::vector<std::string> names;
    for (const auto& [name, o] : origins_) {
        if (o.limits.total > 0 && o.limits.scope == scope && !o.waiting.empty()) names.push_back(name);
    }
    // The oldest waiter of the scope goes first, whatever its group.
    std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
        auto oldest = [&](const std::string& n) {
            const auto& w = origins_.at(n).waiting;
            return std::min_element(w.begin(), w.end(), [](const Waiter& x, const Waiter& y) {
                       return x.sequence < y.sequence;
                   })->sequence;
        };
        return oldest(a) < oldest(b);
    });
    for (const std::string& name : names) start_waiting(name);
}

void ConnectionScheduler::withdraw(const std::string& origin, uint64_t ticket) {
    auto it = origins_.find(origin);
    if (it == origins_.end()) return;
    auto& waiting = it->second.waiting;
    waiting.erase(std::remove_if(waiting.begin(), waiting.end(), [&](const Waiter& w) { return w.ticket == ticket; }),
                  waiting.end());
    settle(it);
}

void ConnectionScheduler::settle(std::map<std::string, Origin>::iterator it) {
    Origin& o = it->second;
    if (o.active > 0 || !o.waiting.empty()) return;
    if (!o.multiplexed) {
        origins_.erase(it);
        return;
    }
    if (o.listed) return;
    o.listed = true;
    idle_multiplexed_.push_back(it->first);
    while (idle_multiplexed_.size() > kIdleMultiplexedKept) {
        auto old = origins_.find(idle_multiplexed_.front());
        idle_multiplexed_.pop_front();
        if (old == origins_.end()) continue;
        old->second.listed = false;
        // A group busy again stays; it is listed anew when next idle.
        if (old->second.active == 0 && old->second.waiting.empty()) origins_.erase(old);
    }
}

void ConnectionScheduler::mark_multiplexed(const std::string& origin) {
    Origin& o = origins_[origin];
    if (o.multiplexed) return;
    o.multiplexed = true;
    start_waiting(origin);
}

size_t ConnectionScheduler::waiting(const std::string& origin) const {
    auto it = origins_.find(origin);
    return it == origins_.end() ? 0 : it->second.waiting.size();
}

void ConnectionScheduler::start_waiting(const std::string& origin) {
    for (;;) {
        // Looked up again each round: a start may release or acquire.
        auto it = origins_.find(origin);
        if (it == origins_.end()) return;
        Origin& o = it->second;
        if (o.waiting.empty()) {
            settle(it);
            return;
        }
        if (!has_room(o)) return;
        auto next = std::min_element(o.waiting.begin(), o.waiting.end(), [](const Waiter& a, const Waiter& b) {
            return a.rank != b.rank ? a.rank < b.rank : a.sequence < b.sequence;
        });
        Start start = std::move(next->start);
        o.waiting.erase(next);
        take_slot(o);
        start();
    }
}

}  // namespace halyard
