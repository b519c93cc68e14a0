#include "loop/clock.h"

#include <gtest/gtest.h>

namespace halyard {
namespace {

using namespace std::chrono_literals;

TEST(Deadline, IsTheTimeoutAfterTheStart) {
    const Clock::time_point start{};
    EXPECT_EQ(deadline_after(1, start), start + 1ms);
    EXPECT_EQ(deadline_after(90'000, start), start + 90s);
    EXPECT_EQ(deadline_after(kMaxTimeoutMs - 1, start), start + std::chrono::milliseconds(kMaxTimeoutMs - 1));
}

class NoDeadline : public ::testing::TestWithParam<uint64_t> {};
// Zero is no timeout; a timeout too large to add to the clock is none either,
// instead of a deadline that wrapped into the past.
TEST_P(NoDeadline, ForZeroAndForTimeoutsTooLargeToRepresent) {
    EXPECT_EQ(deadline_after(GetParam(), Clock::now()), std::nullopt);
}
INSTANTIATE_TEST_SUITE_P(Cases, NoDeadline, ::testing::Values(uint64_t{0}, kMaxTimeoutMs, UINT64_MAX));

}  // namespace
}  // namespace halyard
