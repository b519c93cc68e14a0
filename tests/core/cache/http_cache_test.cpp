// The cache store (lookup by key, Vary and body kind; limits; LRU
// eviction) and the decision each cache mode takes for an entry.
#include <gtest/gtest.h>

#include "halyard.h"
#include "cache/http_cache.h"

namespace halyard {
namespace {

constexpr Seconds kNow = 1704067200;

std::shared_ptr<CachedResponse> entry(const std::string& key, size_t body, const std::string& head_text) {
    auto e = std::make_shared<CachedResponse>();
    e->key = key;
    e->head_block = head_text;
    e->head = parse_head(head_text);
    e->body.assign(body, 'x');
    e->times = {kNow, kNow};
    return e;
}

const std::string kPlain = "HTTP/1.1 200 OK\r\n\r\n";

TEST(HttpCache, LookupByKeyVaryAndBodyKind) {
    HttpCache cache;
    auto e = entry("https://a/x", 10, "HTTP/1.1 200 OK\r\nVary: Accept\r\n\r\n");
    e->vary = vary_values(e->head, {{"Accept", "text/html"}});
    e->decoded = true;
    ASSERT_TRUE(cache.store(e));
    EXPECT_TRUE(cache.lookup("https://a/x", {{"Accept", "text/html"}}, true));
    EXPECT_FALSE(cache.lookup("https://a/x", {{"Accept", "*/*"}}, true));
    EXPECT_FALSE(cache.lookup("https://a/x", {{"Accept", "text/html"}}, false));
    EXPECT_FALSE(cache.lookup("https://a/y", {{"Accept", "text/html"}}, true));
    cache.invalidate("https://a/x");
    EXPECT_FALSE(cache.lookup("https://a/x", {{"Accept", "text/html"}}, true));
    EXPECT_EQ(cache.total_size(), 0u);
    EXPECT_EQ(cache_key("https://a/x?q=1#frag"), "https://a/x?q=1");
}

TEST(HttpCache, LimitsAndLeastRecentlyUsedEviction) {
    const size_t unit = entry("k0", 1000, kPlain)->charge();
    HttpCache cache(3 * unit, 2 * unit);
    // Over the entry limit: refused, and the key's older entry goes too.
    ASSERT_TRUE(cache.store(entry("k0", 1000, kPlain)));
    EXPECT_FALSE(cache.store(entry("k0", 3000, kPlain)));
    EXPECT_EQ(cache.entry_count(), 0u);

    for (const char* k : {"k1", "k2", "k3"}) ASSERT_TRUE(cache.store(entry(k, 1000, kPlain)));
    EXPECT_EQ(cache.total_size(), 3 * unit);
    ASSERT_TRUE(cache.lookup("k1", {}, false));  // k2 is now the least recently used
    ASSERT_TRUE(cache.store(entry("k4", 1000, kPlain)));
    EXPECT_FALSE(cache.lookup("k2", {}, false));
    EXPECT_TRUE(cache.lookup("k1", {}, false));
    EXPECT_TRUE(cache.lookup("k3", {}, false));
    EXPECT_TRUE(cache.lookup("k4", {}, false));
    // Replacing a key counts its size once.
    ASSERT_TRUE(cache.store(entry("k4", 1000, kPlain)));
    EXPECT_EQ(cache.total_size(), 3 * unit);
    EXPECT_EQ(cache.entry_count(), 3u);
}

struct ModeCase {
    const char* name;
    uint32_t mode;
    const char* head;   // nullptr: no entry
    Seconds age;        // seconds since the entry was received
    CacheAction expected;
};

class CacheModes : public ::testing::TestWithParam<ModeCase> {};

TEST_P(CacheModes, Decision) {
    const ModeCase& c = GetParam();
    std::shared_ptr<CachedResponse> e;
    if (c.head) e = entry("k", 1, c.head);
    EXPECT_EQ(decide_cache_action(c.mode, e.get(), kNow + c.age), c.expected);
}

const char* const kFreshWithTag = "HTTP/1.1 200 OK\r\nCache-Control: max-age=60\r\nETag: \"1\"\r\n\r\n";
const char* const kFreshNoTag = "HTTP/1.1 200 OK\r\nCache-Control: max-age=60\r\n\r\n";
const char* const kNoCache = "HTTP/1.1 200 OK\r\nCache-Control: no-cache, max-age=60\r\nETag: \"1\"\r\n\r\n";

INSTANTIATE_TEST_SUITE_P(
    Modes, CacheModes,
    ::testing::Values(
        ModeCase{"default_fresh", HY_CACHE_DEFAULT, kFreshWithTag, 10, CacheAction::Serve},
        ModeCase{"default_stale_validates", HY_CACHE_DEFAULT, kFreshWithTag, 61, CacheAction::Validate},
        ModeCase{"default_stale_without_validator", HY_CACHE_DEFAULT, kFreshNoTag, 61, CacheAction::Network},
        ModeCase{"default_no_cache_validates", HY_CACHE_DEFAULT, kNoCache, 0, CacheAction::Validate},
        ModeCase{"default_empty", HY_CACHE_DEFAULT, nullptr, 0, CacheAction::Network},
        ModeCase{"validate_fresh", HY_CACHE_VALIDATE, kFreshWithTag, 0, CacheAction::Validate},
        ModeCase{"validate_without_validator", HY_CACHE_VALIDATE, kFreshNoTag, 0, CacheAction::Network},
        ModeCase{"bypass", HY_CACHE_BYPASS, kFreshWithTag, 0, CacheAction::Network},
        ModeCase{"no_store", HY_CACHE_NO_STORE, kFreshWithTag, 0, CacheAction::Network},
        ModeCase{"force_stale", HY_CACHE_FORCE, kFreshNoTag, 9999, CacheAction::Serve},
        ModeCase{"force_no_cache", HY_CACHE_FORCE, kNoCache, 0, CacheAction::Serve},
        ModeCase{"force_empty", HY_CACHE_FORCE, nullptr, 0, CacheAction::Network},
        ModeCase{"only_if_cached_stale", HY_CACHE_ONLY_IF_CACHED, kFreshNoTag, 9999, CacheAction::Serve},
        ModeCase{"only_if_cached_empty", HY_CACHE_ONLY_IF_CACHED, nullptr, 0, CacheAction::Miss}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace halyard
