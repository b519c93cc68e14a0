// The engine extensions through the C interface: an engine made with named
// options, and its cookie jar listed, filled, emptied of one cookie and of
// all; namespaces share the jar.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "halyard.h"
#include "support/client.h"

namespace halyard_test {
namespace {

std::string jar(hy_engine* engine, const std::string& command = "", uint32_t* code = nullptr) {
    uint64_t len = 0;
    uint32_t rc = hy_engine_cookies(engine, command.data(), command.size(), nullptr, 0, &len);
    if (code != nullptr) *code = rc;
    if (rc != HY_OK) return "<failed>";
    // Listed again into a buffer of the length asked for.
    std::string out(len, '\0');
    uint64_t again = 0;
    EXPECT_EQ(hy_engine_cookies(engine, nullptr, 0, reinterpret_cast<uint8_t*>(out.data()), out.size(), &again),
              HY_OK);
    EXPECT_EQ(again, len);
    return out;
}

EnginePtr engine_with(const std::string& options, uint32_t* code, const EngineOptions& o = {}) {
    EngineConfig config = engine_config(o);
    hy_engine* engine = nullptr;
    *code = hy_engine_create_with_options(&config, options.data(), options.size(), &engine);
    return EnginePtr(engine);
}

TEST(EngineExtensions, CreateWithOptions) {
    uint32_t code = 99;
    EnginePtr engine = engine_with("max_connections_per_host=2\nresolve=a.test:80:127.0.0.1\n", &code);
    EXPECT_EQ(code, HY_OK);
    EXPECT_NE(engine, nullptr);
    EnginePtr refused = engine_with("max_connections_per_host=0", &code);
    EXPECT_EQ(code, HY_INVALID_ARGUMENT);
    EXPECT_EQ(refused, nullptr);
    EngineConfig config = engine_config({});
    hy_engine* out = reinterpret_cast<hy_engine*>(1);
    EXPECT_EQ(hy_engine_create_with_options(&config, nullptr, 3, &out), HY_INVALID_ARGUMENT);
    EXPECT_EQ(out, nullptr);
}

TEST(EngineExtensions, CookieJarLinesSetDeleteClear) {
    EnginePtr engine = make_engine();
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(jar(engine.get()), "");
    EXPECT_EQ(jar(engine.get(), ".a.test\tTRUE\t/\tFALSE\t0\ts\tv1"), ".a.test\tTRUE\t/\tFALSE\t0\ts\tv1\n");
    jar(engine.get(), "#HttpOnly_b.test\tFALSE\t/p\tTRUE\t4102444800\th\tv2");
    const std::string both = jar(engine.get());
    EXPECT_NE(both.find(".a.test\tTRUE\t/\tFALSE\t0\ts\tv1\n"), std::string::npos) << both;
    EXPECT_NE(both.find("#HttpOnly_b.test\tFALSE\t/p\tTRUE\t4102444800\th\tv2\n"), std::string::npos) << both;
    // An expired line deletes that cookie.
    const std::string left = jar(engine.get(), ".a.test\tTRUE\t/\tFALSE\t1\ts\tgone");
    EXPECT_EQ(left.find("\ts\t"), std::string::npos) << left;
    EXPECT_NE(left.find("\th\tv2"), std::string::npos) << left;
    EXPECT_EQ(jar(engine.get(), "ALL"), "");
    uint32_t code = HY_OK;
    jar(engine.get(), "a\nb", &code);
    EXPECT_EQ(code, HY_INVALID_ARGUMENT);
    uint64_t len = 0;
    EXPECT_EQ(hy_engine_cookies(nullptr, nullptr, 0, nullptr, 0, &len), HY_INVALID_ARGUMENT);
    EXPECT_EQ(hy_engine_cookies(engine.get(), nullptr, 0, nullptr, 0, nullptr), HY_INVALID_ARGUMENT);
}

TEST(EngineExtensions, NamespaceSharesOneJarAndShortBuffersGetTheLength) {
    EngineOptions o;
    o.profile_namespace = "jar-test";
    EnginePtr first = make_engine(o);
    EnginePtr second = make_engine(o);
    EnginePtr alone = make_engine();
    ASSERT_TRUE(first && second && alone);
    jar(first.get(), "x.test\tFALSE\t/\tFALSE\t0\tshared\t1");
    EXPECT_EQ(jar(second.get()), "x.test\tFALSE\t/\tFALSE\t0\tshared\t1\n");
    EXPECT_EQ(jar(alone.get()), "");
    uint8_t small[4] = {};
    uint64_t len = 0;
    EXPECT_EQ(hy_engine_cookies(second.get(), nullptr, 0, small, sizeof small, &len), HY_OK);
    EXPECT_EQ(len, 32u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(small), 4), "x.te");
}

TEST(EngineExtensions, JarCallsFromManyThreadsAtOnce) {
    EnginePtr engine = make_engine();
    ASSERT_NE(engine, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                const std::string line = "t" + std::to_string(t) + ".test\tFALSE\t/\tFALSE\t0\tc" + std::to_string(i) + "\tv";
                uint64_t len = 0;
                char buffer[64];
                EXPECT_EQ(hy_engine_cookies(engine.get(), line.data(), line.size(), reinterpret_cast<uint8_t*>(buffer),
                                            sizeof buffer, &len),
                          HY_OK);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    const std::string all = jar(engine.get());
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 200);
}

}  // namespace
}  // namespace halyard_test
