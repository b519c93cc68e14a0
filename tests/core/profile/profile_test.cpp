// The profile table: brand lists per version, header values by version,
// and how profile, engine options and caller headers merge.
#include <gtest/gtest.h>

#include "profile/browser_profile.h"
#include "profile/client_hints.h"
#include "http/request_headers.h"

namespace halyard {
namespace {

struct BrandCase {
    int major;
    const char* chrome;
};

class SecChUa : public ::testing::TestWithParam<BrandCase> {};

// Values recorded from real browsers (and the worked examples of the
// algorithm), one per distinct rule.
TEST_P(SecChUa, MatchesTheBrowser) { EXPECT_EQ(sec_ch_ua("Google Chrome", GetParam().major), GetParam().chrome); }

INSTANTIATE_TEST_SUITE_P(
    Versions, SecChUa,
    ::testing::Values(
        BrandCase{99, R"(" Not A;Brand";v="99", "Chromium";v="99", "Google Chrome";v="99")"},
        BrandCase{101, R"(" Not A;Brand";v="99", "Chromium";v="101", "Google Chrome";v="101")"},
        BrandCase{103, R"(".Not/A)Brand";v="99", "Google Chrome";v="103", "Chromium";v="103")"},
        BrandCase{104, R"("Chromium";v="104", " Not A;Brand";v="99", "Google Chrome";v="104")"},
        BrandCase{110, R"("Chromium";v="110", "Not A(Brand";v="24", "Google Chrome";v="110")"},
        BrandCase{116, R"("Chromium";v="116", "Not)A;Brand";v="24", "Google Chrome";v="116")"},
        BrandCase{119, R"("Google Chrome";v="119", "Chromium";v="119", "Not?A_Brand";v="24")"},
        BrandCase{120, R"("Not_A Brand";v="8", "Chromium";v="120", "Google Chrome";v="120")"},
        BrandCase{123, R"("Google Chrome";v="123", "Not:A-Brand";v="8", "Chromium";v="123")"},
        BrandCase{124, R"("Chromium";v="124", "Google Chrome";v="124", "Not-A.Brand";v="99")"},
        BrandCase{131, R"("Google Chrome";v="131", "Chromium";v="131", "Not_A Brand";v="24")"},
        BrandCase{136, R"("Chromium";v="136", "Google Chrome";v="136", "Not.A/Brand";v="99")"},
        BrandCase{146, R"("Chromium";v="146", "Not-A.Brand";v="24", "Google Chrome";v="146")"}),
    [](const auto& info) { return std::to_string(info.param.major); });

TEST(SecChUa, EdgeTakesTheSameOrderWithItsBrand) {
    EXPECT_EQ(sec_ch_ua("Microsoft Edge", 120),
              R"("Not_A Brand";v="8", "Chromium";v="120", "Microsoft Edge";v="120")");
}

std::string value_of(const BrowserProfile& p, std::string_view name) {
    for (const auto& h : p.headers) {
        if (iequals(h.name, name)) return h.value;
    }
    return "<absent>";
}

TEST(ProfileTable, NamesAndRange) {
    for (int major : {99, 120, 146, 150, 156}) {
        for (const char* family : {"chrome_", "edge_"}) {
            auto p = find_profile(family + std::to_string(major));
            ASSERT_TRUE(p) << family << major;
            EXPECT_EQ(p->major, major);
        }
    }
    for (const char* name : {"chrome_98", "chrome_157", "edge_157", "chrome120", "Chrome_120", "chrome_", "chrome", "edge99",
                             "firefox_100", "safari", "", "chrome_120 "}) {
        EXPECT_FALSE(find_profile(name)) << name;
    }
    for (const char* name : {"firefox_133", "firefox_135", "firefox_144", "firefox_153", "safari_18_0", "safari_18_4"})
        EXPECT_TRUE(find_profile(name)) << name;
    EXPECT_EQ(profile_names().size(), 2u * 58 + 6);
}

struct VersionedValue {
    const char* profile;
    const char* header;
    const char* value;
};

class ProfileValues : public ::testing::TestWithParam<VersionedValue> {};

TEST_P(ProfileValues, ChangeWithTheVersion) {
    auto p = find_profile(GetParam().profile);
    ASSERT_TRUE(p);
    EXPECT_EQ(value_of(*p, GetParam().header), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ProfileValues,
    ::testing::Values(
        VersionedValue{"chrome_99", "User-Agent",
                       "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
                       "Chrome/99.0.4844.51 Safari/537.36"},
        VersionedValue{"chrome_120", "User-Agent",
                       "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
                       "Chrome/120.0.0.0 Safari/537.36"},
        VersionedValue{"edge_120", "User-Agent",
                       "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
                       "Chrome/120.0.0.0 Safari/537.36 Edg/120.0.0.0"},
        VersionedValue{"edge_118", "User-Agent",
                       "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
                       "Chrome/118.0.0.0 Safari/537.36 Edg/118.0.2088.76"},
        VersionedValue{"chrome_107", "Accept",
                       "text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,image/apng,"
                       "*/*;q=0.8,application/signed-exchange;v=b3;q=0.9"},
        VersionedValue{"chrome_110", "Accept",
                       "text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,image/apng,"
                       "*/*;q=0.8,application/signed-exchange;v=b3;q=0.7"},
        VersionedValue{"edge_120", "Accept",
                       "text/html,application/xhtml+xml,application/xml;q=0.9,image/webp,image/apng,*/*;q=0.8,"
                       "application/signed-exchange;v=b3;q=0.7"},
        VersionedValue{"chrome_122", "Accept-Encoding", "gzip, deflate, br"},
        VersionedValue{"chrome_123", "Accept-Encoding", "gzip, deflate, br, zstd"},
        VersionedValue{"chrome_123", "priority", "<absent>"},
        VersionedValue{"chrome_124", "priority", "u=0, i"},
        VersionedValue{"chrome_120", "sec-ch-ua-platform", "\"Windows\""},
        VersionedValue{"firefox_144", "User-Agent",
                       "Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:144.0) Gecko/20100101 Firefox/144.0"},
        VersionedValue{"firefox_144", "Accept-Language", "en-US,en;q=0.5"},
        VersionedValue{"safari_18_4", "User-Agent",
                       "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) "
                       "Version/18.4 Safari/605.1.15"},
        VersionedValue{"safari_18_4", "sec-ch-ua", "<absent>"}));

std::vector<std::string> names(const HeaderList& list) {
    std::vector<std::string> out;
    for (const auto& h : list) out.push_back(h.name);
    return out;
}

std::string find(const HeaderList& list, std::string_view name) {
    for (const auto& h : list) {
        if (iequals(h.name, name)) return h.value;
    }
    return "<absent>";
}

TEST(ComposeHeaders, ChromeOrderOnHttps) {
    auto p = find_profile("chrome_124");
    HeaderInputs in{.profile = p.get(), .url = "https://example.com/", .may_use_http2 = true};
    const HeaderList out = compose_request_headers(in, {});
    const std::vector<std::string> expected = {
        "Connection", "sec-ch-ua", "sec-ch-ua-mobile", "sec-ch-ua-platform", "Upgrade-Insecure-Requests",
        "User-Agent", "Accept", "Sec-Fetch-Site", "Sec-Fetch-Mode", "Sec-Fetch-User", "Sec-Fetch-Dest",
        "Accept-Encoding", "Accept-Language", "priority"};
    EXPECT_EQ(names(out), expected);
    // Over HTTP/1.1 only, the HTTP/2 priority header is not sent.
    in.may_use_http2 = false;
    EXPECT_EQ(find(compose_request_headers(in, {}), "priority"), "<absent>");
}

TEST(ComposeHeaders, CallerHeadersReplaceInPlaceOthersFollowInOrder) {
    auto p = find_profile("chrome_120");
    HeaderInputs in{.profile = p.get(), .url = "https://example.com/"};
    const HeaderList caller = {{"X-B", "1"}, {"accept", "application/json"}, {"X-A", "2"},
                               {"User-Agent", "mine"}, {"X-B", "3"}};
    const HeaderList out = compose_request_headers(in, caller);
    const std::vector<std::string> expected = {
        "Connection", "sec-ch-ua", "sec-ch-ua-mobile", "sec-ch-ua-platform", "Upgrade-Insecure-Requests",
        "User-Agent", "accept", "Sec-Fetch-Site", "Sec-Fetch-Mode", "Sec-Fetch-User", "Sec-Fetch-Dest",
        "Accept-Encoding", "Accept-Language", "X-B", "X-A", "X-B"};
    EXPECT_EQ(names(out), expected);
    EXPECT_EQ(find(out, "accept"), "application/json");
    EXPECT_EQ(find(out, "User-Agent"), "mine");
    EXPECT_EQ(out.back().value, "3");
}

TEST(ComposeHeaders, EngineOptionsOverrideTheProfile) {
    auto p = find_profile("firefox_144");
    HeaderInputs in{.profile = p.get(), .user_agent = "agent/1", .accept_language = "de-DE",
                    .url = "https://example.com/", .may_use_http2 = true};
    const HeaderList out = compose_request_headers(in, {});
    EXPECT_EQ(out[0], (Header{"User-Agent", "agent/1"}));
    EXPECT_EQ(out[2], (Header{"Accept-Language", "de-DE"}));
    EXPECT_EQ(out.back(), (Header{"TE", "trailers"}));
    // A caller header still wins over the engine option.
    EXPECT_EQ(find(compose_request_headers(in, {{"accept-language", "fr"}}), "Accept-Language"), "fr");
}

TEST(ComposeHeaders, InsecureContextsGetNoHintsNoFetchMetadataAndFewerEncodings) {
    auto p = find_profile("chrome_123");
    HeaderInputs in{.profile = p.get(), .url = "http://example.com/"};
    const HeaderList out = compose_request_headers(in, {});
    const std::vector<std::string> expected = {"Connection", "Upgrade-Insecure-Requests", "User-Agent", "Accept",
                                               "Accept-Encoding", "Accept-Language"};
    EXPECT_EQ(names(out), expected);
    EXPECT_EQ(find(out, "Accept-Encoding"), "gzip, deflate");
    // Loopback hosts are secure contexts even in clear.
    for (const char* url : {"http://127.0.0.1:8080/", "http://localhost/", "http://a.localhost/", "http://[::1]/"}) {
        in.url = url;
        EXPECT_EQ(find(compose_request_headers(in, {}), "Accept-Encoding"), "gzip, deflate, br, zstd") << url;
    }
    for (const char* url : {"http://127.0.0.1.example.com/", "http://10.0.0.1/", "http://localhost.com/"})
        EXPECT_FALSE(is_potentially_trustworthy(url)) << url;
}

TEST(ComposeHeaders, WithoutProfileOnlyCallerAndEngineHeaders) {
    HeaderInputs in{.user_agent = "ua", .accept_language = "de", .url = "https://example.com/"};
    const HeaderList out = compose_request_headers(in, {{"X", "1"}});
    EXPECT_EQ(out, (HeaderList{{"X", "1"}, {"Accept-Language", "de"}}));
    EXPECT_EQ(compose_request_headers(in, {{"accept-language", "fr"}}), (HeaderList{{"accept-language", "fr"}}));
}

}  // namespace
}  // namespace halyard
