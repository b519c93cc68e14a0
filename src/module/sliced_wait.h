// Interruptible waits: the interpreter lock is given up in slices of at
// most kWaitSliceMs and taken back between them to run signal handlers, so
// Ctrl-C ends a wait promptly with KeyboardInterrupt.
#pragma once

#include <array>

#include <chrono>
#include <optional>

#include "module/args.h"
#include "module/convert.h"
#include "module/gil.h"

namespace vesper {

inline constexpr uint64_t kWaitSliceMs = 50;

// The module's clock for the ends of waits.
using Clock = std::chrono::steady_clock;

// The end of a wait given an optional timeout (none: no end).
class WaitDeadline {
public:
    explicit WaitDeadline(const std::optional<Duration>& timeout) {
        if (!timeout) return;
        const Clock::time_point now = Clock::now();
        // A deadline past what the clock holds is no deadline at all.
        const auto room = std::chrono::duration_cast<std::chrono::seconds>(Clock::time_point::max() - now).count();
        if (timeout->secs >= static_cast<uint64_t>(room) - 1) return;
        end_ = now + std::chrono::seconds(timeout->secs) + std::chrono::nanoseconds(timeout->nanos);
    }

    // The next slice in milliseconds: 0 once the deadline passed.
    uint64_t slice() const {
        if (!end_) return kWaitSliceMs;
        const Clock::time_point now = Clock::now();
        if (now >= *end_) return 0;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*end_ - now).count();
        return std::min<uint64_t>(static_cast<uint64_t>(left), kWaitSliceMs);
    }
    bool passed() const { return end_ && Clock::now() >= *end_; }

private:
    std::optional<Clock::time_point> end_;
};

// Runs `step(ms)` with the interpreter lock given up until it answers true
// (done) or the deadline passes (false).  `step` waits at most `ms` (0: it
// only looks, and is first called so with the interpreter lock held, which
// then is not given up at all when what is waited for is there).  A signal
// handler that raises ends the wait with its exception.  Called with the
// interpreter lock held.
template <class Step>
Result<bool> wait_in_slices(const WaitDeadline& deadline, Step&& step) {
    if (step(0)) return true;
    for (;;) {
        const uint64_t slice = deadline.slice();
        bool done;
        {
            GilRelease release;
            done = step(slice);
        }
        if (done) return true;
        if (PyErr_CheckSignals() < 0) return Failure::fetch();
        if (slice == 0 || deadline.passed()) return false;
    }
}

// The timeout argument `i` of an interruptible wait: None or absent means
// no limit.
inline Result<std::optional<Duration>> optional_timeout(const Args& args, size_t i) {
    std::optional<double> seconds;
    if (args.given(i)) {
        TRY_ASSIGN(seconds, args.convert(i, to_seconds));
    }
    return check_timeout(seconds);
}

// The phase limits in arguments 0 .. N-1 (seconds or None) as the
// milliseconds of a Core timeouts record: 0 is no limit, and a limit under
// a millisecond stays a limit (1 ms), never "none".
template <size_t N>
Result<std::array<uint64_t, N>> phase_limits_ms(const Args& args) {
    std::array<uint64_t, N> ms{};
    for (size_t i = 0; i < N; ++i) {
        TRY_ASSIGN(std::optional<Duration> limit, optional_timeout(args, i));
        if (limit) ms[i] = limit->wait_millis();
    }
    return ms;
}

}  // namespace vesper
