// Named engine options: what each name takes, what is refused, and what
// makes two engines' connections differ.
#include <gtest/gtest.h>

#include "api/engine_options.h"
#include "halyard.h"

namespace halyard {
namespace {

TEST(EngineOptions, EveryNameRead) {
    ::halyard::EngineOptions o;
    ASSERT_EQ(read_engine_options("max_connections=3\nmax_connections_per_host=2\nmax_keepalive_connections=9\n"
                                  "keepalive_expiry_ms=1500\nresolve=a.test:443:127.0.0.1\n"
                                  "resolve=b.test:80:[::1]\nip_version=6\ndoh_url=https://dns.test/q\n",
                                  o),
              HY_OK);
    EXPECT_EQ(o.max_connections, 3);
    EXPECT_EQ(o.max_connections_per_host, 2);
    EXPECT_EQ(o.max_keepalive_connections, 9);
    EXPECT_EQ(o.keepalive_expiry_ms, 1500);
    EXPECT_EQ(o.resolve, (std::vector<std::string>{"a.test:443:127.0.0.1", "b.test:80:[::1]"}));
    ASSERT_NE(o.resolve_list, nullptr);
    EXPECT_STREQ(o.resolve_list->next->data, "b.test:80:[::1]");
    EXPECT_EQ(o.ip_resolve, CURL_IPRESOLVE_V6);
    EXPECT_EQ(o.doh_url, "https://dns.test/q");
}

TEST(EngineOptions, NoneGiveTheDefaults) {
    ::halyard::EngineOptions o;
    o.max_connections = 5;
    ASSERT_EQ(read_engine_options("", o), HY_OK);
    EXPECT_EQ(o.max_connections, 0);
    EXPECT_EQ(o.max_connections_per_host, 6);
    EXPECT_EQ(o.keepalive_expiry_ms, -1);
    EXPECT_EQ(o.resolve_list, nullptr);
    EXPECT_EQ(o.group_key(), ::halyard::EngineOptions{}.group_key());
}

class EngineOptionsRefused : public ::testing::TestWithParam<const char*> {};

TEST_P(EngineOptionsRefused, InvalidArgument) {
    ::halyard::EngineOptions o;
    EXPECT_EQ(read_engine_options(GetParam(), o), HY_INVALID_ARGUMENT) << GetParam();
}

INSTANTIATE_TEST_SUITE_P(Texts, EngineOptionsRefused,
                         ::testing::Values("unknown=1", "max_connections", "max_connections=0",
                                           "max_connections=-1", "max_connections=2x",
                                           "max_connections_per_host=1000001", "keepalive_expiry_ms=86400001",
                                           "ip_version=5", "doh_url=http://dns.test/", "doh_url=https://a b",
                                           "resolve=a.test:443", "resolve=a.test:0:1.2.3.4",
                                           "resolve=a.test:x:1.2.3.4", "resolve=:443:1.2.3.4",
                                           "resolve=a.test:443:", "resolve=a b:443:1.2.3.4",
                                           "resolve=a.test:443:1.2.3.4,5.6.7.8", "resolve=[::1:443:1.2.3.4"));

TEST(EngineOptions, GroupKeyTellsConnectionSettingsApart) {
    ::halyard::EngineOptions a, b;
    ASSERT_EQ(read_engine_options("resolve=a.test:443:127.0.0.1", a), HY_OK);
    ASSERT_EQ(read_engine_options("resolve=a.test:443:127.0.0.2", b), HY_OK);
    EXPECT_NE(a.group_key(), b.group_key());
    ASSERT_EQ(read_engine_options("max_connections_per_host=2", b), HY_OK);
    EXPECT_NE(b.group_key(), ::halyard::EngineOptions{}.group_key());
}

}  // namespace
}  // namespace halyard
