// The network hub's command queue and the thread-crossing protocol: every
// posted command runs, in order per poster, whether the thread sleeps in
// poll, is busy, or posts to itself; the last user's drop ends the thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "loop/network_hub.h"

namespace halyard {
namespace {

using namespace std::chrono_literals;

// Below the loop's idle poll bound (one second): a command whose wake-up
// was lost would wait out that poll and miss this.
constexpr auto kPrompt = 800ms;

struct HubFixture : ::testing::Test {
    void SetUp() override {
        hub = NetworkHub::create("");
        ASSERT_NE(hub, nullptr);
    }
    void TearDown() override {
        if (hub) hub->drop_user();
    }
    // Posts a command and waits for it to run.
    bool round_trip() {
        auto done = std::make_shared<std::promise<void>>();
        auto ran = done->get_future();
        hub->post([done] { done->set_value(); });
        return ran.wait_for(kPrompt) == std::future_status::ready;
    }
    std::shared_ptr<NetworkHub> hub;
};

TEST_F(HubFixture, EachPostToTheSleepingThreadIsSeenBeforeThePollBound) {
    // The thread is asleep in poll between round trips: each post must wake it.
    for (int i = 0; i < 300; ++i) ASSERT_TRUE(round_trip()) << "round trip " << i;
}

class HubPosters : public HubFixture, public ::testing::WithParamInterface<int> {};

TEST_P(HubPosters, CommandsFromManyThreadsAllRunInOrderPerPoster) {
    const int posters = GetParam();
    constexpr int kPerPoster = 2000;
    // Written only by the network thread.
    std::vector<int> last(posters, -1);
    std::atomic<int> out_of_order{0};
    std::atomic<int> ran{0};
    std::vector<std::thread> threads;
    for (int p = 0; p < posters; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < kPerPoster; ++i) {
                hub->post([&, p, i] {
                    if (last[p] != i - 1) out_of_order.fetch_add(1);
                    last[p] = i;
                    ran.fetch_add(1);
                });
                // Some posters pause so that the thread goes back to sleep
                // between bursts, and both sides of the protocol are crossed.
                if (p % 2 == 1 && i % 64 == 0) std::this_thread::sleep_for(50us);
            }
        });
    }
    for (auto& t : threads) t.join();
    ASSERT_TRUE(round_trip());
    EXPECT_EQ(ran.load(), posters * kPerPoster);
    EXPECT_EQ(out_of_order.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Posters, HubPosters, ::testing::Values(1, 4, 16));

TEST_F(HubFixture, CommandPostedByTheNetworkThreadRunsWithoutAWakeUp) {
    for (int i = 0; i < 100; ++i) {
        auto done = std::make_shared<std::promise<bool>>();
        auto ran = done->get_future();
        hub->post([hub = hub.get(), done] {
            const bool on_thread = hub->on_thread();
            hub->post([done, on_thread] { done->set_value(on_thread); });
        });
        ASSERT_EQ(ran.wait_for(kPrompt), std::future_status::ready) << "round " << i;
        EXPECT_TRUE(ran.get());
    }
    EXPECT_FALSE(hub->on_thread());
}

TEST(NetworkHub, DroppingTheLastUserEndsTheThread) {
    auto hub = NetworkHub::create("");
    ASSERT_NE(hub, nullptr);
    // Threads of other tests' hubs may still be ending: only this one's
    // count is known to be in.
    const int with_hub = running_engine_threads();
    hub->add_user();
    hub->drop_user();
    // A user is left: the thread still serves commands.
    auto done = std::make_shared<std::promise<void>>();
    auto ran = done->get_future();
    hub->post([done] { done->set_value(); });
    ASSERT_EQ(ran.wait_for(kPrompt), std::future_status::ready);
    hub->drop_user();
    // Once the thread has ended no user can join; a join that still
    // succeeds is given back, which wakes the thread to end again.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    bool ended = false;
    while (!(ended = !hub->try_add_user()) && std::chrono::steady_clock::now() < deadline) {
        hub->drop_user();
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(ended);
    // The thread counts itself out as the last thing it does.
    while (running_engine_threads() >= with_hub && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    EXPECT_LT(running_engine_threads(), with_hub);
}

}  // namespace
}  // namespace halyard
