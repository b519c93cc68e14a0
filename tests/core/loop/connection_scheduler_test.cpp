// Per-host admission: six transfers at once, waiting requests started in
// priority order, withdrawals, HTTP/2 origins unlimited; stream weights.
#include <gtest/gtest.h>

#include "halyard.h"
#include "loop/connection_scheduler.h"
#include "loop/engine.h"
#include "transport/tls.h"

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

TEST(ConnectionScheduler, PerHostLimitOfTheGroup) {
    ConnectionScheduler s;
    int started = 0;
    const SlotLimits two{2, 0, "scope"};
    ASSERT_TRUE(s.acquire("h", HY_PRIORITY_DEFAULT, 1, [] {}, two));
    ASSERT_TRUE(s.acquire("h", HY_PRIORITY_DEFAULT, 2, [] {}, two));
    EXPECT_FALSE(s.acquire("h", HY_PRIORITY_DEFAULT, 3, [&] { ++started; }, two));
    s.release("h");
    EXPECT_EQ(started, 1);
    // A group above the browser's six.
    const SlotLimits ten{10, 0, "scope"};
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(s.acquire("wide", HY_PRIORITY_DEFAULT, 10 + i, [] {}, ten));
    EXPECT_FALSE(s.acquire("wide", HY_PRIORITY_DEFAULT, 30, [] {}, ten));
}

TEST(ConnectionScheduler, OverallLimitAcrossTheScopesOrigins) {
    ConnectionScheduler s;
    std::vector<std::string> started;
    const SlotLimits three{6, 3, "engine"};
    ASSERT_TRUE(s.acquire("a", HY_PRIORITY_DEFAULT, 1, [] {}, three));
    ASSERT_TRUE(s.acquire("b", HY_PRIORITY_DEFAULT, 2, [] {}, three));
    ASSERT_TRUE(s.acquire("a", HY_PRIORITY_DEFAULT, 3, [] {}, three));
    EXPECT_FALSE(s.acquire("c", HY_PRIORITY_DEFAULT, 4, [&] { started.push_back("c"); }, three));
    EXPECT_FALSE(s.acquire("b", HY_PRIORITY_DEFAULT, 5, [&] { started.push_back("b"); }, three));
    // Another scope is not held back, even multiplexed origins of this one are.
    EXPECT_TRUE(s.acquire("d", HY_PRIORITY_DEFAULT, 6, [] {}, SlotLimits{6, 3, "other"}));
    s.mark_multiplexed("a");
    EXPECT_TRUE(started.empty());
    // A slot freed at "a" goes to the oldest waiter of the scope, at "c".
    s.release("a");
    EXPECT_EQ(started, (std::vector<std::string>{"c"}));
    s.release("c");
    EXPECT_EQ(started, (std::vector<std::string>{"c", "b"}));
    s.release("a");
    s.release("b");
    s.release("b");
    // Everything released: the scope's count is back to zero.
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(s.acquire("e", HY_PRIORITY_DEFAULT, 40 + i, [] {}, three));
    EXPECT_FALSE(s.acquire("e", HY_PRIORITY_DEFAULT, 50, [] {}, three));
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

TEST(ConnectionScheduler, IdleGroupsAreForgottenAndIdleHttp2OnesBounded) {
    ConnectionScheduler s;
    for (int i = 0; i < 100; ++i) {
        const std::string g = "plain" + std::to_string(i);
        ASSERT_TRUE(s.acquire(g, HY_PRIORITY_DEFAULT, i, [] {}));
        s.release(g);
    }
    EXPECT_EQ(s.tracked(), 0u);
    for (int i = 0; i < 1000; ++i) {
        const std::string g = "h2-" + std::to_string(i);
        ASSERT_TRUE(s.acquire(g, HY_PRIORITY_DEFAULT, i, [] {}));
        s.mark_multiplexed(g);
        s.release(g);
    }
    EXPECT_EQ(s.tracked(), kIdleMultiplexedKept);
    // The most recent is still known to multiplex: no per-host limit.
    for (int i = 0; i < kConnectionsPerHost + 3; ++i) EXPECT_TRUE(s.acquire("h2-999", HY_PRIORITY_DEFAULT, i, [] {}));
    // The oldest was forgotten: the limit applies again.
    for (int i = 0; i < kConnectionsPerHost; ++i) EXPECT_TRUE(s.acquire("h2-0", HY_PRIORITY_DEFAULT, i, [] {}));
    EXPECT_FALSE(s.acquire("h2-0", HY_PRIORITY_DEFAULT, 99, [] {}));
}

TEST(ConnectionScheduler, AGroupBusyAgainIsNotEvicted) {
    ConnectionScheduler s;
    ASSERT_TRUE(s.acquire("busy", HY_PRIORITY_DEFAULT, 1, [] {}));
    s.mark_multiplexed("busy");
    s.release("busy");
    ASSERT_TRUE(s.acquire("busy", HY_PRIORITY_DEFAULT, 2, [] {}));  // busy again, still listed
    for (size_t i = 0; i < 2 * kIdleMultiplexedKept; ++i) {
        const std::string g = "other" + std::to_string(i);
        ASSERT_TRUE(s.acquire(g, HY_PRIORITY_DEFAULT, i, [] {}));
        s.mark_multiplexed(g);
        s.release(g);
    }
    for (int i = 0; i < kConnectionsPerHost + 3; ++i) EXPECT_TRUE(s.acquire("busy", HY_PRIORITY_DEFAULT, 10 + i, [] {}));
}

using Mutation = void (*)(EngineSettings&);
class ConnectionGroup : public ::testing::TestWithParam<std::pair<const char*, Mutation>> {};

TEST_P(ConnectionGroup, WhatAConnectionIsMadeWithSeparatesGroups) {
    EngineSettings base;
    base.proxy = "http://proxy.test:3128";
    base.proxy_scheme = "http";
    EngineSettings changed = base;
    GetParam().second(changed);
    EXPECT_NE(connection_group(base), connection_group(changed));
    EXPECT_EQ(connection_group(base), connection_group(EngineSettings(base)));
}

INSTANTIATE_TEST_SUITE_P(
    Settings, ConnectionGroup,
    ::testing::Values(
        std::pair<const char*, Mutation>{"no_proxy", [](EngineSettings& s) { s.proxy.clear(); }},
        std::pair<const char*, Mutation>{"other_proxy", [](EngineSettings& s) { s.proxy = "http://proxy.test:3129"; }},
        std::pair<const char*, Mutation>{"proxy_user", [](EngineSettings& s) { s.proxy_username = "u"; }},
        std::pair<const char*, Mutation>{"proxy_password", [](EngineSettings& s) { s.proxy_password = "p"; }},
        std::pair<const char*, Mutation>{"no_verify", [](EngineSettings& s) { s.tls_verify = HY_TLS_NO_VERIFY; }},
        std::pair<const char*, Mutation>{"own_bundle",
                                         [](EngineSettings& s) {
                                             s.tls_verify = HY_TLS_CA_BUNDLE;
                                             s.trust = TrustStore::from_pem(nullptr, 0);
                                         }},
        std::pair<const char*, Mutation>{"profile", [](EngineSettings& s) { s.impersonate = "chrome_120"; }},
        std::pair<const char*, Mutation>{"http1_only", [](EngineSettings& s) { s.http_version = HY_HTTP_1_1; }}),
    [](const auto& info) { return std::string(info.param.first); });

}  // namespace
}  // namespace halyard
