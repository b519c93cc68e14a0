// Live: redirects in the three modes, the browser rules for method, body
// and headers, and the limits.
#include <gtest/gtest.h>

#include <thread>

#include "live/live_fixture.h"

namespace halyard_test {
namespace {

std::string redirect_path(int status, const std::string& to) {
    std::string encoded;
    for (char c : to) {
        if (c == ':') encoded += "%3A";
        else if (c == '/') encoded += "%2F";
        else if (c == '?') encoded += "%3F";
        else if (c == '=') encoded += "%3D";
        else if (c == '&') encoded += "%26";
        else encoded += c;
    }
    return "/redirect?status=" + std::to_string(status) + "&to=" + encoded;
}

TEST_F(Live, FollowModeReportsEachHopThenTheFinalResponse) {
    Recorder r;
    run({.url = http_url("/chain/3")}, r);
    EXPECT_EQ(r.result(), HY_OK);
    EXPECT_EQ(r.status(), 200);
    EXPECT_EQ(r.body(), "end of chain");
    const auto hops = r.redirects();
    ASSERT_EQ(hops.size(), 3u);
    for (size_t i = 0; i < hops.size(); ++i) {
        EXPECT_EQ(hops[i].status, 302);
        EXPECT_EQ(hops[i].url, http_url("/chain/" + std::to_string(2 - i)));
        EXPECT_EQ(hops[i].method, "GET");
        EXPECT_EQ(hops[i].raw.rfind("HTTP/1.1 302", 0), 0u);
        EXPECT_NE(hops[i].raw.find("\r\nlocation: /chain/" + std::to_string(2 - i) + "\r\n"), std::string::npos);
        EXPECT_EQ(hops[i].raw.substr(hops[i].raw.size() - 4), "\r\n\r\n");
    }
}

TEST_F(Live, TwentyHopsAreFollowedTheTwentyFirstFails) {
    Recorder ok;
    run({.url = http_url("/chain/20")}, ok);
    EXPECT_EQ(ok.result(), HY_OK);
    EXPECT_EQ(ok.redirects().size(), 20u);
    Recorder too_many;
    run({.url = http_url("/chain/21")}, too_many);
    EXPECT_EQ(too_many.result(), HY_REDIRECT);
    EXPECT_EQ(too_many.net_error(), -310);
    EXPECT_EQ(too_many.redirects().size(), 20u);
    EXPECT_EQ(too_many.status(), 0);  // no on_response for the 21st 3xx
}

TEST_F(Live, ErrorModeFailsAtTheFirstRedirect) {
    Recorder r;
    run({.url = http_url("/chain/2"), .redirect_mode = HY_REDIRECT_ERROR}, r);
    EXPECT_EQ(r.result(), HY_REDIRECT);
    EXPECT_EQ(r.net_error(), -2);
    EXPECT_TRUE(r.redirects().empty());
    EXPECT_EQ(r.status(), 0);
}

TEST_F(Live, ManualModeWaitsForFollowAtEachHop) {
    Recorder r;
    hy_request* request = make_request(engine_.get(), {.url = http_url("/chain/2"), .redirect_mode = HY_REDIRECT_MANUAL}, &r);
    EXPECT_EQ(hy_request_follow_redirect(request), HY_INVALID_STATE);  // not started
    ASSERT_EQ(hy_request_start(request), HY_OK);
    for (size_t hop = 1; hop <= 2; ++hop) {
        ASSERT_TRUE(r.wait_redirects(hop));
        std::this_thread::sleep_for(30ms);
        // Deferred: no response, nothing further until follow.
        EXPECT_EQ(r.redirects().size(), hop);
        EXPECT_EQ(r.status(), 0);
        EXPECT_FALSE(r.complete());
        EXPECT_EQ(hy_request_follow_redirect(request), HY_OK);
    }
    // One follow per hop: after the last one no redirect is waiting (an
    // earlier hop's second follow could meet the next hop's redirect).
    EXPECT_EQ(hy_request_follow_redirect(request), HY_INVALID_STATE);
    ASSERT_TRUE(r.wait_complete());
    EXPECT_EQ(r.result(), HY_OK);
    EXPECT_EQ(r.body(), "end of chain");
    EXPECT_EQ(r.redirects()[1].url, http_url("/chain/0"));
    EXPECT_EQ(hy_request_follow_redirect(request), HY_INVALID_STATE);  // nothing deferred
    hy_request_release(request);
}

TEST_F(Live, ManualModeRedirectEndsByCancelOrTimeout) {
    Recorder canceled;
    hy_request* request =
        make_request(engine_.get(), {.url = http_url("/chain/1"), .redirect_mode = HY_REDIRECT_MANUAL}, &canceled);
    ASSERT_EQ(hy_request_start(request), HY_OK);
    ASSERT_TRUE(canceled.wait_redirects(1));
    EXPECT_EQ(hy_request_cancel(request), HY_OK);
    ASSERT_TRUE(canceled.wait_complete());
    EXPECT_EQ(canceled.result(), HY_CANCELED);
    EXPECT_EQ(hy_request_follow_redirect(request), HY_INVALID_STATE);
    hy_request_release(request);

    Recorder timed;
    run({.url = http_url("/chain/1"), .redirect_mode = HY_REDIRECT_MANUAL, .timeout_ms = 200}, timed);
    EXPECT_EQ(timed.result(), HY_TIMEOUT);
    EXPECT_EQ(timed.redirects().size(), 1u);

    // Released while waiting for follow: cancelled, one on_complete.
    Recorder released;
    request = make_request(engine_.get(), {.url = http_url("/chain/1"), .redirect_mode = HY_REDIRECT_MANUAL}, &released);
    ASSERT_EQ(hy_request_start(request), HY_OK);
    ASSERT_TRUE(released.wait_redirects(1));
    hy_request_release(request);
    ASSERT_TRUE(released.wait_complete());
    EXPECT_EQ(released.result(), HY_CANCELED);
}

struct MethodCase {
    int status;
    std::string method;
    uint32_t body_kind;
    std::string next_method;
    bool body_kept;
};
class LiveRedirectMethod : public Live, public ::testing::WithParamInterface<MethodCase> {};

TEST_P(LiveRedirectMethod, MethodAndBodyFollowBrowserRules) {
    const MethodCase c = GetParam();
    Recorder r;
    run({.method = c.method,
         .url = http_url(redirect_path(c.status, "/echo")),
         .headers = {{"Content-Type", "text/plain"}, {"X-Keep", "1"}},
         .body = c.body_kind == HY_BODY_BYTES ? "payload" : "",
         .body_kind = c.body_kind},
        r);
    EXPECT_EQ(r.result(), HY_OK);
    ASSERT_EQ(r.redirects().size(), 1u);
    EXPECT_EQ(r.redirects()[0].method, c.next_method);
    EXPECT_EQ(r.redirects()[0].url, http_url("/echo"));
    const std::string echo = r.body();
    if (c.next_method != "HEAD") {
        EXPECT_EQ(echo_values(echo, "method"), std::vector<std::string>{c.next_method});
        EXPECT_EQ(echo_values(echo, "body-length"), std::vector<std::string>{c.body_kept ? "7" : "0"});
        EXPECT_EQ(echo_values(echo, "header: content-type").size(), c.body_kept ? 1u : 0u);
        EXPECT_EQ(echo_values(echo, "header: x-keep"), std::vector<std::string>{"1"});
    }
}
INSTANTIATE_TEST_SUITE_P(
    Rules, LiveRedirectMethod,
    ::testing::Values(MethodCase{301, "POST", HY_BODY_BYTES, "GET", false}, MethodCase{302, "POST", HY_BODY_BYTES, "GET", false},
                      MethodCase{302, "PUT", HY_BODY_BYTES, "PUT", true}, MethodCase{303, "PUT", HY_BODY_BYTES, "GET", false},
                      MethodCase{303, "DELETE", HY_BODY_NONE, "GET", false}, MethodCase{303, "HEAD", HY_BODY_NONE, "HEAD", false},
                      MethodCase{307, "POST", HY_BODY_BYTES, "POST", true}, MethodCase{308, "PATCH", HY_BODY_BYTES, "PATCH", true}));

TEST_F(Live, StreamedBodyCannotBeResentFor307) {
    Recorder r;
    hy_request* request =
        make_request(engine_.get(), {.method = "POST", .url = http_url(redirect_path(307, "/echo")), .body_kind = HY_BODY_STREAM}, &r);
    ASSERT_EQ(hy_request_start(request), HY_OK);
    ASSERT_EQ(hy_request_upload_write(request, reinterpret_cast<const uint8_t*>("abc"), 3, 1), HY_OK);
    ASSERT_TRUE(r.wait_complete());
    EXPECT_EQ(r.result(), HY_REDIRECT);
    EXPECT_EQ(r.net_error(), -25);
    hy_request_release(request);

    // A 303 drops the streamed body, so the GET goes ahead.
    Recorder dropped;
    request = make_request(engine_.get(), {.method = "POST", .url = http_url(redirect_path(303, "/echo")), .body_kind = HY_BODY_STREAM}, &dropped);
    ASSERT_EQ(hy_request_start(request), HY_OK);
    ASSERT_EQ(hy_request_upload_write(request, reinterpret_cast<const uint8_t*>("abc"), 3, 1), HY_OK);
    ASSERT_TRUE(dropped.wait_complete());
    EXPECT_EQ(dropped.result(), HY_OK);
    EXPECT_EQ(echo_values(dropped.body(), "method"), std::vector<std::string>{"GET"});
    hy_request_release(request);
}

TEST_F(Live, AuthorizationIsDroppedWhenTheOriginChanges) {
    const std::string other_origin = "http://localhost:" + std::to_string(servers_->http) + "/echo";
    struct Case {
        std::string target;
        bool kept;
    };
    for (const Case& c : {Case{"/echo", true}, Case{other_origin, false}}) {
        SCOPED_TRACE(c.target);
        Recorder r;
        run({.url = http_url(redirect_path(302, c.target)), .headers = {{"Authorization", "Bearer t"}}}, r);
        EXPECT_EQ(r.result(), HY_OK);
        EXPECT_EQ(echo_values(r.body(), "header: authorization").size(), c.kept ? 1u : 0u);
    }
}

TEST_F(Live, BadRedirectTargetsFail) {
    struct Case {
        std::string location;
        int32_t net_error;
    };
    for (const Case& c : {Case{"ftp://127.0.0.1/file", -311}, Case{"mailto:someone@example.com", -311},
                          Case{"http://[bad", -303}}) {
        SCOPED_TRACE(c.location);
        Recorder r;
        run({.url = http_url(redirect_path(302, c.location))}, r);
        EXPECT_EQ(r.result(), HY_REDIRECT);
        EXPECT_EQ(r.net_error(), c.net_error);
        EXPECT_TRUE(r.redirects().empty());
    }
}

TEST_F(Live, CookieSetByRedirectReachesTheNextHop) {
    Recorder r;
    run({.url = http_url(redirect_path(302, "/cookie/get"))}, r);
    EXPECT_EQ(r.result(), HY_OK);
    EXPECT_NE(r.body().find("hop=1"), std::string::npos) << r.body();
}

TEST_F(Live, OtherThreeHundredsAreOrdinaryResponses) {
    for (int status : {300, 304, 305}) {
        Recorder r;
        run({.url = http_url("/status/" + std::to_string(status))}, r);
        EXPECT_EQ(r.result(), HY_OK);
        EXPECT_EQ(r.status(), status);
        EXPECT_TRUE(r.redirects().empty());
    }
}

}  // namespace
}  // namespace halyard_test
