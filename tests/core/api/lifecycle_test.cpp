// The start/cancel/release rules requests and WebSockets share.
#include "api/lifecycle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace halyard {
namespace {

TEST(Lifecycle, StartsOnce) {
    Lifecycle l;
    EXPECT_FALSE(l.started());
    EXPECT_TRUE(l.start());
    EXPECT_FALSE(l.start());
    EXPECT_TRUE(l.started());
    EXPECT_TRUE(l.running());
}

TEST(Lifecycle, ACancelBeforeStartRunsNothingAndRefusesTheStart) {
    Lifecycle l;
    EXPECT_FALSE(l.cancel());
    EXPECT_FALSE(l.start());
    EXPECT_FALSE(l.started());
    EXPECT_FALSE(l.running());
    EXPECT_FALSE(l.cancel());
}

TEST(Lifecycle, CancelAndReleaseEndOnlyAStartedUnfinishedObject) {
    Lifecycle l;
    ASSERT_TRUE(l.start());
    EXPECT_TRUE(l.cancel());
    // A second cancel before the network thread got to the first is still
    // posted: the step itself does nothing for an ended object.
    EXPECT_TRUE(l.cancel());
    l.finish();
    EXPECT_TRUE(l.finished());
    EXPECT_TRUE(l.started());
    EXPECT_FALSE(l.running());
    EXPECT_FALSE(l.cancel());
}

// The object lives as long as its handle reference, and through the end
// of the release call that gives the reference up.
TEST(Lifecycle, TheHandleReferenceKeepsTheObjectUntilReleased) {
    struct Object {
        Lifecycle lifecycle;
    };
    auto object = std::make_shared<Object>();
    object->lifecycle.hold_handle(object);
    std::weak_ptr<Object> watch = object;
    Object* raw = object.get();
    object.reset();
    ASSERT_FALSE(watch.expired());
    {
        const std::shared_ptr<void> kept = raw->lifecycle.release_handle();
        EXPECT_FALSE(watch.expired());
        EXPECT_EQ(raw->lifecycle.release_handle(), nullptr);
    }
    EXPECT_TRUE(watch.expired());
}

// Racing starts and cancels from several threads: exactly one start wins
// unless a cancel came first, and then none does.
TEST(Lifecycle, RacingStartsAndCancelsAgree) {
    for (int round = 0; round < 200; ++round) {
        Lifecycle l;
        std::atomic<int> starts{0}, posted_cancels{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                if (t % 2 == 0) {
                    if (l.start()) starts.fetch_add(1);
                } else if (l.cancel()) {
                    posted_cancels.fetch_add(1);
                }
            });
        }
        for (auto& thread : threads) thread.join();
        ASSERT_LE(starts.load(), 1);
        EXPECT_EQ(l.started(), starts.load() == 1);
        // A cancel is posted only for a started object.
        if (starts.load() == 0) {
            EXPECT_EQ(posted_cancels.load(), 0);
        }
    }
}

}  // namespace
}  // namespace halyard
