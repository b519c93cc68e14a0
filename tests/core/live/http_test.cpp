// Live: plain requests, head block, content decoding, methods, HTTP
// versions, engine options and cookies against the local servers.
#include <gtest/gtest.h>

#include "live/live_fixture.h"

namespace halyard_test {
namespace {

TEST_F(Live, GetDeliversStatusHeadAndBody) {
    Recorder r;
    run({.url = http_url("/hello")}, r);
    EXPECT_EQ(r.result(), HY_OK);
    EXPECT_EQ(r.net_error(), 0);
    EXPECT_EQ(r.status(), 200);
    EXPECT_EQ(r.body(), "hello");
    const std::string head = r.head();
    EXPECT_EQ(head.rfind("HTTP/1.1 200", 0), 0u) << head;
    EXPECT_NE(head.find("\r\nx-test: one\r\n"), std::string::npos) << head;
    ASSERT_GE(head.size(), 4u);
    EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n");
    EXPECT_TRUE(r.one_callback_thread());
    EXPECT_FALSE(r.event_after_complete());
}

TEST_F(Live, HeadGetsNoBody) {
    Recorder r;
    run({.method = "HEAD", .url = http_url("/bytes/5000")}, r);
    EXPECT_EQ(r.result(), HY_OK);
    EXPECT_EQ(r.status(), 200);
    EXPECT_TRUE(r.body().empty());
    EXPECT_NE(r.head().find("content-length: 5000"), std::string::npos);
}

struct DecodingCase {
    const char* path;
};
class LiveDecoding : public Live, public ::testing::WithParamInterface<DecodingCase> {};

TEST_P(LiveDecoding, BodyIsDecodedUnlessCallerSetAcceptEncoding) {
    std::string expected;
    for (int i = 0; i < 500; ++i) expected += "compressible text ";
    Recorder decoded;
    run({.url = http_url(GetParam().path)}, decoded);
    EXPECT_EQ(decoded.result(), HY_OK);
    EXPECT_EQ(decoded.body(), expected);

    Recorder raw;
    run({.url = http_url(GetParam().path), .headers = {{"Accept-Encoding", GetParam().path + 1}}}, raw);
    EXPECT_EQ(raw.result(), HY_OK);
    EXPECT_NE(raw.body(), expected);
    EXPECT_LT(raw.body().size(), expected.size());
}
INSTANTIATE_TEST_SUITE_P(Codings, LiveDecoding, ::testing::Values(DecodingCase{"/gzip"}, DecodingCase{"/deflate"}));

TEST_F(Live, MethodsAndBodiesReachTheServer) {
    struct Case {
        std::string method;
        uint32_t kind;
        std::string body;
        std::string content_length;  // "" when none is expected
    };
    const Case cases[] = {
        {"POST", HY_BODY_BYTES, "abc", "3"},
        {"PUT", HY_BODY_BYTES, std::string(100000, 'x'), "100000"},
        {"PATCH", HY_BODY_NONE, "", "0"},
        {"DELETE", HY_BODY_NONE, "", ""},
        {"delete", HY_BODY_NONE, "", ""},
        {"FROB", HY_BODY_BYTES, "zz", "2"},
        {"post", HY_BODY_BYTES, "", "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method);
        Recorder r;
        run({.method = c.method, .url = http_url("/echo"), .body = c.body, .body_kind = c.kind}, r);
        EXPECT_EQ(r.result(), HY_OK);
        const std::string echo = r.body();
        std::string upper = c.method == "delete" ? "DELETE" : c.method == "post" ? "POST" : c.method;
        EXPECT_EQ(echo_values(echo, "method"), std::vector<std::string>{upper});
        EXPECT_EQ(echo_values(echo, "body-hash"), std::vector<std::string>{std::to_string(fnv1a(c.body))});
        auto lengths = echo_values(echo, "header: content-length");
        if (c.content_length.empty())
            EXPECT_TRUE(lengths.empty());
        else
            EXPECT_EQ(lengths, std::vector<std::string>{c.content_length});
        // curl's own POST additions are suppressed.
        EXPECT_TRUE(echo_values(echo, "header: content-type").empty());
        EXPECT_TRUE(echo_values(echo, "header: expect").empty());
    }
}

TEST_F(Live, CallerHeadersGoOutInOrderWithDuplicates) {
    Recorder r;
    run({.url = http_url("/echo"),
         .headers = {{"X-One", "1"}, {"X-Dup", "a"}, {"X-Dup", "b"}, {"X-Empty", ""}, {"User-Agent", "mine/1"}}},
        r);
    const std::string echo = r.body();
    EXPECT_EQ(echo_values(echo, "header: x-dup"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(echo_values(echo, "header: x-empty").size(), 1u);
    EXPECT_EQ(echo_values(echo, "header: user-agent"), std::vector<std::string>{"mine/1"});
}

TEST_F(Live, EngineUserAgentAndAcceptLanguageAreSent) {
    auto engine = make_engine({.user_agent = "agent/7", .accept_language = "fr-CH, fr;q=0.9"});
    ASSERT_TRUE(engine);
    Recorder r;
    run_request(engine.get(), {.url = http_url("/echo")}, r);
    ASSERT_TRUE(r.complete());
    EXPECT_EQ(echo_values(r.body(), "header: user-agent"), std::vector<std::string>{"agent/7"});
    EXPECT_EQ(echo_values(r.body(), "header: accept-language"), std::vector<std::string>{"fr-CH, fr;q=0.9"});
    // A request's own Accept-Language wins.
    Recorder own;
    run_request(engine.get(), {.url = http_url("/echo"), .headers = {{"Accept-Language", "de"}}}, own);
    EXPECT_EQ(echo_values(own.body(), "header: accept-language"), std::vector<std::string>{"de"});
    // Without options: the default agent, no Accept-Language.
    Recorder plain;
    run({.url = http_url("/echo")}, plain);
    auto agents = echo_values(plain.body(), "header: user-agent");
    ASSERT_EQ(agents.size(), 1u);
    EXPECT_EQ(agents[0].rfind("halyard/", 0), 0u);
    EXPECT_TRUE(echo_values(plain.body(), "header: accept-language").empty());
}

struct VersionCase {
    uint32_t option;
    bool tls;
    const char* expected;  // scope http_version seen by the server
};
class LiveVersion : public Live, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(LiveVersion, HttpVersionOptionIsHonoured) {
    const VersionCase c = GetParam();
    auto engine = make_engine({.http_version = c.option, .tls_verify = HY_TLS_CA_BUNDLE, .ca_bundle = servers_->ca_pem});
    ASSERT_TRUE(engine);
    Recorder r;
    run_request(engine.get(), {.url = c.tls ? https_url("/echo") : http_url("/echo")}, r);
    ASSERT_TRUE(r.complete());
    EXPECT_EQ(r.result(), HY_OK) << r.net_error();
    EXPECT_EQ(echo_values(r.body(), "version"), std::vector<std::string>{c.expected});
}
INSTANTIATE_TEST_SUITE_P(Versions, LiveVersion,
                         ::testing::Values(VersionCase{HY_HTTP_AUTO, true, "2"}, VersionCase{HY_HTTP_AUTO, false, "1.1"},
                                           VersionCase{HY_HTTP_1_1, true, "1.1"}, VersionCase{HY_HTTP_2, true, "2"},
                                           // No h2c upgrade offer: HTTP/1.1 in clear, as browsers.
                                           VersionCase{HY_HTTP_2, false, "1.1"}, VersionCase{HY_HTTP_3, true, "2"}));

TEST_F(Live, Http2HeadBlockAndMultiplexedRequests) {
    auto engine = make_engine({.tls_verify = HY_TLS_CA_BUNDLE, .ca_bundle = servers_->ca_pem});
    ASSERT_TRUE(engine);
    constexpr int kCount = 8;
    Recorder recorders[kCount];
    hy_request* requests[kCount];
    for (int i = 0; i < kCount; ++i) {
        requests[i] = make_request(engine.get(), {.url = https_url("/bytes/" + std::to_string(100000 + i))}, &recorders[i]);
        ASSERT_NE(requests[i], nullptr);
        ASSERT_EQ(hy_request_start(requests[i]), HY_OK);
    }
    for (int i = 0; i < kCount; ++i) {
        ASSERT_TRUE(recorders[i].wait_complete());
        EXPECT_EQ(recorders[i].result(), HY_OK);
        EXPECT_EQ(recorders[i].body(), pattern(100000 + static_cast<size_t>(i)));
        const std::string head = recorders[i].head();
        EXPECT_EQ(head.substr(0, head.find('\n') + 1), "HTTP/2 200\r\n") << head;
        hy_request_release(requests[i]);
    }
}

TEST_F(Live, CookiesAreKeptPerEngineAndScoped) {
    auto set = [&](const std::string& query) {
        Recorder r;
        run({.url = http_url("/cookie/set?" + query)}, r);
        EXPECT_EQ(r.result(), HY_OK);
    };
    auto sent = [&](hy_engine* engine, const std::string& path) {
        Recorder r;
        run_request(engine, {.url = http_url(path)}, r);
        EXPECT_TRUE(r.complete());
        return r.body();
    };
    set("name=root&value=1&attrs=Path%3D/");
    set("name=scoped&value=2&attrs=Path%3D/cookie/get/deep");
    set("name=gone&value=3&attrs=Path%3D/%3B%20Max-Age%3D0");

    const std::string shallow = sent(engine_.get(), "/cookie/get");
    EXPECT_NE(shallow.find("root=1"), std::string::npos) << shallow;
    EXPECT_EQ(shallow.find("scoped=2"), std::string::npos) << shallow;
    EXPECT_EQ(shallow.find("gone=3"), std::string::npos) << shallow;
    const std::string deep = sent(engine_.get(), "/cookie/get/deep");
    EXPECT_NE(deep.find("scoped=2"), std::string::npos) << deep;

    // Another engine has its own jar.
    auto other = make_engine();
    EXPECT_EQ(sent(other.get(), "/cookie/get").find("root=1"), std::string::npos);
    // The jar is scoped by host: localhost is another site than 127.0.0.1.
    Recorder r;
    run({.url = "http://localhost:" + std::to_string(servers_->http) + "/cookie/get"}, r);
    EXPECT_EQ(r.body().find("root=1"), std::string::npos);
}

}  // namespace
}  // namespace halyard_test
