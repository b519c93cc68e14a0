// Live: loop-driven engines.  A thread standing for an event loop attaches
// the engine's loop (hy_engine_loop_attach), watches the descriptor and
// the deadline each round answers, and runs the rounds itself
// (hy_engine_loop_drive); the network thread steps in only when that
// thread stops coming.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "live/live_fixture.h"

namespace halyard_test {
namespace {

std::mutex g_threads_mutex;
std::set<std::thread::id> g_response_threads;

void note_thread(void* context, hy_request* request, int32_t status, const uint8_t* head, uint64_t len) {
    {
        std::lock_guard lock(g_threads_mutex);
        g_response_threads.insert(std::this_thread::get_id());
    }
    Recorder::callbacks(static_cast<Recorder*>(context)).on_response(context, request, status, head, len);
}

// The event loop: waits on the descriptor up to the deadline, then drives,
// until `done` holds or `limit` passed; false on a refused round.
template <class Done>
bool run_loop(hy_engine* engine, int fd, Done done, std::chrono::milliseconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    int64_t next_ms = 0;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        pollfd ready{fd, POLLIN, 0};
        ::poll(&ready, 1, static_cast<int>(std::min<int64_t>(next_ms, 100)));
        if (hy_engine_loop_drive(engine, &next_ms) != HY_OK) return false;
    }
    return true;
}

TEST_F(Live, AnAttachedThreadRunsTheTransfersAndTheirCallbacks) {
    int32_t fd = -1;
    ASSERT_EQ(hy_engine_loop_attach(engine_.get(), &fd), HY_OK);
    ASSERT_GE(fd, 0);
    {
        std::lock_guard lock(g_threads_mutex);
        g_response_threads.clear();
    }
    constexpr int kCount = 24;
    std::vector<Recorder> recorders(kCount);
    std::vector<hy_request*> requests;
    for (int i = 0; i < kCount; ++i) {
        const size_t n = static_cast<size_t>(i % 4) * 30000;
        hy_request* request = make_request(
            engine_.get(), {.url = http_url("/bytes/" + std::to_string(n)), .on_response = note_thread}, &recorders[i]);
        ASSERT_NE(request, nullptr);
        ASSERT_EQ(hy_request_start(request), HY_OK);
        requests.push_back(request);
    }
    EXPECT_TRUE(run_loop(engine_.get(), fd, [&] {
        for (auto& r : recorders)
            if (!r.complete()) return false;
        return true;
    }));
    for (int i = 0; i < kCount; ++i) {
        EXPECT_EQ(recorders[i].body(), pattern(static_cast<size_t>(i % 4) * 30000));
        hy_request_release(requests[i]);
    }
    {
        // The heads arrived on this thread; the network thread may step in
        // only for rounds this loop owed for 50 ms (a loaded machine).
        std::lock_guard lock(g_threads_mutex);
        EXPECT_EQ(g_response_threads.count(std::this_thread::get_id()), 1u);
        EXPECT_LE(g_response_threads.size(), 2u);
    }
    EXPECT_EQ(hy_engine_loop_detach(engine_.get()), HY_OK);
    EXPECT_EQ(hy_engine_loop_detach(engine_.get()), HY_INVALID_STATE);
}

TEST_F(Live, ALoopThatStopsComingIsCoveredByTheNetworkThread) {
    // Attached, a request started, and no round ever run (a closed event
    // loop): the network thread finds the loop late and completes it.
    int32_t fd = -1;
    ASSERT_EQ(hy_engine_loop_attach(engine_.get(), &fd), HY_OK);
    Recorder r;
    hy_request* request = make_request(engine_.get(), {.url = http_url("/bytes/70000")}, &r);
    ASSERT_EQ(hy_request_start(request), HY_OK);
    ASSERT_TRUE(r.wait_complete(10s));
    EXPECT_EQ(r.body(), pattern(70000));
    hy_request_release(request);
    // The same thread comes back: its rounds run again.
    Recorder again;
    request = make_request(engine_.get(), {.url = http_url("/bytes/100")}, &again);
    ASSERT_EQ(hy_request_start(request), HY_OK);
    EXPECT_TRUE(run_loop(engine_.get(), fd, [&] { return again.complete(); }));
    EXPECT_EQ(again.body(), pattern(100));
    hy_request_release(request);
    EXPECT_EQ(hy_engine_loop_detach(engine_.get()), HY_OK);
}

TEST_F(Live, OneThreadAttachesAtATime) {
    int32_t fd = -1, again = -1, other = -1;
    ASSERT_EQ(hy_engine_loop_attach(engine_.get(), &fd), HY_OK);
    ASSERT_EQ(hy_engine_loop_attach(engine_.get(), &again), HY_OK);
    EXPECT_EQ(again, fd);
    uint32_t attach_there = HY_OK, drive_there = HY_OK;
    std::thread([&] {
        int64_t next = 0;
        attach_there = hy_engine_loop_attach(engine_.get(), &other);
        drive_there = hy_engine_loop_drive(engine_.get(), &next);
    }).join();
    EXPECT_EQ(attach_there, HY_INVALID_STATE);
    EXPECT_EQ(drive_there, HY_INVALID_STATE);
    int64_t next = -1;
    EXPECT_EQ(hy_engine_loop_drive(engine_.get(), &next), HY_OK);
    EXPECT_GE(next, 0);
    EXPECT_LE(next, 1000);
    EXPECT_EQ(hy_engine_loop_detach(engine_.get()), HY_OK);
    EXPECT_EQ(hy_engine_loop_detach(engine_.get()), HY_OK);
    EXPECT_EQ(hy_engine_loop_drive(engine_.get(), &next), HY_INVALID_STATE);
    EXPECT_EQ(hy_engine_loop_attach(engine_.get(), nullptr), HY_INVALID_ARGUMENT);
}

TEST_F(Live, CallersAndTheAttachedLoopShareTheEngine) {
    // Threads making driven waits and the attached loop take the engine's
    // loop in turns; every request completes and nothing waits for a
    // runner that left.
    int32_t fd = -1;
    ASSERT_EQ(hy_engine_loop_attach(engine_.get(), &fd), HY_OK);
    std::atomic<int> done{0};
    std::atomic<bool> callers_over{false};
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t) {
        callers.emplace_back([&] {
            for (int i = 0; i < 10; ++i) {
                Recorder r;
                hy_request* request = make_request(engine_.get(), {.url = http_url("/bytes/2000")}, &r);
                if (request == nullptr) continue;
                hy_request_start_driven(request);
                const auto end = std::chrono::steady_clock::now() + 20s;
                while (!r.complete() && std::chrono::steady_clock::now() < end) {
                    hy_request_drive(request, 50, [](void* c) { return static_cast<Recorder*>(c)->complete() ? 1 : 0; },
                                     &r);
                }
                if (r.complete() && r.body() == pattern(2000)) ++done;
                hy_request_release(request);
            }
        });
    }
    std::vector<Recorder> mine(10);
    std::vector<hy_request*> requests;
    for (auto& r : mine) {
        hy_request* request = make_request(engine_.get(), {.url = http_url("/bytes/3000")}, &r);
        ASSERT_EQ(hy_request_start(request), HY_OK);
        requests.push_back(request);
    }
    std::thread joiner([&] {
        for (auto& caller : callers) caller.join();
        callers_over = true;
    });
    EXPECT_TRUE(run_loop(engine_.get(), fd, [&] {
        if (!callers_over) return false;
        for (auto& r : mine)
            if (!r.complete()) return false;
        return true;
    }));
    joiner.join();
    EXPECT_EQ(done.load(), 30);
    for (size_t i = 0; i < mine.size(); ++i) {
        EXPECT_EQ(mine[i].body(), pattern(3000));
        hy_request_release(requests[i]);
    }
    EXPECT_EQ(hy_engine_loop_detach(engine_.get()), HY_OK);
}

}  // namespace
}  // namespace halyard_test
