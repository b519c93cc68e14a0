// Work entered from C turns C++ failures into faults, but lets a thread's
// own ending unwind through.
#include "api/contain.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <optional>
#include <stdexcept>

namespace halyard {
namespace {

struct Guard {
    bool returned = false;
    std::optional<Fault> cause;
};

template <typename Body>
Guard run(Body body) {
    Guard r;
    r.returned = contain([&] { body(); return true; }, [&](Fault f) { r.cause = f; return false; });
    return r;
}

TEST(Contain, AReturningBodyReportsNoFault) {
    int ran = 0;
    const Guard r = run([&] { ++ran; });
    EXPECT_TRUE(r.returned);
    EXPECT_EQ(r.cause, std::nullopt);
    EXPECT_EQ(ran, 1);
}

TEST(Contain, FailuresBecomeFaults) {
    EXPECT_EQ(run([] { throw std::bad_alloc(); }).cause, Fault::OutOfMemory);
    EXPECT_EQ(run([] { throw std::runtime_error("x"); }).cause, Fault::Internal);
    EXPECT_EQ(run([] { throw 7; }).cause, Fault::Internal);
    EXPECT_FALSE(run([] { throw 7; }).returned);
}

// pthread_exit unwinds the thread with a forced unwind: no fault may be
// reported for it, and the code after the guarded body must not run.
TEST(Contain, TheThreadsOwnEndingUnwindsThrough) {
    struct Seen {
        bool cause = false;
        bool after = false;
    } seen;
    pthread_t thread;
    auto body = [](void* arg) -> void* {
        auto* s = static_cast<Seen*>(arg);
        contain([] { pthread_exit(nullptr); }, [&](Fault) { s->cause = true; });
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
