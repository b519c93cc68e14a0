// The Core's clocks: request and WebSocket deadlines and the network
// loop's waits are measured on the steady one; cookie expiry and cache
// freshness on the wall clock, in seconds (`now_seconds`).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace halyard {

using Clock = std::chrono::steady_clock;

// Timeouts above a century are no timeout: added to the clock's time
// they could overflow it.
inline constexpr uint64_t kMaxTimeoutMs = 100ull * 365 * 24 * 3600 * 1000;

// When a timeout of `timeout_ms` started at `now` runs out; nothing for 0
// (no timeout) and for one too large to represent.
inline std::optional<Clock::time_point> deadline_after(uint64_t timeout_ms, Clock::time_point now = Clock::now()) {
    if (timeout_ms == 0 || timeout_ms >= kMaxTimeoutMs) return std::nullopt;
    return now + std::chrono::milliseconds(timeout_ms);
}

// The steady clock in nanoseconds, for times kept in atomics.
inline int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// Seconds since the epoch, as cookie expiry and HTTP dates count them.
inline int64_t now_seconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace halyard
