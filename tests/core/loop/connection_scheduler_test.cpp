// Per-host admission: six transfers at once, waiting requests started in
// priority order, withdrawals, HTTP/2 origins unlimited; stream weights.
#include <gtest/gtest.h>

#include "halyard.h"
#include "loop/connection_scheduler.h"

namespace halyard {
namespace {

TEST(ConnectionScheduler, SixPerHostThenPriorityOrder) {
    ConnectionScheduler s;
    std::vector<std::string> started;
    for (int i = 0; i < kConnectionsPerHost; ++i) ASSERT_TRUE(s.acquire("h", HY_PRIORITY_IDLE, i, [] {}));
    // Another host is not affected.
    EXPECT_TRUE(s.acquire("other", HY_PRIORITY_IDLE, 100, [] {}));
    const std::pair<const char*, uint32_t> waiting[] = {
        {"idle", HY_PRIORITY_IDLE},     {"low", HY_PRIORITY_LOW},        {"default", HY_PRIORITY_DEFAULT},
        {"highest", HY_PRIORITY_HIGHEST}, {"lowest", HY_PRIORITY_LOWEST}, {"medium", HY_PRIORITY_MEDIUM},
        {"low2", HY_PRIORITY_LOW}};
    uint64_t ticket = 10;
    for (const auto& [name, priority] : waiting) {
        std::string n = name;
        EXPECT_FALSE(s.acquire("h", priority, ticket++, [&started, n] { started.push_back(n); }));
    }
    EXPECT_EQ(s.waiting("h"), 7u);
    s.withdraw("h", 14);  // "lowest" ends while waiting
    for (int i = 0; i < 6; ++i) s.release("h");
    // Default ranks with medium, ties in arrival order.
    EXPECT_EQ(started, (std::vector<std::string>{"highest", "default", "medium", "low", "low2", "idle"}));
    EXPECT_EQ(s.waiting("h"), 0u);
}

TEST(ConnectionScheduler, ReleaseStartsOneAtATimeAndNewcomersQueueBehind) {
    ConnectionScheduler s;
    int started = 0;
    for (int i = 0; i < kConnectionsPerHost; ++i) ASSERT_TRUE(s.acquire("h", HY_PRIORITY_DEFAULT, i, [] {}));
    EXPECT_FALSE(s.acquire("h", HY_PRIORITY_LOW, 7, [&] { ++started; }));
    EXPECT_FALSE(s.acquire("h", HY_PRIORITY_LOW, 8, [&] { ++started; }));
    s.release("h");
    EXPECT_EQ(started, 1);
    // Room appears only with a release; a newcomer cannot jump the queue.
    EXPECT_FALSE(s.acquire("h", HY_PRIORITY_HIGHEST, 9, [&] { ++started; }));
    s.release("h");
    EXPECT_EQ(started, 2);
}

TEST(ConnectionScheduler, MultiplexedOriginStartsEveryoneWaiting) {
    ConnectionScheduler s;
    int started = 0;
    for (int i = 0; i < kConnectionsPerHost; ++i) ASSERT_TRUE(s.acquire("h2", HY_PRIORITY_DEFAULT, i, [] {}));
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(s.acquire("h2", HY_PRIORITY_DEFAULT, 10 + i, [&] { ++started; }));
    s.mark_multiplexed("h2");
    EXPECT_EQ(started, 4);
    EXPECT_TRUE(s.acquire("h2", HY_PRIORITY_DEFAULT, 20, [] {}));
}

TEST(StreamWeight, ChromiumWeights) {
    EXPECT_EQ(stream_weight(HY_PRIORITY_HIGHEST, false), 256);
    EXPECT_EQ(stream_weight(HY_PRIORITY_MEDIUM, false), 220);
    EXPECT_EQ(stream_weight(HY_PRIORITY_LOW, false), 183);
    EXPECT_EQ(stream_weight(HY_PRIORITY_LOWEST, false), 147);
    EXPECT_EQ(stream_weight(HY_PRIORITY_IDLE, false), 110);
    EXPECT_EQ(stream_weight(HY_PRIORITY_DEFAULT, true), 256);
    EXPECT_EQ(stream_weight(HY_PRIORITY_DEFAULT, false), 0);
}

}  // namespace
}  // namespace halyard
