// The input checks shared by request and WebSocket creation: what may
// reach the wire and what is refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/validate.h"

namespace halyard {
namespace {

using namespace std::string_literals;

struct TextCase {
    std::string text;
    bool valid;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << '"' << c.text << "\" -> " << c.valid; }

class Methods : public ::testing::TestWithParam<TextCase> {};
TEST_P(Methods, AreTokensOtherThanConnect) { EXPECT_EQ(validate_method(GetParam().text), GetParam().valid); }
INSTANTIATE_TEST_SUITE_P(
    Cases, Methods,
    ::testing::Values(TextCase{"GET", true}, TextCase{"propfind", true}, TextCase{"M-SEARCH", true},
                      TextCase{"X!#$%&'*+.^_`|~1", true}, TextCase{"", false}, TextCase{"GE T", false},
                      TextCase{"GET\r\nX: 1", false}, TextCase{"GET /x HTTP/1.1", false}, TextCase{"G\0T"s, false},
                      TextCase{"GET:", false}, TextCase{"(GET)", false}, TextCase{"CONNECT", false},
                      TextCase{"connect", false}, TextCase{"G\xc3\xa9T", false}));

class RequestUrls : public ::testing::TestWithParam<TextCase> {};
TEST_P(RequestUrls, AreHttpWithoutControlsOrOuterSpaces) {
    EXPECT_EQ(validate_request_url(GetParam().text), GetParam().valid);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, RequestUrls,
    ::testing::Values(TextCase{"http://a.test/", true}, TextCase{"HTTPS://a.test:8443/p?q=1#f", true},
                      TextCase{"http://u:p@127.0.0.1:1/x", true}, TextCase{"http://[::1]:80/", true},
                      TextCase{"http://a.test/%0d%0aX:%201", true},  // encoded: stays encoded on the wire
                      TextCase{"ws://a.test/", false}, TextCase{"ftp://a.test/", false},
                      TextCase{"file:///etc/passwd", false}, TextCase{"/relative", false}, TextCase{"", false},
                      TextCase{"http://a.test/a b", true}, TextCase{" http://a.test/", false},
                      TextCase{"http://a.test/ ", false}, TextCase{"http://a b.test/", false},
                      TextCase{"http://a.test/\r\nX: 1", false}, TextCase{"http://a.test/\t", false},
                      TextCase{"http://a.test/\x7f", false}, TextCase{"http://a.test/\0x"s, false},
                      TextCase{"http://a.test/x HTTP/1.1\r\nHost: b", false}, TextCase{"http://[::1/", false},
                      TextCase{"http://a.test:99999/", false}, TextCase{"http://", false}));

class WebSocketUrls : public ::testing::TestWithParam<TextCase> {};
TEST_P(WebSocketUrls, AreWsWithoutFragments) { EXPECT_EQ(validate_websocket_url(GetParam().text), GetParam().valid); }
INSTANTIATE_TEST_SUITE_P(
    Cases, WebSocketUrls,
    ::testing::Values(TextCase{"ws://a.test/chat", true}, TextCase{"WSS://a.test:9443/chat?room=1", true},
                      TextCase{"ws://127.0.0.1:1", true}, TextCase{"ws://a.test/chat#frag", false},
                      TextCase{"ws://a.test/#", false}, TextCase{"http://a.test/", false},
                      TextCase{"wss://a.test/ x", true}, TextCase{"wss://a.test/x ", false}, TextCase{"ws://a.test/\n", false}, TextCase{"ws:", false},
                      TextCase{"", false}));

struct HeaderCase {
    std::string name;
    std::string value;
    bool valid;
};
void PrintTo(const HeaderCase& c, std::ostream* os) { *os << '"' << c.name << "\": \"" << c.value << "\" -> " << c.valid; }

class Headers : public ::testing::TestWithParam<HeaderCase> {};
TEST_P(Headers, NameIsATokenValueEndsNoLine) {
    EXPECT_EQ(validate_header(GetParam().name, GetParam().value), GetParam().valid);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, Headers,
    ::testing::Values(HeaderCase{"X-A", "1", true}, HeaderCase{"x", "", true}, HeaderCase{"X", "tab\there", true},
                      HeaderCase{"X", "caf\xc3\xa9", true}, HeaderCase{"X", "a:b; c=d", true},
                      HeaderCase{"", "1", false}, HeaderCase{"X A", "1", false}, HeaderCase{"X:", "1", false},
                      HeaderCase{"X\r\nY", "1", false}, HeaderCase{"X;", "1", false}, HeaderCase{"X", "a\r\nInjected: 1", false},
                      HeaderCase{"X", "a\nb", false}, HeaderCase{"X", "a\rb", false}, HeaderCase{"X", "a\0b"s, false},
                      HeaderCase{"X", "\r\n\r\nGET / HTTP/1.1", false}));

TEST(HeaderValues, TrimSpacesAndTabsOnly) {
    EXPECT_EQ(trim("  a b \t"), "a b");
    EXPECT_EQ(trim(" \t "), "");
    EXPECT_EQ(trim(""), "");
    EXPECT_EQ(trim("x"), "x");
    EXPECT_EQ(trim("\ta:\t b\t"), "a:\t b");
    // CR and LF are not white space here: a value holding them is refused,
    // never trimmed into an acceptable one.
    EXPECT_EQ(trim("\r a \n"), "\r a \n");
}

class Hosts : public ::testing::TestWithParam<TextCase> {};
TEST_P(Hosts, AreAHostWithAnOptionalPort) { EXPECT_EQ(validate_host(GetParam().text), GetParam().valid); }
INSTANTIATE_TEST_SUITE_P(
    Cases, Hosts,
    ::testing::Values(TextCase{"a.test", true}, TextCase{"A-b.test:8080", true}, TextCase{"127.0.0.1:1", true},
                      TextCase{"[::1]", true}, TextCase{"[2001:db8::1]:443", true}, TextCase{"xn--bcher-kva.test", true},
                      TextCase{"", false}, TextCase{":80", false}, TextCase{"a.test:", false},
                      TextCase{"a.test:0", false}, TextCase{"a.test:65536", false}, TextCase{"a.test:123456", false},
                      TextCase{"a.test:8o", false}, TextCase{"a.test:80:81", false}, TextCase{"a.test/x", false},
                      TextCase{"u@a.test", false}, TextCase{"a test", false}, TextCase{"a.test\r\nX: 1", false},
                      TextCase{"[::1", false}, TextCase{"[::1]x", false}, TextCase{"[]", false}, TextCase{"[g::1]", false},
                      TextCase{"b\xc3\xbc" "cher.test", false}, TextCase{"a.test?", false}));

struct ProtocolCase {
    const char* name;
    std::vector<std::string_view> protocols;
    bool valid;
};
class Protocols : public ::testing::TestWithParam<ProtocolCase> {};
TEST_P(Protocols, AreDistinctTokens) { EXPECT_EQ(validate_protocols(GetParam().protocols), GetParam().valid); }
INSTANTIATE_TEST_SUITE_P(
    Cases, Protocols,
    ::testing::Values(ProtocolCase{"none", {}, true}, ProtocolCase{"one", {"chat"}, true},
                      ProtocolCase{"two", {"chat", "superchat"}, true},
                      ProtocolCase{"case_differs", {"chat", "Chat"}, true},
                      ProtocolCase{"repeated", {"chat", "v2", "chat"}, false},
                      ProtocolCase{"empty", {""}, false}, ProtocolCase{"comma", {"a,b"}, false},
                      ProtocolCase{"space", {"a b"}, false}, ProtocolCase{"crlf", {"a\r\nX: 1"}, false}),
    [](const auto& info) { return std::string(info.param.name); });

class Origins : public ::testing::TestWithParam<TextCase> {};
TEST_P(Origins, AreSerialisedOrigins) { EXPECT_EQ(validate_origin(GetParam().text), GetParam().valid); }
INSTANTIATE_TEST_SUITE_P(
    Cases, Origins,
    ::testing::Values(TextCase{"https://a.test", true}, TextCase{"http://a.test:8080", true}, TextCase{"null", true},
                      TextCase{"http://[::1]:3000", true}, TextCase{"chrome-extension://abcdef", true},
                      TextCase{"https://a.test/", false}, TextCase{"https://a.test/path", false},
                      TextCase{"https://a.test?q", false}, TextCase{"https://a.test#f", false},
                      TextCase{"https://u@a.test", false}, TextCase{"https://", false}, TextCase{"a.test", false},
                      TextCase{"://a.test", false}, TextCase{"1http://a.test", false}, TextCase{"Null", false},
                      TextCase{"", false}, TextCase{"https://a.test\r\nX: 1", false}, TextCase{"https://a.test:0", false},
                      TextCase{"https://a.test, https://b.test", false}));

class HandshakeHeaders : public ::testing::TestWithParam<TextCase> {};
TEST_P(HandshakeHeaders, AreTheCoresOwn) {
    EXPECT_EQ(is_websocket_handshake_header(GetParam().text), GetParam().valid);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, HandshakeHeaders,
    ::testing::Values(TextCase{"Connection", true}, TextCase{"upgrade", true}, TextCase{"Sec-WebSocket-Key", true},
                      TextCase{"sec-websocket-version", true}, TextCase{"SEC-WEBSOCKET-PROTOCOL", true},
                      TextCase{"Sec-WebSocket-Extensions", true}, TextCase{"Sec-WebSocket-Accept", true},
                      TextCase{"Sec-WebSocket-Anything", true}, TextCase{"Content-Length", true},
                      TextCase{"transfer-encoding", true}, TextCase{"host", true}, TextCase{"Sec-WebSocket", false},
                      TextCase{"Origin", false}, TextCase{"Cookie", false}, TextCase{"X-Upgrade", false},
                      TextCase{"Connection-Id", false}, TextCase{"X-Host", false}));

// Content-Length, Transfer-Encoding and Host against the body that goes out.
struct BodyHeaderCase {
    const char* name;
    HeaderList headers;
    bool streamed;
    uint64_t body_len;
    bool valid;
};
class BodyHeaders : public ::testing::TestWithParam<BodyHeaderCase> {};
TEST_P(BodyHeaders, AgreeWithTheBodySent) {
    const BodyHeaderCase& c = GetParam();
    EXPECT_EQ(validate_request_headers(c.headers, c.streamed, c.body_len), c.valid);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, BodyHeaders,
    ::testing::Values(
        BodyHeaderCase{"none", {}, false, 0, true},
        BodyHeaderCase{"length_matches", {{"Content-Length", "5"}}, false, 5, true},
        BodyHeaderCase{"length_padded", {{"content-length", " 5 "}}, false, 5, true},
        BodyHeaderCase{"length_zero_without_body", {{"Content-Length", "0"}}, false, 0, true},
        BodyHeaderCase{"length_differs", {{"Content-Length", "4"}}, false, 5, false},
        BodyHeaderCase{"length_longer", {{"Content-Length", "6"}}, false, 5, false},
        BodyHeaderCase{"length_without_body", {{"Content-Length", "10"}}, false, 0, false},
        BodyHeaderCase{"length_twice", {{"Content-Length", "5"}, {"Content-Length", "5"}}, false, 5, false},
        BodyHeaderCase{"length_list", {{"Content-Length", "5, 5"}}, false, 5, false},
        BodyHeaderCase{"length_signed", {{"Content-Length", "+5"}}, false, 5, false},
        BodyHeaderCase{"length_hex", {{"Content-Length", "0x5"}}, false, 5, false},
        BodyHeaderCase{"length_empty", {{"Content-Length", ""}}, false, 0, false},
        BodyHeaderCase{"length_huge", {{"Content-Length", "99999999999999999999999"}}, false, 5, false},
        BodyHeaderCase{"length_with_stream", {{"Content-Length", "5"}}, true, 0, false},
        BodyHeaderCase{"chunked_with_stream", {{"Transfer-Encoding", "chunked"}}, true, 0, true},
        BodyHeaderCase{"chunked_any_case", {{"transfer-encoding", "Chunked"}}, true, 0, true},
        BodyHeaderCase{"chunked_with_bytes", {{"Transfer-Encoding", "chunked"}}, false, 5, false},
        BodyHeaderCase{"chunked_without_body", {{"Transfer-Encoding", "chunked"}}, false, 0, false},
        BodyHeaderCase{"gzip_chunked", {{"Transfer-Encoding", "gzip, chunked"}}, true, 0, false},
        BodyHeaderCase{"chunked_twice", {{"Transfer-Encoding", "chunked"}, {"Transfer-Encoding", "chunked"}}, true, 0, false},
        BodyHeaderCase{"length_and_chunked", {{"Transfer-Encoding", "chunked"}, {"Content-Length", "0"}}, true, 0, false},
        BodyHeaderCase{"host", {{"Host", "b.test:81"}}, false, 0, true},
        BodyHeaderCase{"host_bad", {{"Host", "b.test/x"}}, false, 0, false},
        BodyHeaderCase{"host_empty", {{"Host", ""}}, false, 0, false},
        BodyHeaderCase{"host_twice", {{"Host", "a.test"}, {"host", "b.test"}}, false, 0, false},
        BodyHeaderCase{"others_untouched", {{"X-Length", "99"}, {"Content-Type", "a/b"}}, false, 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace halyard
