// The upgrade handshake: the request the Core writes and the checks of the
// server's answer (status, Accept, subprotocol, extensions).
#include <gtest/gtest.h>

#include <string>

#include "websocket/handshake.h"

namespace halyard {
namespace {

std::vector<std::string> lines_of(const std::string& request) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = request.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(request.substr(start, end - start));
    return lines;
}

TEST(HandshakeKey, AcceptOfTheProtocolsExample) {
    EXPECT_EQ(websocket_accept("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(HandshakeKey, FreshSixteenByteKeys) {
    const std::string a = make_websocket_key(), b = make_websocket_key();
    EXPECT_EQ(a.size(), 24u);  // 16 bytes in base64
    EXPECT_EQ(a.substr(22), "==");
    EXPECT_NE(a, b);
}

HandshakeRequest full_request() {
    HandshakeRequest q;
    q.target = "/chat?room=1";
    q.host = "example.com:8080";
    q.origin = "https://example.com";
    q.user_agent = "halyard/test";
    q.accept_language = "fr-CH, fr;q=0.9";
    q.cookie = "a=1; b=2";
    q.key = "dGhlIHNhbXBsZSBub25jZQ==";
    q.protocols = {"chat", "superchat"};
    q.headers = {{"X-One", "1"}, {"X-Dup", "a"}, {"X-Dup", "b"}};
    return q;
}

TEST(HandshakeRequest, LinesInBrowserOrderThenTheCallers) {
    const auto lines = lines_of(build_handshake_request(full_request()));
    const std::vector<std::string> expected = {
        "GET /chat?room=1 HTTP/1.1",
        "Host: example.com:8080",
        "Connection: Upgrade",
        "Pragma: no-cache",
        "Cache-Control: no-cache",
        "User-Agent: halyard/test",
        "Upgrade: websocket",
        "Origin: https://example.com",
        "Sec-WebSocket-Version: 13",
        "Accept-Language: fr-CH, fr;q=0.9",
        "Cookie: a=1; b=2",
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==",
        "Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits",
        "Sec-WebSocket-Protocol: chat, superchat",
        "X-One: 1",
        "X-Dup: a",
        "X-Dup: b",
        "",
    };
    EXPECT_EQ(lines, expected);
}

TEST(HandshakeRequest, ChromiumPutsEncodingAndLanguageBeforeTheKey) {
    HandshakeRequest q = full_request();
    q.accept_encoding = "gzip, deflate, br, zstd";
    const auto lines = lines_of(build_handshake_request(q));
    const std::vector<std::string> tail = {"Sec-WebSocket-Version: 13", "Accept-Encoding: gzip, deflate, br, zstd",
                                           "Accept-Language: fr-CH, fr;q=0.9", "Cookie: a=1; b=2",
                                           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ=="};
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 8, lines.begin() + 13), tail);
}

TEST(HandshakeRequest, FirefoxLayout) {
    HandshakeRequest q = full_request();
    q.layout = WebSocketLayout::Firefox;
    q.accept_encoding = "gzip, deflate, br, zstd";
    q.fetch_site = "same-origin";
    q.headers = {{"X-One", "1"}, {"pragma", "mine"}};
    const std::vector<std::string> expected = {
        "GET /chat?room=1 HTTP/1.1",
        "Host: example.com:8080",
        "User-Agent: halyard/test",
        "Accept: */*",
        "Accept-Language: fr-CH, fr;q=0.9",
        "Accept-Encoding: gzip, deflate, br, zstd",
        "Sec-WebSocket-Version: 13",
        "Origin: https://example.com",
        "Sec-WebSocket-Protocol: chat, superchat",
        "Sec-WebSocket-Extensions: permessage-deflate",
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==",
        "Cookie: a=1; b=2",
        "Connection: Upgrade",
        "Sec-Fetch-Dest: empty",
        "Sec-Fetch-Mode: websocket",
        "Sec-Fetch-Site: same-origin",
        "Cache-Control: no-cache",
        "Upgrade: websocket",
        "X-One: 1",
        "pragma: mine",
        "",
    };
    EXPECT_EQ(lines_of(build_handshake_request(q)), expected);
    // Outside a secure context no Sec-Fetch-* line.
    q.fetch_site.clear();
    EXPECT_EQ(build_handshake_request(q).find("Sec-Fetch"), std::string::npos);
}

TEST(HandshakeRequest, SameOriginOfTheTarget) {
    EXPECT_EQ(same_origin(true, "example.com"), "https://example.com");
    EXPECT_EQ(same_origin(false, "127.0.0.1:8080"), "http://127.0.0.1:8080");
}

TEST(HandshakeRequest, AbsentPartsAndCallerOverrides) {
    HandshakeRequest q = full_request();
    q.origin.clear();
    q.accept_language.clear();
    q.cookie.clear();
    q.protocols.clear();
    q.offer_deflate = false;
    q.headers = {{"user-agent", "mine"}, {"Cache-Control", "max-age=0"}};
    const std::string request = build_handshake_request(q);
    for (const char* absent : {"Origin:", "Accept-Language:", "Cookie:", "Sec-WebSocket-Protocol:",
                               "Sec-WebSocket-Extensions:", "User-Agent: halyard", "no-cache\r\nUser"})
        EXPECT_EQ(request.find(absent), std::string::npos) << absent;
    EXPECT_NE(request.find("\r\nuser-agent: mine\r\nCache-Control: max-age=0\r\n\r\n"), std::string::npos);
    EXPECT_NE(request.find("Pragma: no-cache"), std::string::npos);
}

TEST(HandshakeAnswer, HeadEnd) {
    EXPECT_EQ(find_head_end("HTTP/1.1 101 X\r\nA: b\r\n\r\nframes"), 24u);
    EXPECT_EQ(find_head_end("HTTP/1.1 101 X\nA: b\n\nframes"), 21u);
    EXPECT_EQ(find_head_end("HTTP/1.1 101 X\r\nA: b\r\n"), std::string_view::npos);
}

const std::string kKey = "dGhlIHNhbXBsZSBub25jZQ==";
const std::string kAccept = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";

std::string answer(const std::string& extra, const std::string& status = "101 Switching Protocols",
                   const std::string& accept = kAccept) {
    return "HTTP/1.1 " + status + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " + accept +
           "\r\n" + extra + "\r\n";
}

struct HandshakeAnswerCase {
    const char* name;
    std::string head;
    bool ok;
    int status;
    int32_t net_error;
    std::string protocol;
    bool deflate;
};
class HandshakeAnswers : public ::testing::TestWithParam<HandshakeAnswerCase> {};

TEST_P(HandshakeAnswers, Checked) {
    const HandshakeAnswerCase& c = GetParam();
    const HandshakeResult r = check_handshake_answer(c.head, kKey, {"chat", "superchat"}, true);
    EXPECT_EQ(r.ok, c.ok) << r.error;
    EXPECT_EQ(r.status, c.status);
    if (c.ok) {
        EXPECT_EQ(r.protocol, c.protocol);
        EXPECT_EQ(r.deflate.has_value(), c.deflate);
    } else {
        EXPECT_EQ(r.net_error, c.net_error);
        EXPECT_FALSE(r.error.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, HandshakeAnswers,
    ::testing::Values(
        HandshakeAnswerCase{"plain", answer(""), true, 101, 0, "", false},
        HandshakeAnswerCase{"protocol_and_deflate",
                   answer("Sec-WebSocket-Protocol: superchat\r\nSec-WebSocket-Extensions: permessage-deflate; server_max_window_bits=12\r\n"),
                   true, 101, 0, "superchat", true},
        HandshakeAnswerCase{"connection_list_and_case",
                   "HTTP/1.1 101 OK\r\nupgrade: WebSocket\r\nconnection: keep-alive, upgrade\r\nsec-websocket-accept: " + kAccept + "\r\n\r\n",
                   true, 101, 0, "", false},
        HandshakeAnswerCase{"refused_403", "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n", false, 403, -320, "", false},
        HandshakeAnswerCase{"redirect_is_refused", "HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\n", false, 302, -320, "", false},
        HandshakeAnswerCase{"not_http", "SSH-2.0-OpenSSH\r\n\r\n", false, 0, -370, "", false},
        HandshakeAnswerCase{"wrong_accept", answer("", "101 Switching Protocols", "AAAAAAAAAAAAAAAAAAAAAAAAAAA="), false, 101, -320, "", false},
        HandshakeAnswerCase{"no_upgrade", "HTTP/1.1 101 OK\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " + kAccept + "\r\n\r\n", false, 101, -320, "", false},
        HandshakeAnswerCase{"no_connection", "HTTP/1.1 101 OK\r\nUpgrade: websocket\r\nSec-WebSocket-Accept: " + kAccept + "\r\n\r\n", false, 101, -320, "", false},
        HandshakeAnswerCase{"protocol_not_offered", answer("Sec-WebSocket-Protocol: other\r\n"), false, 101, -320, "", false},
        HandshakeAnswerCase{"two_protocols", answer("Sec-WebSocket-Protocol: chat\r\nSec-WebSocket-Protocol: chat\r\n"), false, 101, -320, "", false},
        HandshakeAnswerCase{"bad_extension", answer("Sec-WebSocket-Extensions: permessage-deflate; server_max_window_bits=99\r\n"), false, 101, -320, "", false},
        HandshakeAnswerCase{"unknown_extension", answer("Sec-WebSocket-Extensions: x-mux\r\n"), false, 101, -320, "", false},
        HandshakeAnswerCase{"malformed_line", answer("no colon here\r\n"), false, 101, -320, "", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HandshakeAnswer, ExtensionsUnofferedAreRefused) {
    const auto head = answer("Sec-WebSocket-Extensions: permessage-deflate\r\n");
    EXPECT_FALSE(check_handshake_answer(head, kKey, {}, false).ok);
    EXPECT_TRUE(check_handshake_answer(head, kKey, {}, true).ok);
}

TEST(HandshakeAnswer, AnyProtocolWhenNoneOfferedIsRefused) {
    EXPECT_FALSE(check_handshake_answer(answer("Sec-WebSocket-Protocol: chat\r\n"), kKey, {}, true).ok);
}

TEST(HandshakeAnswer, ExtensionsTextAndCookiesAreKept) {
    const auto r = check_handshake_answer(
        answer("Set-Cookie: a=1; Path=/\r\nSec-WebSocket-Extensions: permessage-deflate;\r\n client_max_window_bits=10\r\nSet-Cookie: b=2\r\n"),
        kKey, {}, true);
    // Folded lines are not HTTP/1.1 any more: the continuation is malformed.
    EXPECT_FALSE(r.ok);
    const auto ok = check_handshake_answer(
        answer("Set-Cookie: a=1; Path=/\r\nSec-WebSocket-Extensions: permessage-deflate; client_max_window_bits=10\r\nSet-Cookie: b=2\r\n"),
        kKey, {}, true);
    ASSERT_TRUE(ok.ok) << ok.error;
    EXPECT_EQ(ok.extensions, "permessage-deflate; client_max_window_bits=10");
    ASSERT_TRUE(ok.deflate);
    EXPECT_EQ(ok.deflate->client_max_window_bits, 10);
    EXPECT_EQ(ok.set_cookies, (std::vector<std::string>{"a=1; Path=/", "b=2"}));
    // A refused handshake still hands over its cookies.
    const auto refused = check_handshake_answer("HTTP/1.1 401 No\r\nSet-Cookie: c=3\r\n\r\n", kKey, {}, true);
    EXPECT_EQ(refused.set_cookies, (std::vector<std::string>{"c=3"}));
}

}  // namespace
}  // namespace halyard
