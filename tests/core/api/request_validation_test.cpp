// hy_request_create refuses input that would put something on the wire the
// caller did not ask for, and creates nothing when it does.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "api/config.h"
#include "halyard.h"
#include "support/client.h"

namespace halyard {
namespace {

using halyard_test::Recorder;
using namespace std::string_literals;

struct CreateCase {
    const char* name;
    std::string method;
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    uint32_t body_kind;
    std::string body;
    uint32_t expected;
};

class RequestCreate : public ::testing::TestWithParam<CreateCase> {};

TEST_P(RequestCreate, RefusesUnsafeInputAndCreatesNothing) {
    const CreateCase& c = GetParam();
    auto engine = halyard_test::make_engine();
    ASSERT_TRUE(engine);
    std::vector<HeaderEntry> entries;
    for (const auto& [name, value] : c.headers)
        entries.push_back({name.data(), name.size(), value.empty() ? nullptr : value.data(), value.size()});
    Recorder r;
    RequestConfig config{};
    config.size = sizeof config;
    config.abi = HY_ABI_VERSION;
    config.url = c.url.data();
    config.url_len = c.url.size();
    config.method = c.method.data();
    config.method_len = c.method.size();
    config.headers = entries.empty() ? nullptr : entries.data();
    config.header_count = entries.size();
    config.callbacks = Recorder::callbacks(&r);
    config.body_kind = c.body_kind;
    if (!c.body.empty()) {
        config.body = reinterpret_cast<const uint8_t*>(c.body.data());
        config.body_len = c.body.size();
    }
    hy_request* request = reinterpret_cast<hy_request*>(0x1);
    EXPECT_EQ(hy_request_create(engine.get(), &config, &request), c.expected);
    if (c.expected == HY_OK) {
        ASSERT_NE(request, nullptr);
        hy_request_release(request);
    } else {
        EXPECT_EQ(request, nullptr);
    }
    EXPECT_EQ(r.complete_calls(), 0);
}

const std::string kUrl = "http://127.0.0.1:1/x";

INSTANTIATE_TEST_SUITE_P(
    Rules, RequestCreate,
    ::testing::Values(
        CreateCase{"plain_get", "GET", kUrl, {}, HY_BODY_NONE, "", HY_OK},
        // The request line.
        CreateCase{"method_with_crlf", "GET / HTTP/1.1\r\nX:", kUrl, {}, HY_BODY_NONE, "", HY_INVALID_ARGUMENT},
        CreateCase{"method_with_space", "GET /", kUrl, {}, HY_BODY_NONE, "", HY_INVALID_ARGUMENT},
        CreateCase{"method_connect", "Connect", kUrl, {}, HY_BODY_NONE, "", HY_INVALID_ARGUMENT},
        // A space inside is percent-encoded, as browsers do; at either end it is refused.
        CreateCase{"url_with_space", "GET", "http://127.0.0.1:1/a b", {}, HY_BODY_NONE, "", HY_OK},
        CreateCase{"url_with_outer_space", "GET", " http://127.0.0.1:1/", {}, HY_BODY_NONE, "", HY_INVALID_ARGUMENT},
        CreateCase{"url_with_crlf", "GET", "http://127.0.0.1:1/\r\nX: 1", {}, HY_BODY_NONE, "", HY_INVALID_ARGUMENT},
        CreateCase{"url_with_nul", "GET", "http://127.0.0.1:1/\0x"s, {}, HY_BODY_NONE, "", HY_INVALID_ARGUMENT},
        CreateCase{"url_ws", "GET", "ws://127.0.0.1:1/", {}, HY_BODY_NONE, "", HY_INVALID_ARGUMENT},
        CreateCase{"url_unparsable", "GET", "http://[::1/", {}, HY_BODY_NONE, "", HY_INVALID_ARGUMENT},
        // Header lines.
        CreateCase{"value_crlf", "GET", kUrl, {{"X", "a\r\nInjected: 1"}}, HY_BODY_NONE, "", HY_INVALID_ARGUMENT},
        CreateCase{"value_lf", "GET", kUrl, {{"X", "a\nInjected: 1"}}, HY_BODY_NONE, "", HY_INVALID_ARGUMENT},
        CreateCase{"value_nul", "GET", kUrl, {{"X", "a\0b"s}}, HY_BODY_NONE, "", HY_INVALID_ARGUMENT},
        CreateCase{"name_colon", "GET", kUrl, {{"X: y\r\nZ", "1"}}, HY_BODY_NONE, "", HY_INVALID_ARGUMENT},
        CreateCase{"value_blank", "GET", kUrl, {{"X", "  "}}, HY_BODY_NONE, "", HY_OK},
        // Content-Length and Transfer-Encoding against the body.
        CreateCase{"length_matches", "POST", kUrl, {{"Content-Length", "3"}}, HY_BODY_BYTES, "abc", HY_OK},
        CreateCase{"length_short", "POST", kUrl, {{"Content-Length", "2"}}, HY_BODY_BYTES, "abc", HY_INVALID_ARGUMENT},
        CreateCase{"length_long", "POST", kUrl, {{"Content-Length", "30"}}, HY_BODY_BYTES, "abc", HY_INVALID_ARGUMENT},
        CreateCase{"length_zero_post", "POST", kUrl, {{"Content-Length", "0"}}, HY_BODY_NONE, "", HY_OK},
        CreateCase{"length_on_get", "GET", kUrl, {{"Content-Length", "5"}}, HY_BODY_NONE, "", HY_INVALID_ARGUMENT},
        CreateCase{"length_on_head_with_body", "HEAD", kUrl, {{"Content-Length", "3"}}, HY_BODY_BYTES, "abc",
                   HY_INVALID_ARGUMENT},
        CreateCase{"length_on_stream", "POST", kUrl, {{"Content-Length", "3"}}, HY_BODY_STREAM, "", HY_INVALID_ARGUMENT},
        CreateCase{"chunked_on_stream", "POST", kUrl, {{"Transfer-Encoding", "chunked"}}, HY_BODY_STREAM, "", HY_OK},
        CreateCase{"chunked_on_bytes", "POST", kUrl, {{"Transfer-Encoding", "chunked"}}, HY_BODY_BYTES, "abc",
                   HY_INVALID_ARGUMENT},
        CreateCase{"chunked_on_get", "GET", kUrl, {{"Transfer-Encoding", "chunked"}}, HY_BODY_NONE, "",
                   HY_INVALID_ARGUMENT},
        CreateCase{"chunked_on_head_stream", "HEAD", kUrl, {{"Transfer-Encoding", "chunked"}}, HY_BODY_STREAM, "",
                   HY_INVALID_ARGUMENT},
        CreateCase{"identity_encoding", "POST", kUrl, {{"Transfer-Encoding", "identity"}}, HY_BODY_STREAM, "",
                   HY_INVALID_ARGUMENT},
        // Host.
        CreateCase{"host_with_port", "GET", kUrl, {{"Host", "example.test:8080"}}, HY_BODY_NONE, "", HY_OK},
        CreateCase{"host_with_path", "GET", kUrl, {{"Host", "example.test/x"}}, HY_BODY_NONE, "", HY_INVALID_ARGUMENT},
        CreateCase{"host_with_user", "GET", kUrl, {{"Host", "u@example.test"}}, HY_BODY_NONE, "", HY_INVALID_ARGUMENT},
        CreateCase{"host_twice", "GET", kUrl, {{"Host", "a.test"}, {"Host", "b.test"}}, HY_BODY_NONE, "",
                   HY_INVALID_ARGUMENT}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RequestCreate, HeaderValuesAreStoredTrimmed) {
    RequestConfig c{};
    c.size = sizeof c;
    c.abi = HY_ABI_VERSION;
    c.url = kUrl.data();
    c.url_len = kUrl.size();
    c.method = "GET";
    c.method_len = 3;
    Recorder r;
    c.callbacks = Recorder::callbacks(&r);
    const std::string names[] = {"X-Pad", "X-Blank", "Host"};
    const std::string values[] = {" \t padded value \t", "   ", " b.test:81 "};
    HeaderEntry e[3];
    for (int i = 0; i < 3; ++i) e[i] = {names[i].data(), names[i].size(), values[i].data(), values[i].size()};
    c.headers = e;
    c.header_count = 3;
    RequestSpec spec;
    ASSERT_EQ(read_request_config(&c, spec), HY_OK);
    // A blank value is sent as an empty header, never as curl's "remove
    // this header" form.
    EXPECT_EQ(spec.headers, (HeaderList{{"X-Pad", "padded value"}, {"X-Blank", ""}, {"Host", "b.test:81"}}));
}

}  // namespace
}  // namespace halyard
