// The deadlines of one request's phases (hy_request_set_timeouts): the
// whole request (total), waiting for a connection slot (pool), connecting
// (TCP, proxy and TLS: until the request can be sent), sending the body
// with no byte taken by the connection (write) and receiving with no byte
// coming in (read).  The network thread tells it what the transfer does;
// the loop asks for the earliest deadline and, once it passed, which phase
// ran out.  Network thread only.
#pragma once

#include <cstdint>
#include <optional>

#include "halyard.h"
#include "loop/clock.h"

namespace halyard {

// The phase limits in milliseconds; 0: none.
struct PhaseLimits {
    uint64_t connect_ms = 0;
    uint64_t read_ms = 0;
    uint64_t write_ms = 0;
    uint64_t pool_ms = 0;
};

class PhaseDeadlines {
public:
    void set_limits(const PhaseLimits& limits) { limits_ = limits; }
    const PhaseLimits& limits() const { return limits_; }
    // Whether the transfer needs to report its progress (connected, bytes
    // sent): a connect, read or write limit is set.
    bool watches_transfer() const { return limits_.connect_ms || limits_.read_ms || limits_.write_ms; }

    // The request starts: the total runs from now.
    void start(uint64_t total_ms, Clock::time_point now);
    // The hop waits for a connection slot / got one and starts its transfer.
    void queued(Clock::time_point now);
    void transfer_started(Clock::time_point now);
    // The connection stands (new or reused): a body to send puts the
    // request in the write phase, else in the read phase.
    void connected(bool sends_body, Clock::time_point now);
    // Response bytes came in (head or body): connected, and in the read
    // phase from now on (a server may answer before the body is in).
    void received(Clock::time_point now);
    // Body bytes were taken by the connection; `all_sent`: the body is out,
    // the read phase begins.
    void sent(bool all_sent, Clock::time_point now);
    // The caller holds the transfer: it paused reading, or a streamed body
    // waits for the caller's next piece.  Neither phase runs meanwhile.
    void hold_read(bool held, Clock::time_point now);
    void hold_write(bool held, Clock::time_point now);
    // The hop ended (a redirect waits for the caller, a cached answer is
    // replayed): only the total still runs.
    void hop_ended();

    // The earliest deadline, if any.
    std::optional<Clock::time_point> next() const;
    // The phase (HY_TIMEOUT_PHASE_*) whose deadline passed first by `now`,
    // HY_TIMEOUT_PHASE_NONE when none did.
    uint32_t expired(Clock::time_point now) const;

private:
    enum class Stage { Idle, Pool, Connect, Write, Read };
    void arm(Stage stage, Clock::time_point now);

    PhaseLimits limits_;
    std::optional<Clock::time_point> total_;
    Stage stage_ = Stage::Idle;
    std::optional<Clock::time_point> phase_;   // the current stage's deadline
    bool read_held_ = false;
    bool write_held_ = false;
};

}  // namespace halyard
