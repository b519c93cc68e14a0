#include "http/phase_deadlines.h"

#include <gtest/gtest.h>

namespace halyard {
namespace {

using namespace std::chrono_literals;

const Clock::time_point t0{};
const PhaseLimits kLimits{.connect_ms = 100, .read_ms = 200, .write_ms = 300, .pool_ms = 400};

PhaseDeadlines started(uint64_t total_ms = 0, PhaseLimits limits = kLimits) {
    PhaseDeadlines d;
    d.set_limits(limits);
    d.start(total_ms, t0);
    return d;
}

// Each stage arms its own limit from the moment it begins, and names itself
// when that limit passes.
struct StageCase {
    const char* name;
    void (*enter)(PhaseDeadlines&);
    std::chrono::milliseconds limit;
    uint32_t phase;
};

class Stage : public ::testing::TestWithParam<StageCase> {};

TEST_P(Stage, ExpiresWithItsOwnPhase) {
    PhaseDeadlines d = started();
    GetParam().enter(d);
    const auto due = t0 + 10ms + GetParam().limit;
    ASSERT_EQ(d.next(), due);
    EXPECT_EQ(d.expired(due - 1ms), uint32_t{HY_TIMEOUT_PHASE_NONE});
    EXPECT_EQ(d.expired(due), GetParam().phase);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Stage,
    ::testing::Values(
        StageCase{"pool", [](PhaseDeadlines& d) { d.queued(t0 + 10ms); }, 400ms, HY_TIMEOUT_PHASE_POOL},
        StageCase{"connect", [](PhaseDeadlines& d) { d.transfer_started(t0 + 10ms); }, 100ms,
                  HY_TIMEOUT_PHASE_CONNECT},
        StageCase{"write",
                  [](PhaseDeadlines& d) {
                      d.transfer_started(t0);
                      d.connected(true, t0 + 10ms);
                  },
                  300ms, HY_TIMEOUT_PHASE_WRITE},
        StageCase{"read_without_body",
                  [](PhaseDeadlines& d) {
                      d.transfer_started(t0);
                      d.connected(false, t0 + 10ms);
                  },
                  200ms, HY_TIMEOUT_PHASE_READ},
        StageCase{"read_after_body",
                  [](PhaseDeadlines& d) {
                      d.transfer_started(t0);
                      d.connected(true, t0 + 5ms);
                      d.sent(false, t0 + 7ms);
                      d.sent(true, t0 + 10ms);
                  },
                  200ms, HY_TIMEOUT_PHASE_READ},
        StageCase{"read_after_early_answer",
                  [](PhaseDeadlines& d) {
                      d.transfer_started(t0);
                      d.connected(true, t0 + 5ms);
                      d.received(t0 + 10ms);
                  },
                  200ms, HY_TIMEOUT_PHASE_READ}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PhaseDeadlines, ReadLimitIsOnSilenceNotOnTheWholeDownload) {
    PhaseDeadlines d = started();
    d.transfer_started(t0);
    d.connected(false, t0);
    for (int i = 1; i <= 10; ++i) d.received(t0 + i * 150ms);  // 1.5 s in all, never 200 ms quiet
    EXPECT_EQ(d.expired(t0 + 1500ms + 199ms), uint32_t{HY_TIMEOUT_PHASE_NONE});
    EXPECT_EQ(d.expired(t0 + 1500ms + 200ms), uint32_t{HY_TIMEOUT_PHASE_READ});
}

TEST(PhaseDeadlines, WriteProgressPushesTheWriteDeadline) {
    PhaseDeadlines d = started();
    d.transfer_started(t0);
    d.connected(true, t0);
    d.sent(false, t0 + 250ms);
    EXPECT_EQ(d.next(), t0 + 550ms);
    EXPECT_EQ(d.expired(t0 + 549ms), uint32_t{HY_TIMEOUT_PHASE_NONE});
}

// Time the caller holds the transfer counts for no phase; letting go starts
// the phase afresh.
TEST(PhaseDeadlines, HeldReadingOrWritingRunsNoPhase) {
    PhaseDeadlines d = started();
    d.transfer_started(t0);
    d.connected(false, t0);
    d.hold_read(true, t0 + 50ms);
    EXPECT_EQ(d.next(), std::nullopt);
    d.received(t0 + 60ms);  // curl offering data while paused does not re-arm it
    EXPECT_EQ(d.next(), std::nullopt);
    d.hold_read(false, t0 + 10s);
    EXPECT_EQ(d.next(), t0 + 10s + 200ms);

    PhaseDeadlines w = started();
    w.transfer_started(t0);
    w.connected(true, t0);
    w.hold_write(true, t0 + 1ms);
    EXPECT_EQ(w.next(), std::nullopt);
    w.hold_write(false, t0 + 5s);
    EXPECT_EQ(w.expired(t0 + 5s + 300ms), uint32_t{HY_TIMEOUT_PHASE_WRITE});
}

TEST(PhaseDeadlines, TheEarlierOfTotalAndPhaseNamesTheFailure) {
    PhaseDeadlines d = started(150);
    d.transfer_started(t0);  // connect due at 100 ms, total at 150 ms
    EXPECT_EQ(d.next(), t0 + 100ms);
    EXPECT_EQ(d.expired(t0 + 200ms), uint32_t{HY_TIMEOUT_PHASE_CONNECT});

    PhaseDeadlines e = started(50);
    e.transfer_started(t0);
    EXPECT_EQ(e.next(), t0 + 50ms);
    EXPECT_EQ(e.expired(t0 + 200ms), uint32_t{HY_TIMEOUT_PHASE_TOTAL});
}

TEST(PhaseDeadlines, AnEndedHopLeavesOnlyTheTotal) {
    PhaseDeadlines d = started(1000);
    d.transfer_started(t0);
    d.hop_ended();
    EXPECT_EQ(d.next(), t0 + 1000ms);
    d.received(t0 + 5ms);  // nothing runs until the next hop starts
    EXPECT_EQ(d.next(), t0 + 1000ms);
}

TEST(PhaseDeadlines, NoLimitsNoDeadline) {
    PhaseDeadlines d = started(0, PhaseLimits{});
    EXPECT_FALSE(d.watches_transfer());
    d.queued(t0);
    d.transfer_started(t0);
    d.connected(true, t0);
    d.received(t0);
    EXPECT_EQ(d.next(), std::nullopt);
    EXPECT_EQ(d.expired(t0 + 100s), uint32_t{HY_TIMEOUT_PHASE_NONE});
}

}  // namespace
}  // namespace halyard
