// Live: caller-driven waits.  Threads that wait run the engine's loop
// themselves (hy_request_drive), one at a time; the others follow and are
// woken by the runner, and the network thread takes over what a caller
// leaves unfinished.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "live/live_fixture.h"

namespace halyard_test {
namespace {

int32_t is_complete(void* context) { return static_cast<Recorder*>(context)->complete() ? 1 : 0; }
int32_t has_response(void* context) { return static_cast<Recorder*>(context)->status() != 0 ? 1 : 0; }

// Drives in 50 ms slices (as the module does) until `until` holds; false
// when it did not within `limit`.
bool drive_until(hy_request* request, hy_wait_condition until, Recorder& r,
                 std::chrono::milliseconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (until(&r) == 0) {
        if (std::chrono::steady_clock::now() > end) return false;
        if (hy_request_drive(request, 50, until, &r) != HY_OK) return false;
    }
    return true;
}

// One request started for the driving caller and driven to its end.
void driven_get(hy_engine* engine, const std::string& url, Recorder& r) {
    hy_request* request = make_request(engine, {.url = url}, &r);
    ASSERT_NE(request, nullptr);
    ASSERT_EQ(hy_request_start_driven(request), HY_OK);
    EXPECT_TRUE(drive_until(request, is_complete, r)) << url;
    hy_request_release(request);
}

TEST_F(Live, ManyThreadsDriveOneEngine) {
    constexpr int kThreads = 8;
    constexpr int kEach = 15;
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                const size_t n = static_cast<size_t>((t * 7 + i * 13) % 5) * 20000;
                Recorder r;
                driven_get(engine_.get(), http_url("/bytes/" + std::to_string(n)), r);
                if (r.complete() && r.result() == HY_OK && r.body() == pattern(n)) ++done;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(done.load(), kThreads * kEach);
}

TEST_F(Live, AFinishedRequestReturnsWhileAnotherThreadDrives) {
    Recorder slow;
    hy_request* slow_request = make_request(engine_.get(), {.url = http_url("/slow?delay=2")}, &slow);
    ASSERT_EQ(hy_request_start_driven(slow_request), HY_OK);
    std::thread driver([&] { EXPECT_TRUE(drive_until(slow_request, is_complete, slow)); });
    std::this_thread::sleep_for(200ms);
    const auto begun = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) {
        Recorder quick;
        driven_get(engine_.get(), http_url("/bytes/100"), quick);
        EXPECT_EQ(quick.body(), pattern(100));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - begun, 1500ms);
    EXPECT_FALSE(slow.complete());
    driver.join();
    EXPECT_EQ(slow.body(), "late");
    hy_request_release(slow_request);
}

TEST_F(Live, AReaderThatStopsLeavesTheTransferToTheNetworkThread) {
    // The caller drives until the head only; the body then reaches the
    // pause (1 MiB unread) without it, while a second request completes.
    Recorder large;
    large.pause_threshold = 1024 * 1024;
    hy_request* request = make_request(engine_.get(), {.url = http_url("/bytes/4000000")}, &large);
    ASSERT_EQ(hy_request_start_driven(request), HY_OK);
    ASSERT_TRUE(drive_until(request, has_response, large));
    Recorder other;
    driven_get(engine_.get(), http_url("/bytes/5000"), other);
    EXPECT_EQ(other.body(), pattern(5000));
    ASSERT_TRUE(large.wait_paused(10s));
    EXPECT_FALSE(large.complete());
    // Reading on: consumed, resumed, driven to the end.
    for (int i = 0; i < 100 && !large.complete(); ++i) {
        if (large.consume()) {
            EXPECT_EQ(hy_request_resume_read(request), HY_OK);
        }
        hy_request_drive(request, 50, is_complete, &large);
    }
    ASSERT_TRUE(large.wait_complete(20s));
    EXPECT_TRUE(large.body() == pattern(4000000));
    hy_request_release(request);
}

// What hy_request_drive answered inside the last on_response.
std::atomic<uint32_t> g_drive_in_callback{0};

void drive_from_callback(void* context, hy_request* request, int32_t status, const uint8_t* head, uint64_t len) {
    // Inside a callback the thread runs the loop: a wait would wait for itself.
    g_drive_in_callback = hy_request_drive(request, 50, is_complete, context);
    Recorder::callbacks(static_cast<Recorder*>(context)).on_response(context, request, status, head, len);
}

TEST_F(Live, ADriveInsideACallbackIsRefused) {
    for (bool driven : {false, true}) {
        g_drive_in_callback = 0;
        Recorder r;
        hy_request* request =
            make_request(engine_.get(), {.url = http_url("/bytes/10"), .on_response = drive_from_callback}, &r);
        ASSERT_NE(request, nullptr);
        if (driven) {
            ASSERT_EQ(hy_request_start_driven(request), HY_OK);
            EXPECT_TRUE(drive_until(request, is_complete, r));
        } else {
            ASSERT_EQ(hy_request_start(request), HY_OK);
        }
        ASSERT_TRUE(r.wait_complete());
        EXPECT_EQ(g_drive_in_callback.load(), static_cast<uint32_t>(HY_INVALID_STATE))
            << (driven ? "driven" : "network thread");
        hy_request_release(request);
    }
}

TEST_F(Live, ADriveBeforeTheStartIsRefused) {
    Recorder r;
    hy_request* request = make_request(engine_.get(), {.url = http_url("/bytes/10")}, &r);
    EXPECT_EQ(hy_request_drive(request, 10, is_complete, &r), HY_INVALID_STATE);
    EXPECT_EQ(hy_request_drive(request, 10, nullptr, &r), HY_INVALID_ARGUMENT);
    hy_request_release(request);
}

}  // namespace
}  // namespace halyard_test

namespace halyard_test {
namespace {

int32_t paused_or_complete(void* context) {
    auto* r = static_cast<Recorder*>(context);
    return r->complete() || r->pauses() > 0 ? 1 : 0;
}

TEST_F(Live, DrivenReaderAwayWhilePausedStillGetsEveryByte) {
    Recorder r;
    r.pause_threshold = 1024 * 1024;
    constexpr size_t kSize = 8 * 1024 * 1024;
    hy_request* request = make_request(engine_.get(), {.url = http_url("/bytes/" + std::to_string(kSize))}, &r);
    ASSERT_EQ(hy_request_start_driven(request), HY_OK);
    ASSERT_TRUE(drive_until(request, paused_or_complete, r));
    std::this_thread::sleep_for(300ms);  // the reader is away while paused
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (!r.complete() && std::chrono::steady_clock::now() < end) {
        if (r.consume()) {
            EXPECT_EQ(hy_request_resume_read(request), HY_OK);
        }
        hy_request_drive(request, 50, is_complete, &r);
    }
    EXPECT_TRUE(r.complete());
    EXPECT_EQ(r.result(), HY_OK);
    EXPECT_EQ(r.body().size(), kSize);
    hy_request_release(request);
}

}  // namespace
}  // namespace halyard_test
