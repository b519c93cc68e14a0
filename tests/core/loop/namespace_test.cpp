// Engine creation with profiles and namespaces through the C interface:
// unknown profiles, conflicts in a live namespace, one hub per namespace.
#include <gtest/gtest.h>

#include "loop/engine.h"
#include "support/client.h"

namespace halyard_test {
namespace {

TEST(Profiles, UnknownNamesAreUnsupported) {
    for (const char* name : {"chrome_98", "chrome_157", "chrome120", "chrome", "edge_", "opera_100", "firefox_1"}) {
        uint32_t code = 0;
        EXPECT_FALSE(make_engine({.impersonate = name}, &code)) << name;
        EXPECT_EQ(code, static_cast<uint32_t>(HY_PROFILE_UNSUPPORTED)) << name;
    }
    uint32_t code = 0;
    EXPECT_TRUE(make_engine({.impersonate = "edge_101"}, &code));
    EXPECT_EQ(code, static_cast<uint32_t>(HY_OK));
}

TEST(Namespaces, ConflictWhileHeldAndOneThreadPerNamespace) {
    // Threads of engines released by earlier tests end by themselves.
    ASSERT_TRUE(wait_engine_threads(0));
    const int threads_before = halyard::running_engine_threads();
    uint32_t code = 0;
    auto first = make_engine({.impersonate = "chrome_120", .profile_namespace = "ns-conflict"}, &code);
    ASSERT_TRUE(first);
    auto second = make_engine({.user_agent = "other options are free", .impersonate = "chrome_120",
                               .profile_namespace = "ns-conflict"},
                              &code);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->engine->settings().user_agent, "other options are free");
    // Both engines run on one network thread.
    EXPECT_EQ(halyard::running_engine_threads(), threads_before + 1);

    for (const char* other : {"chrome_121", "edge_120", ""}) {
        EXPECT_FALSE(make_engine({.impersonate = other, .profile_namespace = "ns-conflict"}, &code)) << other;
        EXPECT_EQ(code, static_cast<uint32_t>(HY_PROFILE_CONFLICT)) << other;
    }
    // A private engine and another namespace are not affected.
    EXPECT_TRUE(make_engine({.impersonate = "chrome_99"}, &code));
    EXPECT_TRUE(make_engine({.impersonate = "chrome_99", .profile_namespace = "ns-other"}, &code));

    // Once every engine of the namespace is gone, it can be taken anew.
    first.reset();
    EXPECT_FALSE(make_engine({.impersonate = "chrome_121", .profile_namespace = "ns-conflict"}, &code));
    second.reset();
    ASSERT_TRUE(wait_engine_threads(threads_before));
    EXPECT_TRUE(make_engine({.impersonate = "chrome_121", .profile_namespace = "ns-conflict"}, &code));
}

}  // namespace
}  // namespace halyard_test
