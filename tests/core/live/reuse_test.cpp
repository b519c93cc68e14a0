// Live: what carries over from one request to the next on an engine, the
// paths a leak would repeat on: pooled easy handles and the shared cookie
// jar, the HTTP cache (stored answers and revalidation) and HTTP/3.  Under
// LeakSanitizer (make lsan-core) each test process must end with nothing
// lost.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "live/live_fixture.h"
#include "transport/curl_api.h"

namespace halyard_test {
namespace {

// More sequential requests than the pool keeps handles: every handle is
// given back and taken again several times.
constexpr int kSequential = 60;

TEST_F(Live, PooledHandlesKeepTheSharedCookieJarAcrossReuse) {
    Recorder set;
    run({.url = http_url("/cookie/set?name=kept&value=1&attrs=Path%3D/")}, set);
    ASSERT_EQ(set.result(), HY_OK);
    for (int i = 0; i < kSequential; ++i) {
        Recorder r;
        // A caller's own Cookie value on every other request: it joins the
        // jar's and must not stick to the handle for the next one.
        RequestOptions o{.url = http_url("/cookie/get")};
        if (i % 2 == 1) o.headers = {{"Cookie", "own=" + std::to_string(i)}};
        run(o, r);
        ASSERT_EQ(r.result(), HY_OK) << i;
        const std::string expected = i % 2 == 1 ? "kept=1; own=" + std::to_string(i) : "kept=1";
        ASSERT_EQ(r.body(), expected) << "request " << i;
    }
    // A cookie set on a reused handle reaches the jar too.
    Recorder later;
    run({.url = http_url("/cookie/set?name=later&value=2&attrs=Path%3D/")}, later);
    Recorder both;
    run({.url = http_url("/cookie/get")}, both);
    EXPECT_NE(both.body().find("kept=1"), std::string::npos) << both.body();
    EXPECT_NE(both.body().find("later=2"), std::string::npos) << both.body();
}

TEST_F(Live, StoredAnswersAndRevalidatedOnesComeFromTheCache) {
    // The server set serves the whole run: a key of this process's own.
    const std::string key = "p" + std::to_string(getpid());
    for (const bool revalidate : {false, true}) {
        const std::string url = http_url("/cached/" + key + (revalidate ? "r?revalidate=1" : "f"));
        for (int i = 0; i < 20; ++i) {
            Recorder r;
            run({.url = url}, r);
            ASSERT_EQ(r.result(), HY_OK) << url;
            EXPECT_EQ(r.status(), 200) << url;
            // One full answer only: the rest came from the store, fresh or
            // confirmed by a 304.
            ASSERT_EQ(r.body(), "answer 1") << url << " request " << i;
        }
    }
}

TEST_F(Live, Http3RequestsReuseTheirConnection) {
    if (servers_->h3 == 0) HALYARD_LIVE_UNAVAILABLE("no HTTP/3 server (aioquic missing?)");
    if (halyard::quic_curl() == nullptr) HALYARD_LIVE_UNAVAILABLE(halyard::quic_unavailable_reason());
    auto engine = make_engine({.http_version = HY_HTTP_3, .tls_verify = HY_TLS_CA_BUNDLE, .ca_bundle = servers_->ca_pem});
    ASSERT_TRUE(engine);
    const std::string url = "https://127.0.0.1:" + std::to_string(servers_->h3) + "/echo";
    for (int i = 0; i < 20; ++i) {
        Recorder r;
        run_request(engine.get(), {.url = url, .headers = {{"Cookie", "n=" + std::to_string(i)}}}, r);
        ASSERT_TRUE(r.complete());
        ASSERT_EQ(r.result(), HY_OK) << r.net_error();
        EXPECT_NE(r.body().find("\"http_version\": \"3\""), std::string::npos) << r.body();
    }
}

}  // namespace
}  // namespace halyard_test
