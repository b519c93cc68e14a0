// Live: proxy passwords and URL credentials never appear in what the Core
// reports (redirect records, response heads), whichever way they were given.
#include <gtest/gtest.h>

#include "live/live_fixture.h"

namespace halyard_test {
namespace {

// "secret" and the Basic credentials that carry it ("user:secret").
bool holds_secret(const std::string& text) {
    return text.find("secret") != std::string::npos || text.find("dXNlcjpzZWNyZXQ=") != std::string::npos;
}

std::string redirect_to(const std::string& target) {
    std::string encoded;
    for (char c : target) encoded += (c == ':' ? std::string("%3A") : c == '/' ? std::string("%2F") : std::string(1, c));
    return "/redirect?status=302&to=" + encoded;
}

TEST_F(Live, CredentialsNeverAppearInRedirectRecordsOrHeads) {
    if (servers_->proxy == 0) HALYARD_LIVE_UNAVAILABLE("no proxy server (pproxy) available");
    const std::string proxy = "127.0.0.1:" + std::to_string(servers_->proxy);
    const std::string other_origin = "http://localhost:" + std::to_string(servers_->http) + "/hello";
    const EngineOptions engines[] = {
        {.proxy = "http://" + proxy, .proxy_username = "user", .proxy_password = "secret"},
        {.proxy = "http://user:secret@" + proxy},
        {},
    };
    for (const EngineOptions& o : engines) {
        auto engine = make_engine(o);
        ASSERT_TRUE(engine);
        for (const std::string& target : {std::string("/hello"), other_origin}) {
            SCOPED_TRACE(o.proxy + " -> " + target);
            // The request URL carries credentials of its own as well.
            std::string url = http_url(redirect_to(target));
            url.replace(url.find("://") + 3, 0, "user:secret@");
            Recorder r;
            run_request(engine.get(), {.url = url}, r);
            ASSERT_TRUE(r.complete());
            EXPECT_EQ(r.result(), HY_OK) << r.net_error();
            ASSERT_EQ(r.redirects().size(), 1u);
            for (const RedirectSeen& hop : r.redirects()) {
                EXPECT_FALSE(holds_secret(hop.url)) << hop.url;
                EXPECT_FALSE(holds_secret(hop.raw)) << hop.raw;
            }
            EXPECT_FALSE(holds_secret(r.head())) << r.head();
            EXPECT_EQ(r.body(), "hello");
        }
    }
}

}  // namespace
}  // namespace halyard_test
