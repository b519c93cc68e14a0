// Network-thread work turns C++ failures into causes, but lets a thread's
// own ending unwind through.
#include "loop/guarded.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <optional>
#include <stdexcept>

namespace halyard {
namespace {

struct Guard {
    bool returned = false;
    std::optional<Cause> cause;
};

template <typename Body>
Guard run(Body body) {
    Guard r;
    r.returned = run_guarded(body, [&](Cause c) { r.cause = c; });
    return r;
}

TEST(Guarded, AReturningBodyReportsNoCause) {
    int ran = 0;
    const Guard r = run([&] { ++ran; });
    EXPECT_TRUE(r.returned);
    EXPECT_EQ(r.cause, std::nullopt);
    EXPECT_EQ(ran, 1);
}

TEST(Guarded, FailuresBecomeCauses) {
    EXPECT_EQ(run([] { throw std::bad_alloc(); }).cause, Cause::OutOfMemory);
    EXPECT_EQ(run([] { throw std::runtime_error("x"); }).cause, Cause::Internal);
    EXPECT_EQ(run([] { throw 7; }).cause, Cause::Internal);
    EXPECT_FALSE(run([] { throw 7; }).returned);
}

// pthread_exit unwinds the thread with a forced unwind: no cause may be
// reported for it, and the code after the guarded body must not run.
TEST(Guarded, TheThreadsOwnEndingUnwindsThrough) {
    struct Seen {
        bool cause = false;
        bool after = false;
    } seen;
    pthread_t thread;
    auto body = [](void* arg) -> void* {
        auto* s = static_cast<Seen*>(arg);
        run_guarded([] { pthread_exit(nullptr); }, [&](Cause) { s->cause = true; });
        s->after = true;
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, nullptr, body, &seen), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    EXPECT_FALSE(seen.cause);
    EXPECT_FALSE(seen.after);
}

}  // namespace
}  // namespace halyard
