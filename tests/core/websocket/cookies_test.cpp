// Cookies of the handshake: selection from the jar's lines and Set-Cookie
// values turned into jar lines.
#include <gtest/gtest.h>

#include "websocket/cookies.h"

namespace halyard {
namespace {

constexpr int64_t kCookieNow = 1'700'000'000;

const std::vector<std::string> kJar = {
    "example.com\tFALSE\t/\tFALSE\t0\thost_only\t1",
    ".example.com\tTRUE\t/\tFALSE\t0\twide\t2",
    "example.com\tFALSE\t/chat\tFALSE\t0\tchat_path\t3",
    "example.com\tFALSE\t/\tTRUE\t0\tsecure_only\t4",
    "example.com\tFALSE\t/\tFALSE\t1600000000\texpired\t5",
    "#HttpOnly_example.com\tFALSE\t/\tFALSE\t1800000000\thttp_only\t6",
    "other.org\tFALSE\t/\tFALSE\t0\tforeign\t7",
};

struct SelectCase {
    const char* name;
    const char* host;
    const char* path;
    bool secure;
    const char* expected;
};
class CookieSelection : public ::testing::TestWithParam<SelectCase> {};

TEST_P(CookieSelection, Picks) {
    const SelectCase& c = GetParam();
    EXPECT_EQ(cookie_header(kJar, c.host, c.path, c.secure, kCookieNow), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CookieSelection,
    ::testing::Values(
        SelectCase{"root_clear", "example.com", "/", false, "host_only=1; wide=2; http_only=6"},
        SelectCase{"longer_path_first", "example.com", "/chat/room", true,
                   "chat_path=3; host_only=1; wide=2; secure_only=4; http_only=6"},
        SelectCase{"path_prefix_needs_boundary", "example.com", "/chatter", false, "host_only=1; wide=2; http_only=6"},
        SelectCase{"subdomain_gets_domain_cookies_only", "ws.example.com", "/chat", true, "wide=2"},
        SelectCase{"suffix_is_not_a_subdomain", "badexample.com", "/", true, ""},
        SelectCase{"other_host", "other.org", "/", false, "foreign=7"}),
    [](const auto& info) { return std::string(info.param.name); });

struct SetCase {
    const char* name;
    const char* header;
    const char* path;
    std::optional<std::string> line;
};
class SetCookieLines : public ::testing::TestWithParam<SetCase> {};

TEST_P(SetCookieLines, Convert) {
    const SetCase& c = GetParam();
    EXPECT_EQ(jar_line_from_set_cookie(c.header, "ws.example.com", c.path, kCookieNow), c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SetCookieLines,
    ::testing::Values(
        SetCase{"session_default_path", "id=abc", "/chat/room", "ws.example.com\tFALSE\t/chat\tFALSE\t0\tid\tabc"},
        SetCase{"root_default_path", "id=abc", "/socket", "ws.example.com\tFALSE\t/\tFALSE\t0\tid\tabc"},
        SetCase{"attributes", "id=abc; Domain=.Example.com; Path=/x; Secure; HttpOnly; Max-Age=60", "/",
                "#HttpOnly_.example.com\tTRUE\t/x\tTRUE\t1700000060\tid\tabc"},
        SetCase{"expires", "id=abc; Expires=Wed, 21 Oct 2037 07:28:00 GMT", "/", "ws.example.com\tFALSE\t/\tFALSE\t2139722880\tid\tabc"},
        SetCase{"max_age_wins", "id=abc; Expires=Wed, 21 Oct 2037 07:28:00 GMT; Max-Age=10", "/", "ws.example.com\tFALSE\t/\tFALSE\t1700000010\tid\tabc"},
        SetCase{"deletion", "id=; Max-Age=0", "/", "ws.example.com\tFALSE\t/\tFALSE\t1\tid\t"},
        SetCase{"past_expires_deletes", "id=x; Expires=Thu, 01 Jan 1970 00:00:01 GMT", "/", "ws.example.com\tFALSE\t/\tFALSE\t1\tid\tx"},
        SetCase{"foreign_domain_refused", "id=abc; Domain=other.org", "/", std::nullopt},
        SetCase{"no_name_refused", "=abc", "/", std::nullopt},
        SetCase{"no_equals_refused", "abc", "/", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CookieHosts, LocalHostsCountAsSecure) {
    for (const char* host : {"localhost", "LOCALHOST", "127.0.0.1", "::1"}) EXPECT_TRUE(is_local_host(host)) << host;
    for (const char* host : {"127.0.0.2", "example.com", "localhost.example"}) EXPECT_FALSE(is_local_host(host)) << host;
}

}  // namespace
}  // namespace halyard
