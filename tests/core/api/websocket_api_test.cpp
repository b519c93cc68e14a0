// The WebSocket entry points without a server: record validation and the
// calls each state allows.
#include <gtest/gtest.h>

#include <thread>

#include "support/client.h"
#include "support/raw_server.h"
#include "support/ws_client.h"

namespace halyard_test {
namespace {

struct CreateCase {
    const char* name;
    WsOptions options;
    uint32_t code;
};
class WebSocketCreate : public ::testing::TestWithParam<CreateCase> {};

TEST_P(WebSocketCreate, ChecksTheRecord) {
    auto engine = make_engine();
    ASSERT_TRUE(engine);
    WsRecorder r;
    uint32_t code = 99;
    hy_websocket* socket = make_websocket(engine.get(), GetParam().options, &r, &code);
    EXPECT_EQ(code, GetParam().code);
    EXPECT_EQ(socket != nullptr, GetParam().code == HY_OK);
    hy_websocket_release(socket);
    EXPECT_TRUE(r.events().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, WebSocketCreate,
    ::testing::Values(
        CreateCase{"ws", {.url = "ws://127.0.0.1:9/chat?x=1"}, HY_OK},
        CreateCase{"wss_upper_scheme", {.url = "WSS://Example.COM/"}, HY_OK},
        CreateCase{"ipv6", {.url = "ws://[::1]:9/"}, HY_OK},
        CreateCase{"full", {.url = "ws://h/", .origin = "https://h", .protocols = {"a", "b.c"}, .headers = {{"X-A", "1"}, {"X-A", "2"}}, .timeout_ms = 5}, HY_OK},
        CreateCase{"http_scheme", {.url = "http://127.0.0.1/"}, HY_INVALID_ARGUMENT},
        CreateCase{"no_scheme", {.url = "127.0.0.1/"}, HY_INVALID_ARGUMENT},
        CreateCase{"empty_url", {.url = ""}, HY_INVALID_ARGUMENT},
        CreateCase{"fragment", {.url = "ws://h/#frag"}, HY_INVALID_ARGUMENT},
        CreateCase{"space_in_url_encoded", {.url = "ws://h/a b"}, HY_OK},
        CreateCase{"space_after_url", {.url = "ws://h/a "}, HY_INVALID_ARGUMENT},
        CreateCase{"origin_with_newline", {.url = "ws://h/", .origin = "x\r\ny: z"}, HY_INVALID_ARGUMENT},
        CreateCase{"protocol_not_token", {.url = "ws://h/", .protocols = {"a b"}}, HY_INVALID_ARGUMENT},
        CreateCase{"protocol_twice", {.url = "ws://h/", .protocols = {"a", "a"}}, HY_INVALID_ARGUMENT},
        CreateCase{"empty_protocol", {.url = "ws://h/", .protocols = {""}}, HY_INVALID_ARGUMENT},
        CreateCase{"reserved_header", {.url = "ws://h/", .headers = {{"Sec-WebSocket-Key", "x"}}}, HY_INVALID_ARGUMENT},
        CreateCase{"header_not_token", {.url = "ws://h/", .headers = {{"X A", "x"}}}, HY_INVALID_ARGUMENT},
        CreateCase{"header_value_newline", {.url = "ws://h/", .headers = {{"X-A", "x\ny"}}}, HY_INVALID_ARGUMENT}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WebSocketCreate, RecordHeaders) {
    auto engine = make_engine();
    WsRecorder r;
    const std::string url = "ws://h/";
    WebSocketConfig c{};
    c.size = sizeof c;
    c.abi = HY_ABI_VERSION;
    c.url = url.data();
    c.url_len = url.size();
    c.callbacks = WsRecorder::callbacks(&r);
    hy_websocket* socket = nullptr;
    WebSocketConfig bad = c;
    bad.abi = 7;
    EXPECT_EQ(hy_websocket_create(engine.get(), &bad, &socket), HY_UNSUPPORTED_ABI);
    bad = c;
    bad.size = 128;
    EXPECT_EQ(hy_websocket_create(engine.get(), &bad, &socket), HY_INVALID_ARGUMENT);
    bad = c;
    bad.callbacks.size = 48;
    EXPECT_EQ(hy_websocket_create(engine.get(), &bad, &socket), HY_INVALID_ARGUMENT);
    bad = c;
    bad.callbacks.on_closing = nullptr;
    EXPECT_EQ(hy_websocket_create(engine.get(), &bad, &socket), HY_INVALID_ARGUMENT);
    bad = c;
    bad.protocol_count = 1;
    EXPECT_EQ(hy_websocket_create(engine.get(), &bad, &socket), HY_INVALID_ARGUMENT);
    EXPECT_EQ(hy_websocket_create(nullptr, &c, &socket), HY_INVALID_ARGUMENT);
    EXPECT_EQ(socket, nullptr);
}

class WebSocketStates : public ::testing::Test {
protected:
    void SetUp() override {
        engine_ = make_engine();
        ASSERT_TRUE(engine_);
    }
    hy_websocket* make(const std::string& url) {
        hy_websocket* s = make_websocket(engine_.get(), {.url = url}, &r_);
        EXPECT_NE(s, nullptr);
        return s;
    }
    EnginePtr engine_;
    WsRecorder r_;
};

TEST_F(WebSocketStates, NeverStartedReportsNothing) {
    hy_websocket* s = make("ws://127.0.0.1:9/");
    EXPECT_EQ(send_text(s, "x"), HY_INVALID_STATE);
    EXPECT_EQ(hy_websocket_close(s, 1000, nullptr, 0), HY_INVALID_STATE);
    EXPECT_EQ(hy_websocket_cancel(s), HY_OK);
    // Cancelled before start: it can no longer be started.
    EXPECT_EQ(hy_websocket_start(s), HY_INVALID_STATE);
    hy_websocket_release(s);
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(r_.events().empty());
}

TEST_F(WebSocketStates, CallerCloseCodesAndReasons) {
    hy_websocket* s = make("ws://127.0.0.1:9/");
    const std::string long_reason(124, 'r');
    // Arguments are checked before the state.
    EXPECT_EQ(hy_websocket_close(s, 1001, nullptr, 0), HY_INVALID_ARGUMENT);
    EXPECT_EQ(hy_websocket_close(s, 2999, nullptr, 0), HY_INVALID_ARGUMENT);
    EXPECT_EQ(hy_websocket_close(s, 5000, nullptr, 0), HY_INVALID_ARGUMENT);
    EXPECT_EQ(hy_websocket_close(s, 1000, long_reason.data(), long_reason.size()), HY_INVALID_ARGUMENT);
    EXPECT_EQ(hy_websocket_close(s, 4000, "\xff", 1), HY_INVALID_ARGUMENT);
    EXPECT_EQ(hy_websocket_close(s, 4999, long_reason.data(), 123), HY_INVALID_STATE);
    hy_websocket_release(s);
}

TEST_F(WebSocketStates, SendArgumentsAndStartTwice) {
    hy_websocket* s = make("ws://127.0.0.1:9/");
    EXPECT_EQ(hy_websocket_send(s, 3, nullptr, 0), HY_INVALID_ARGUMENT);
    EXPECT_EQ(hy_websocket_send(s, HY_WS_BINARY, nullptr, 4), HY_INVALID_ARGUMENT);
    // Over the message bound: refused before the data is read.
    const uint8_t one = 0;
    EXPECT_EQ(hy_websocket_send(s, HY_WS_BINARY, &one, (uint64_t{64} << 20) + 1), HY_INVALID_ARGUMENT);
    EXPECT_EQ(hy_websocket_start(s), HY_OK);
    EXPECT_EQ(hy_websocket_start(s), HY_INVALID_STATE);
    // Not open yet (port 9 refuses): sending is refused.
    EXPECT_EQ(send_text(s, "early"), HY_INVALID_STATE);
    ASSERT_TRUE(r_.wait_terminal());
    EXPECT_EQ(r_.terminal().kind, WsEvent::Error);
    EXPECT_EQ(r_.terminal().number, HY_NETWORK);
    EXPECT_EQ(r_.terminal().net_error, -102);
    EXPECT_EQ(r_.terminal().response, 0);
    // After the end: send refused, close and cancel do nothing.
    EXPECT_EQ(send_text(s, "late"), HY_INVALID_STATE);
    EXPECT_EQ(hy_websocket_close(s, 1000, nullptr, 0), HY_OK);
    EXPECT_EQ(hy_websocket_cancel(s), HY_OK);
    hy_websocket_release(s);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(r_.terminal_calls(), 1);
    EXPECT_FALSE(r_.event_after_terminal());
}

TEST_F(WebSocketStates, PhaseLimitsOnlyBeforeTheStart) {
    hy_websocket* s = make("ws://127.0.0.1:9/");
    WebSocketTimeouts t{sizeof(WebSocketTimeouts), HY_ABI_VERSION, 1000, 2000};
    EXPECT_EQ(hy_websocket_set_timeouts(nullptr, &t), HY_INVALID_ARGUMENT);
    EXPECT_EQ(hy_websocket_set_timeouts(s, nullptr), HY_INVALID_ARGUMENT);
    WebSocketTimeouts short_record = t;
    short_record.size = 16;
    EXPECT_EQ(hy_websocket_set_timeouts(s, &short_record), HY_INVALID_ARGUMENT);
    WebSocketTimeouts other_abi = t;
    other_abi.abi = HY_ABI_VERSION + 1;
    EXPECT_EQ(hy_websocket_set_timeouts(s, &other_abi), HY_UNSUPPORTED_ABI);
    EXPECT_EQ(hy_websocket_set_timeouts(s, &t), HY_OK);
    uint32_t phase = 99;
    EXPECT_EQ(hy_websocket_timeout_phase(s, nullptr), HY_INVALID_ARGUMENT);
    EXPECT_EQ(hy_websocket_timeout_phase(nullptr, &phase), HY_INVALID_ARGUMENT);
    EXPECT_EQ(hy_websocket_timeout_phase(s, &phase), HY_OK);
    EXPECT_EQ(phase, HY_TIMEOUT_PHASE_NONE);
    EXPECT_EQ(hy_websocket_start(s), HY_OK);
    EXPECT_EQ(hy_websocket_set_timeouts(s, &t), HY_INVALID_STATE);
    // Refused (port 9): a failure other than a timeout names no phase.
    ASSERT_TRUE(r_.wait_terminal());
    EXPECT_EQ(r_.terminal().number, HY_NETWORK);
    EXPECT_EQ(r_.terminal().timeout_phase, HY_TIMEOUT_PHASE_NONE);
    hy_websocket_release(s);
}

struct RawCase {
    const char* name;
    const char* reply;
    uint32_t result;
    int32_t net_error;
    int32_t response;
};
class WebSocketRawAnswers : public ::testing::TestWithParam<RawCase> {};

TEST_P(WebSocketRawAnswers, FailTheHandshake) {
    const RawCase& c = GetParam();
    RawServer server(c.reply);
    auto engine = make_engine();
    WsRecorder r;
    hy_websocket* s = make_websocket(engine.get(), {.url = "ws://127.0.0.1:" + std::to_string(server.port()) + "/"}, &r);
    ASSERT_EQ(hy_websocket_start(s), HY_OK);
    ASSERT_TRUE(r.wait_terminal());
    const WsEvent t = r.terminal();
    EXPECT_EQ(t.kind, WsEvent::Error);
    EXPECT_EQ(t.number, c.result);
    EXPECT_EQ(t.net_error, c.net_error);
    EXPECT_EQ(t.response, c.response);
    EXPECT_FALSE(t.first.empty());
    EXPECT_EQ(r.events().size(), 1u);  // no open before the failure
    hy_websocket_release(s);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WebSocketRawAnswers,
    ::testing::Values(
        RawCase{"refused_401", "HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n", HY_PROTOCOL, -320, 401},
        RawCase{"plain_200", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi", HY_PROTOCOL, -320, 200},
        RawCase{"bad_accept", "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: nope\r\n\r\n", HY_PROTOCOL, -320, 101},
        RawCase{"not_http", "hello there\r\n\r\n", HY_PROTOCOL, -370, 0},
        RawCase{"closed_silently", "", HY_NETWORK, -324, 0},
        RawCase{"closed_mid_head", "HTTP/1.1 101 Swi", HY_NETWORK, -100, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace halyard_test
