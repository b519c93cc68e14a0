#include "http/phase_deadlines.h"

namespace halyard {

void PhaseDeadlines::start(uint64_t total_ms, Clock::time_point now) {
    total_ = deadline_after(total_ms, now);
    stage_ = Stage::Idle;
    phase_.reset();
}

void PhaseDeadlines::arm(Stage stage, Clock::time_point now) {
    stage_ = stage;
    uint64_t ms = 0;
    switch (stage) {
    case Stage::Idle: break;
    case Stage::Pool: ms = limits_.pool_ms; break;
    case Stage::Connect: ms = limits_.connect_ms; break;
    case Stage::Write: ms = write_held_ ? 0 : limits_.write_ms; break;
    case Stage::Read: ms = read_held_ ? 0 : limits_.read_ms; break;
    }
    phase_ = deadline_after(ms, now);
}

void PhaseDeadlines::queued(Clock::time_point now) { arm(Stage::Pool, now); }

void PhaseDeadlines::transfer_started(Clock::time_point now) {
    read_held_ = false;
    write_held_ = false;
    arm(Stage::Connect, now);
}

void PhaseDeadlines::connected(bool sends_body, Clock::time_point now) {
    if (stage_ != Stage::Connect) return;
    arm(sends_body ? Stage::Write : Stage::Read, now);
}

void PhaseDeadlines::received(Clock::time_point now) {
    if (stage_ == Stage::Idle || stage_ == Stage::Pool) return;
    // Pushed forward on each arrival: the limit is on silence, not on the
    // length of the download.
    if (stage_ != Stage::Read || (limits_.read_ms && !read_held_)) arm(Stage::Read, now);
}

void PhaseDeadlines::sent(bool all_sent, Clock::time_point now) {
    if (stage_ != Stage::Write) return;
    arm(all_sent ? Stage::Read : Stage::Write, now);
}

void PhaseDeadlines::hold_read(bool held, Clock::time_point now) {
    if (read_held_ == held) return;
    read_held_ = held;
    if (stage_ == Stage::Read) arm(Stage::Read, now);
}

void PhaseDeadlines::hold_write(bool held, Clock::time_point now) {
    if (write_held_ == held) return;
    write_held_ = held;
    if (stage_ == Stage::Write) arm(Stage::Write, now);
}

void PhaseDeadlines::hop_ended() {
    stage_ = Stage::Idle;
    phase_.reset();
}

std::optional<Clock::time_point> PhaseDeadlines::next() const {
    if (!phase_) return total_;
    if (!total_) return phase_;
    return *phase_ < *total_ ? phase_ : total_;
}

uint32_t PhaseDeadlines::expired(Clock::time_point now) const {
    const bool phase_passed = phase_ && now >= *phase_;
    const bool total_passed = total_ && now >= *total_;
    // Both passed: the one that ran out first names the failure.
    if (total_passed && (!phase_passed || *total_ <= *phase_)) return HY_TIMEOUT_PHASE_TOTAL;
    if (!phase_passed) return HY_TIMEOUT_PHASE_NONE;
    switch (stage_) {
    case Stage::Pool: return HY_TIMEOUT_PHASE_POOL;
    case Stage::Connect: return HY_TIMEOUT_PHASE_CONNECT;
    case Stage::Write: return HY_TIMEOUT_PHASE_WRITE;
    case Stage::Read: return HY_TIMEOUT_PHASE_READ;
    case Stage::Idle: break;
    }
    return HY_TIMEOUT_PHASE_NONE;
}

}  // namespace halyard
