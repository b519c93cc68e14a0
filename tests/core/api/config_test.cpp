// Validation of the configuration records at the C interface: every field
// is checked, and refusals carry the documented result code.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <cstring>
#include <functional>

#include "api/config.h"
#include "halyard.h"
#include "support/client.h"
#include "api/version.h"

namespace halyard {
namespace {

using halyard_test::engine_config;
using halyard_test::EngineOptions;

// The first lines of a certificate, cut short.
const char kPem[] =
    "-----BEGIN CERTIFICATE-----\n"
    "MIIBhTCCASugAwIBAgIUKk4PPx3PWEYUFHbySeVw2hF/w8cwCgYIKoZIzj0EAwIw\n"
    "GDEWMBQGA1UEAwwNaGFseWFyZC10ZXN0MB4XDTI0MDEwMTAwMDAwMFoXDTQ0MDEw\n"
    "MTAwMDAwMFowGDEWMBQGA1UEAwwNaGFseWFyZC10ZXN0MFkwEwYHKoZIzj0CAQYI\n"
    "KoZIzj0DAQcDQgAEYkTgHfh8lJ2V2WC0p3L0Jc5lJUYvHf7s9lUj+ySAdm6x0Zv5\n"
    "x2WqUJxVbM6lFx8y4kR2Qz4uQFJ2vWm3o8cTUaNTMFEwHQYDVR0OBBYEFF8g0gkA\n"
    "-----END CERTIFICATE-----\n";

struct EngineCase {
    const char* name;
    std::function<void(EngineConfig&)> change;
    uint32_t expected;
};

class EngineRecord : public ::testing::TestWithParam<EngineCase> {};

TEST_P(EngineRecord, Validation) {
    EngineConfig c = engine_config({});
    GetParam().change(c);
    EngineSettings s;
    EXPECT_EQ(read_engine_config(&c, s), GetParam().expected);
}

#define TEXT(field, value)                                       \
    [](EngineConfig& c) {                                        \
        static const std::string v = value;                      \
        c.field = v.data();                                      \
        c.field##_len = v.size();                                \
    }

INSTANTIATE_TEST_SUITE_P(
    Fields, EngineRecord,
    ::testing::Values(
        EngineCase{"defaults", [](EngineConfig&) {}, HY_OK},
        EngineCase{"other_abi", [](EngineConfig& c) { c.abi = 7; }, HY_UNSUPPORTED_ABI},
        EngineCase{"short_size", [](EngineConfig& c) { c.size = sizeof(EngineConfig) - 8; }, HY_INVALID_ARGUMENT},
        EngineCase{"long_size", [](EngineConfig& c) { c.size = sizeof(EngineConfig) + 8; }, HY_INVALID_ARGUMENT},
        EngineCase{"null_text_with_length", [](EngineConfig& c) { c.user_agent_len = 3; }, HY_INVALID_ARGUMENT},
        EngineCase{"null_namespace_with_length", [](EngineConfig& c) { c.profile_namespace_len = 1; }, HY_INVALID_ARGUMENT},
        EngineCase{"null_bundle_with_length", [](EngineConfig& c) { c.ca_bundle_len = 1; }, HY_INVALID_ARGUMENT},
        EngineCase{"user_agent", TEXT(user_agent, "agent/1"), HY_OK},
        EngineCase{"user_agent_crlf", TEXT(user_agent, "a\r\nInjected: 1"), HY_INVALID_ARGUMENT},
        EngineCase{"accept_language_lf", TEXT(accept_language, "en\nX: y"), HY_INVALID_ARGUMENT},
        EngineCase{"proxy_socks5h", TEXT(proxy, "socks5h://127.0.0.1:1080"), HY_OK},
        EngineCase{"proxy_https", TEXT(proxy, "https://proxy.test:443"), HY_OK},
        EngineCase{"proxy_without_scheme", TEXT(proxy, "127.0.0.1:3128"), HY_OK},
        EngineCase{"proxy_ftp", TEXT(proxy, "ftp://127.0.0.1:21"), HY_INVALID_ARGUMENT},
        EngineCase{"proxy_socks4", TEXT(proxy, "socks4://127.0.0.1:1080"), HY_INVALID_ARGUMENT},
        EngineCase{"proxy_unparsable", TEXT(proxy, "http://[::1"), HY_INVALID_ARGUMENT},
        EngineCase{"credentials_without_proxy", TEXT(proxy_username, "u"), HY_INVALID_ARGUMENT},
        EngineCase{"cache_flag_2", [](EngineConfig& c) { c.cache_disabled = 2; }, HY_INVALID_ARGUMENT},
        EngineCase{"cache_off", [](EngineConfig& c) { c.cache_disabled = 1; }, HY_OK},
        EngineCase{"http_version_3", [](EngineConfig& c) { c.http_version = HY_HTTP_3; }, HY_OK},
        EngineCase{"http_version_4", [](EngineConfig& c) { c.http_version = 4; }, HY_INVALID_ARGUMENT},
        EngineCase{"tls_mode_3", [](EngineConfig& c) { c.tls_verify = 3; }, HY_INVALID_ARGUMENT},
        EngineCase{"bundle_garbage", [](EngineConfig& c) {
                       static const std::string v = "garbage";
                       c.tls_verify = HY_TLS_CA_BUNDLE;
                       c.ca_bundle = reinterpret_cast<const uint8_t*>(v.data());
                       c.ca_bundle_len = v.size();
                   }, HY_INVALID_ARGUMENT},
        EngineCase{"bundle_empty", [](EngineConfig& c) { c.tls_verify = HY_TLS_CA_BUNDLE; }, HY_OK},
        EngineCase{"garbage_bundle_ignored_without_mode_1", [](EngineConfig& c) {
                       static const std::string v = "garbage";
                       c.tls_verify = HY_TLS_NO_VERIFY;
                       c.ca_bundle = reinterpret_cast<const uint8_t*>(v.data());
                       c.ca_bundle_len = v.size();
                   }, HY_OK},
        EngineCase{"profile_and_namespace", [](EngineConfig& c) {
                       static const std::string p = "chrome_120", n = "ns";
                       c.impersonate = p.data();
                       c.impersonate_len = p.size();
                       c.profile_namespace = n.data();
                       c.profile_namespace_len = n.size();
                   }, HY_OK}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EngineRecord, StoredValues) {
    const EngineOptions options{.proxy = "127.0.0.1:3128", .proxy_username = "u", .proxy_password = "p"};
    EngineConfig c = engine_config(options);  // points into options
    static const std::string profile = "chrome_120";
    c.impersonate = profile.data();
    c.impersonate_len = profile.size();
    EngineSettings s;
    ASSERT_EQ(read_engine_config(&c, s), HY_OK);
    EXPECT_EQ(s.proxy, "http://127.0.0.1:3128");
    EXPECT_EQ(s.proxy_scheme, "http");
    EXPECT_TRUE(s.proxy_credentials);
    EXPECT_EQ(s.impersonate, "chrome_120");
    EXPECT_EQ(s.user_agent, default_user_agent());
}

TEST(TrustStore, GarbledBlockIsRefusedEmptyBundleTrustsNothing) {
    // A PEM block whose base64 is cut short parses as no certificate.
    EXPECT_EQ(TrustStore::from_pem(reinterpret_cast<const uint8_t*>(kPem), std::strlen(kPem)), nullptr);
    auto empty = TrustStore::from_pem(nullptr, 0);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->count(), 0u);
}

// Request records: a valid base, changed one field at a time.
struct RequestFixture {
    std::string url = "http://127.0.0.1:1/x";
    std::string method = "GET";
    std::vector<HeaderEntry> headers;
    RequestConfig c{};
    RequestFixture() {
        c.size = sizeof c;
        c.abi = HY_ABI_VERSION;
        c.url = url.data();
        c.url_len = url.size();
        c.method = method.data();
        c.method_len = method.size();
        c.callbacks.size = sizeof(RequestCallbacks);
        c.callbacks.abi = HY_ABI_VERSION;
        c.callbacks.on_response = [](void*, hy_request*, int32_t, const uint8_t*, uint64_t) {};
        c.callbacks.on_data = [](void*, hy_request*, const uint8_t*, uint64_t) -> int32_t { return 1; };
        c.callbacks.on_complete = [](void*, hy_request*, uint32_t, int32_t) {};
        c.callbacks.on_redirect = [](void*, hy_request*, int32_t, const uint8_t*, uint64_t, const char*, uint64_t,
                                     const char*, uint64_t) {};
    }
};

struct RequestCase {
    const char* name;
    std::function<void(RequestConfig&)> change;
    uint32_t expected;
};
class RequestRecord : public ::testing::TestWithParam<RequestCase> {};

TEST_P(RequestRecord, Validation) {
    RequestFixture f;
    GetParam().change(f.c);
    RequestSpec spec;
    EXPECT_EQ(read_request_config(&f.c, spec), GetParam().expected);
}

#define RTEXT(field, value)                                      \
    [](RequestConfig& c) {                                       \
        static const std::string v = value;                      \
        c.field = v.data();                                      \
        c.field##_len = v.size();                                \
    }

HeaderEntry entry(const std::string& name, const std::string& value) {
    return {name.empty() ? nullptr : name.data(), name.size(), value.empty() ? nullptr : value.data(), value.size()};
}

INSTANTIATE_TEST_SUITE_P(
    Fields, RequestRecord,
    ::testing::Values(
        RequestCase{"base", [](RequestConfig&) {}, HY_OK},
        RequestCase{"other_abi", [](RequestConfig& c) { c.abi = 9; }, HY_UNSUPPORTED_ABI},
        RequestCase{"bad_size", [](RequestConfig& c) { c.size = 100; }, HY_INVALID_ARGUMENT},
        RequestCase{"callbacks_abi", [](RequestConfig& c) { c.callbacks.abi = 7; }, HY_UNSUPPORTED_ABI},
        RequestCase{"callbacks_size", [](RequestConfig& c) { c.callbacks.size = 40; }, HY_INVALID_ARGUMENT},
        RequestCase{"no_on_complete", [](RequestConfig& c) { c.callbacks.on_complete = nullptr; }, HY_INVALID_ARGUMENT},
        RequestCase{"no_on_data", [](RequestConfig& c) { c.callbacks.on_data = nullptr; }, HY_INVALID_ARGUMENT},
        RequestCase{"no_url", [](RequestConfig& c) { c.url_len = 0; }, HY_INVALID_ARGUMENT},
        RequestCase{"ftp_url", RTEXT(url, "ftp://127.0.0.1/x"), HY_INVALID_ARGUMENT},
        RequestCase{"relative_url", RTEXT(url, "/only/a/path"), HY_INVALID_ARGUMENT},
        RequestCase{"https_url", RTEXT(url, "https://example.test/x?y#z"), HY_OK},
        RequestCase{"no_method", [](RequestConfig& c) { c.method_len = 0; }, HY_INVALID_ARGUMENT},
        RequestCase{"method_with_space", RTEXT(method, "GE T"), HY_INVALID_ARGUMENT},
        RequestCase{"custom_method", RTEXT(method, "PROPFIND"), HY_OK},
        RequestCase{"connect", RTEXT(method, "connect"), HY_INVALID_ARGUMENT},
        RequestCase{"headers_null_with_count", [](RequestConfig& c) { c.header_count = 1; }, HY_INVALID_ARGUMENT},
        RequestCase{"header_ok", [](RequestConfig& c) {
                        static const std::string n = "X-A", v = "1";
                        static HeaderEntry e[] = {entry(n, v)};
                        c.headers = e;
                        c.header_count = 1;
                    }, HY_OK},
        RequestCase{"header_empty_value", [](RequestConfig& c) {
                        static const std::string n = "X-A", v;
                        static HeaderEntry e[] = {entry(n, v)};
                        c.headers = e;
                        c.header_count = 1;
                    }, HY_OK},
        RequestCase{"header_bad_name", [](RequestConfig& c) {
                        static const std::string n = "X A", v = "1";
                        static HeaderEntry e[] = {entry(n, v)};
                        c.headers = e;
                        c.header_count = 1;
                    }, HY_INVALID_ARGUMENT},
        RequestCase{"header_crlf_value", [](RequestConfig& c) {
                        static const std::string n = "X-A", v = "1\r\nX-B: 2";
                        static HeaderEntry e[] = {entry(n, v)};
                        c.headers = e;
                        c.header_count = 1;
                    }, HY_INVALID_ARGUMENT},
        RequestCase{"header_empty_name", [](RequestConfig& c) {
                        static const std::string n, v = "1";
                        static HeaderEntry e[] = {entry(n, v)};
                        c.headers = e;
                        c.header_count = 1;
                    }, HY_INVALID_ARGUMENT},
        RequestCase{"body_kind_3", [](RequestConfig& c) { c.body_kind = 3; }, HY_INVALID_ARGUMENT},
        RequestCase{"body_null_with_length", [](RequestConfig& c) { c.body_kind = HY_BODY_BYTES; c.body_len = 4; }, HY_INVALID_ARGUMENT},
        RequestCase{"body_length_without_bytes_kind", [](RequestConfig& c) {
                        static const uint8_t b[] = {1, 2};
                        c.body = b;
                        c.body_len = 2;
                        c.body_kind = HY_BODY_STREAM;
                    }, HY_INVALID_ARGUMENT},
        RequestCase{"empty_bytes_body", [](RequestConfig& c) { c.body_kind = HY_BODY_BYTES; }, HY_OK},
        RequestCase{"cache_mode_6", [](RequestConfig& c) { c.cache_mode = 6; }, HY_INVALID_ARGUMENT},
        RequestCase{"redirect_mode_3", [](RequestConfig& c) { c.redirect_mode = 3; }, HY_INVALID_ARGUMENT},
        RequestCase{"priority_6", [](RequestConfig& c) { c.priority = 6; }, HY_INVALID_ARGUMENT},
        RequestCase{"priority_idle", [](RequestConfig& c) { c.priority = HY_PRIORITY_IDLE; }, HY_OK},
        RequestCase{"huge_timeout", [](RequestConfig& c) { c.timeout_ms = UINT64_MAX; }, HY_OK}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RequestRecord, CopiesWhatItKeepsAndNormalizesMethods) {
    RequestFixture f;
    std::string method = "delete";
    std::string name = "X-Name", value = "v";
    std::vector<uint8_t> body = {1, 2, 3};
    HeaderEntry e = entry(name, value);
    f.c.method = method.data();
    f.c.method_len = method.size();
    f.c.headers = &e;
    f.c.header_count = 1;
    f.c.body = body.data();
    f.c.body_len = body.size();
    f.c.body_kind = HY_BODY_BYTES;
    RequestSpec spec;
    ASSERT_EQ(read_request_config(&f.c, spec), HY_OK);
    // The caller's buffers may go away after the create call.
    method.assign("XXXXXX");
    name.assign("Y");
    body.assign({9, 9, 9});
    EXPECT_EQ(spec.method, "DELETE");
    EXPECT_EQ(spec.headers, (HeaderList{{"X-Name", "v"}}));
    EXPECT_EQ(spec.body, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(normalize_method("pAtCh"), "pAtCh");  // only the six fetch names
    EXPECT_EQ(normalize_method("options"), "OPTIONS");
}

TEST(Interface, VersionAndHandles) {
    EXPECT_EQ(hy_abi_version(), 8u);
    const std::string version = hy_version_string();
    EXPECT_EQ(version.rfind("halyard/", 0), 0u);
    EXPECT_NE(version.find(" libcurl/"), std::string::npos) << version;
#ifdef OPENSSL_IS_BORINGSSL
    EXPECT_NE(version.find(" BoringSSL"), std::string::npos) << version;
#endif
    EXPECT_EQ(hy_version_string(), hy_version_string());  // same storage every time

    hy_engine* engine = reinterpret_cast<hy_engine*>(0x1);
    EXPECT_EQ(hy_engine_create(nullptr, &engine), HY_INVALID_ARGUMENT);
    EXPECT_EQ(engine, nullptr);
    EngineConfig c = engine_config({});
    EXPECT_EQ(hy_engine_create(&c, nullptr), HY_INVALID_ARGUMENT);

    RequestFixture f;
    hy_request* request = reinterpret_cast<hy_request*>(0x1);
    EXPECT_EQ(hy_request_create(nullptr, &f.c, &request), HY_INVALID_ARGUMENT);
    EXPECT_EQ(request, nullptr);
    EXPECT_EQ(hy_request_start(nullptr), HY_INVALID_ARGUMENT);
    EXPECT_EQ(hy_request_cancel(nullptr), HY_INVALID_ARGUMENT);
    EXPECT_EQ(hy_request_resume_read(nullptr), HY_INVALID_ARGUMENT);
    EXPECT_EQ(hy_request_follow_redirect(nullptr), HY_INVALID_ARGUMENT);
    EXPECT_EQ(hy_request_upload_write(nullptr, nullptr, 0, 1), HY_INVALID_ARGUMENT);
    EXPECT_EQ(hy_request_upload_push(nullptr, nullptr, 0, 1), HY_INVALID_ARGUMENT);
    uint32_t held = 1;
    EXPECT_EQ(hy_request_upload_wait(nullptr, 0, &held), HY_INVALID_ARGUMENT);
    hy_request_release(nullptr);
    hy_engine_release(nullptr);
}

TEST(Interface, NeverStartedRequestDeliversNothingAndStateCallsAreRefused) {
    auto engine = halyard_test::make_engine();
    ASSERT_TRUE(engine);
    halyard_test::Recorder r;
    hy_request* request = halyard_test::make_request(engine.get(), {.url = "http://127.0.0.1:1/"}, &r);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(hy_request_resume_read(request), HY_INVALID_STATE);
    EXPECT_EQ(hy_request_follow_redirect(request), HY_INVALID_STATE);
    EXPECT_EQ(hy_request_upload_write(request, nullptr, 0, 1), HY_INVALID_STATE);
    EXPECT_EQ(hy_request_upload_push(request, nullptr, 0, 1), HY_INVALID_STATE);
    uint32_t held = 1;
    EXPECT_EQ(hy_request_upload_wait(request, 0, nullptr), HY_INVALID_ARGUMENT);
    EXPECT_EQ(hy_request_upload_wait(request, 0, &held), HY_INVALID_STATE);
    EXPECT_EQ(held, 0u);
    hy_request_release(request);
    engine.reset();
    EXPECT_TRUE(halyard_test::wait_engine_threads(0));
    EXPECT_EQ(r.complete_calls(), 0);
}

TEST(Interface, UploadWriteArgumentChecks) {
    auto engine = halyard_test::make_engine();
    halyard_test::Recorder r;
    hy_request* request =
        halyard_test::make_request(engine.get(), {.method = "POST", .url = "http://127.0.0.1:1/", .body_kind = HY_BODY_STREAM}, &r);
    ASSERT_NE(request, nullptr);
    ASSERT_EQ(hy_request_start(request), HY_OK);
    EXPECT_EQ(hy_request_upload_write(request, nullptr, 5, 0), HY_INVALID_ARGUMENT);
    EXPECT_EQ(hy_request_upload_write(request, nullptr, 0, 2), HY_INVALID_ARGUMENT);
    EXPECT_EQ(hy_request_upload_push(request, nullptr, 5, 0), HY_INVALID_ARGUMENT);
    EXPECT_EQ(hy_request_upload_push(request, nullptr, 0, 2), HY_INVALID_ARGUMENT);
    ASSERT_TRUE(r.wait_complete());
    EXPECT_EQ(r.result(), HY_NETWORK);  // nothing listens on port 1
    EXPECT_EQ(r.net_error(), -102);
    // The request has ended: a write is refused with the request's failure.
    EXPECT_EQ(hy_request_upload_write(request, reinterpret_cast<const uint8_t*>("x"), 1, 0), HY_NETWORK);
    EXPECT_EQ(hy_request_upload_push(request, reinterpret_cast<const uint8_t*>("x"), 1, 0), HY_NETWORK);
    uint32_t held = 1;
    EXPECT_EQ(hy_request_upload_wait(request, 1000, &held), HY_NETWORK);  // at once: the request has ended
    EXPECT_EQ(held, 0u);
    hy_request_release(request);
}

}  // namespace
}  // namespace halyard
