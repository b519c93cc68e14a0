// Caching rules: directive parsing, freshness arithmetic, storability,
// Vary matching, 304 merging and the cache mode a request really gets.
#include <gtest/gtest.h>

#include "cache/cache_policy.h"
#include "halyard.h"

namespace halyard {
namespace {

// 2024-01-01 00:00:00 UTC and HTTP dates relative to it.
constexpr Seconds kT0 = 1704067200;
const char* const kDateT0 = "Mon, 01 Jan 2024 00:00:00 GMT";

ParsedHead head_with(std::vector<std::pair<std::string, std::string>> fields, int status = 200) {
    ParsedHead h;
    h.status = status;
    h.status_line = "HTTP/1.1 " + std::to_string(status) + " X";
    h.fields = std::move(fields);
    return h;
}

TEST(CacheControl, Directives) {
    struct Case {
        const char* value;
        bool no_store, no_cache, marked;
        std::optional<Seconds> max_age;
    };
    const Case cases[] = {
        {"max-age=60", false, false, false, 60},
        {"MAX-AGE=\"60\", Private", false, false, true, 60},
        {"no-store, no-cache", true, true, false, std::nullopt},
        {"public, max-age=abc", false, false, true, 0},           // invalid: stale
        {"max-age=10, max-age=20", false, false, false, 0},        // duplicated: stale
        {"max-age=99999999999", false, false, false, 2147483647},  // saturates
        {"community=\"UCI,no-store\"", false, false, false, std::nullopt},
        {"", false, false, false, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        const CacheControl cc = parse_cache_control(c.value);
        EXPECT_EQ(cc.no_store, c.no_store);
        EXPECT_EQ(cc.no_cache, c.no_cache);
        EXPECT_EQ(cc.public_or_private, c.marked);
        EXPECT_EQ(cc.max_age, c.max_age);
    }
}

TEST(HttpDate, ThreeFormatsAndGarbage) {
    EXPECT_EQ(parse_http_date("Mon, 01 Jan 2024 00:00:00 GMT"), kT0);
    EXPECT_EQ(parse_http_date("Monday, 01-Jan-24 00:00:00 GMT"), kT0);
    EXPECT_EQ(parse_http_date("Mon Jan  1 00:00:00 2024"), kT0);
    EXPECT_EQ(parse_http_date("0"), std::nullopt);
    EXPECT_EQ(parse_http_date(""), std::nullopt);
}

struct FreshnessCase {
    const char* name;
    std::vector<std::pair<std::string, std::string>> fields;
    int status;
    Seconds lifetime;
};

class Freshness : public ::testing::TestWithParam<FreshnessCase> {};

TEST_P(Freshness, Lifetime) {
    const StoredTimes times{kT0, kT0};
    EXPECT_EQ(freshness_lifetime(head_with(GetParam().fields, GetParam().status), times), GetParam().lifetime);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Freshness,
    ::testing::Values(
        FreshnessCase{"max_age_wins_over_expires",
                      {{"Date", kDateT0}, {"Expires", "Mon, 01 Jan 2024 01:00:00 GMT"}, {"Cache-Control", "max-age=5"}},
                      200, 5},
        FreshnessCase{"s_maxage_ignored", {{"Cache-Control", "s-maxage=50"}}, 200, 0},
        FreshnessCase{"expires_minus_date", {{"Date", kDateT0}, {"Expires", "Mon, 01 Jan 2024 01:00:00 GMT"}}, 200,
                      3600},
        FreshnessCase{"expires_in_the_past", {{"Date", kDateT0}, {"Expires", "Sun, 31 Dec 2023 00:00:00 GMT"}}, 200,
                      0},
        FreshnessCase{"invalid_expires_is_expired",
                      {{"Expires", "0"}, {"Last-Modified", "Sun, 01 Jan 2023 00:00:00 GMT"}}, 200, 0},
        FreshnessCase{"heuristic_tenth_of_age",
                      {{"Date", kDateT0}, {"Last-Modified", "Sat, 23 Dec 2023 00:00:00 GMT"}}, 200, 9 * 86400 / 10},
        FreshnessCase{"heuristic_only_for_listed_statuses",
                      {{"Date", kDateT0}, {"Last-Modified", "Sat, 23 Dec 2023 00:00:00 GMT"}}, 500, 0},
        FreshnessCase{"heuristic_404", {{"Date", kDateT0}, {"Last-Modified", "Sun, 31 Dec 2023 00:00:00 GMT"}}, 404,
                      8640},
        FreshnessCase{"last_modified_in_the_future",
                      {{"Date", kDateT0}, {"Last-Modified", "Tue, 02 Jan 2024 00:00:00 GMT"}}, 200, 0},
        FreshnessCase{"nothing", {}, 200, 0}),
    [](const auto& info) { return info.param.name; });

TEST(Freshness, CurrentAgeFollowsRfc9111) {
    // Sent at T0, received 2 s later; Date 10 s before receipt; Age 3.
    const StoredTimes times{kT0, kT0 + 2};
    const ParsedHead h = head_with({{"Date", "Sun, 31 Dec 2023 23:59:52 GMT"}, {"Age", "3"}});
    // apparent age 10 beats corrected age 3 + 2; plus 100 s resident.
    EXPECT_EQ(current_age(h, times, kT0 + 102), 110);
    // Without Date the receipt time stands in: age is Age plus the delay.
    EXPECT_EQ(current_age(head_with({{"Age", "3"}}), times, kT0 + 2), 5);
    // A clock behind the response time never gives a negative age.
    EXPECT_EQ(current_age(head_with({}), times, kT0), 2);
}

TEST(Storable, Rules) {
    EXPECT_TRUE(is_storable(head_with({})));                               // heuristically cacheable
    EXPECT_FALSE(is_storable(head_with({}, 500)));                         // no freshness information
    EXPECT_TRUE(is_storable(head_with({{"Cache-Control", "max-age=1"}}, 500)));
    EXPECT_TRUE(is_storable(head_with({{"Expires", "0"}}, 302)));          // 302 without Location
    EXPECT_FALSE(is_storable(head_with({{"Cache-Control", "max-age=1"}, {"Location", "/x"}}, 302)));
    EXPECT_FALSE(is_storable(head_with({{"Cache-Control", "max-age=1, no-store"}})));
    EXPECT_FALSE(is_storable(head_with({{"Vary", "Accept, *"}})));
    EXPECT_FALSE(is_storable(head_with({{"Cache-Control", "max-age=1"}}, 206)));
    EXPECT_FALSE(is_storable(head_with({}, 304)));
}

TEST(Vary, MatchingByRequestValues) {
    const ParsedHead h = head_with({{"Vary", "Accept-Encoding, x-mode"}, {"vary", "Cookie"}});
    const HeaderList request = {{"accept-encoding", "gzip,  br"}, {"X-Mode", "a"}};
    const VaryValues stored = vary_values(h, request);
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_TRUE(vary_matches(stored, request));
    EXPECT_TRUE(vary_matches(stored, {{"X-Mode", "a"}, {"Accept-Encoding", "gzip, br"}}));
    EXPECT_FALSE(vary_matches(stored, {{"Accept-Encoding", "gzip"}, {"X-Mode", "a"}}));
    // Absent matches absent only.
    EXPECT_FALSE(vary_matches(stored, {{"Accept-Encoding", "gzip, br"}, {"X-Mode", "a"}, {"Cookie", "k=v"}}));
    EXPECT_FALSE(vary_matches(stored, {{"Accept-Encoding", "gzip, br"}}));
    EXPECT_TRUE(vary_matches({}, {{"Anything", "1"}}));
}

TEST(Validation, HeadersAndNotModifiedMerge) {
    const ParsedHead stored = parse_head(
        "HTTP/1.1 200 OK\r\nETag: \"v1\"\r\nContent-Length: 5\r\nCache-Control: max-age=1\r\n"
        "X-Old: a\r\nX-Old: b\r\nLast-Modified: Sun, 31 Dec 2023 00:00:00 GMT\r\n\r\n");
    EXPECT_EQ(validation_headers(stored),
              (HeaderList{{"If-None-Match", "\"v1\""}, {"If-Modified-Since", "Sun, 31 Dec 2023 00:00:00 GMT"}}));
    EXPECT_TRUE(validation_headers(head_with({{"Cache-Control", "max-age=1"}})).empty());

    const ParsedHead fresh = parse_head(
        "HTTP/2 304\r\ncache-control: max-age=100\r\ncontent-length: 0\r\nx-old: c\r\nx-new: d\r\n\r\n");
    const ParsedHead merged = merge_not_modified(stored, fresh);
    EXPECT_EQ(merged.block(),
              "HTTP/1.1 200 OK\r\nETag: \"v1\"\r\nContent-Length: 5\r\ncache-control: max-age=100\r\n"
              "x-old: c\r\nLast-Modified: Sun, 31 Dec 2023 00:00:00 GMT\r\nx-new: d\r\n\r\n");
}

TEST(ParsedHead, FoldedLinesAndCombinedValues) {
    const ParsedHead h = parse_head("HTTP/1.1 404 Not Found\r\nA: 1\r\n  more\r\nB:2\r\nb: 3\r\n\r\ntrailing");
    EXPECT_EQ(h.status, 404);
    EXPECT_EQ(h.get("a"), "1 more");
    EXPECT_EQ(h.get("B"), "2, 3");
    EXPECT_EQ(h.get("C"), std::nullopt);
}

TEST(CacheMode, CallerHeadersChangeOnlyTheDefaultMode) {
    struct Case {
        HeaderList headers;
        uint32_t expected;
    };
    const Case cases[] = {
        {{{"If-None-Match", "\"x\""}}, HY_CACHE_NO_STORE},
        {{{"Range", "bytes=0-1"}}, HY_CACHE_NO_STORE},
        {{{"Cache-Control", "no-store"}}, HY_CACHE_NO_STORE},
        {{{"cache-control", "No-Cache"}}, HY_CACHE_BYPASS},
        {{{"Pragma", "no-cache"}}, HY_CACHE_BYPASS},
        {{{"Cache-Control", "max-age=0"}}, HY_CACHE_VALIDATE},
        {{{"Cache-Control", "max-age=5"}}, HY_CACHE_DEFAULT},
        {{}, HY_CACHE_DEFAULT},
    };
    for (const Case& c : cases) EXPECT_EQ(effective_cache_mode(HY_CACHE_DEFAULT, c.headers), c.expected);
    EXPECT_EQ(effective_cache_mode(HY_CACHE_FORCE, {{"Pragma", "no-cache"}}), HY_CACHE_FORCE);
}

}  // namespace
}  // namespace halyard
