// Live: WebSocket connections through the C interface against the
// WebSocket test server: echo sizes in clear and over TLS, closing from
// either side, release and cancel of running connections, the send bound,
// timeouts, and many connections fed from several threads at once.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/client.h"
#include "support/live_server.h"
#include "support/ws_client.h"

namespace halyard_test {
namespace {

class LiveWs : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        servers_ = live_servers(&why);
        if (!servers_) HALYARD_LIVE_UNAVAILABLE(why);
        if (servers_->ws == 0) HALYARD_LIVE_UNAVAILABLE("the WebSocket test server did not start");
        engine_ = make_engine({.tls_verify = HY_TLS_CA_BUNDLE, .ca_bundle = servers_->ca_pem});
        ASSERT_TRUE(engine_);
    }
    std::string url(const std::string& path, bool tls = false) const {
        return std::string(tls ? "wss" : "ws") + "://127.0.0.1:" + std::to_string(tls ? servers_->wss : servers_->ws) + path;
    }
    // Creates, starts and waits for the open.
    hy_websocket* open(const WsOptions& o, WsRecorder& r) {
        hy_websocket* s = make_websocket(engine_.get(), o, &r);
        EXPECT_NE(s, nullptr);
        EXPECT_EQ(hy_websocket_start(s), HY_OK);
        EXPECT_TRUE(r.wait_open()) << o.url;
        return s;
    }

    const LiveServers* servers_ = nullptr;
    EnginePtr engine_;
};

std::string pattern_of(size_t n, uint8_t seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + seed) % 26);
    return s;
}

struct EchoCase {
    const char* name;
    bool tls;
    bool text;
    size_t size;
};
class LiveWsEcho : public LiveWs, public ::testing::WithParamInterface<EchoCase> {};

TEST_P(LiveWsEcho, MessageComesBackWhole) {
    const EchoCase c = GetParam();
    WsRecorder r;
    hy_websocket* s = open({.url = url("/echo", c.tls)}, r);
    const std::string data = pattern_of(c.size, static_cast<uint8_t>(c.size));
    ASSERT_EQ(c.text ? send_text(s, data) : send_binary(s, data), HY_OK);
    ASSERT_TRUE(r.wait_messages(1, 30s));
    const auto messages = r.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].number, c.text ? 1u : 2u);
    EXPECT_EQ(messages[0].first.size(), c.size);
    EXPECT_TRUE(messages[0].first == data);
    // The test server accepts compression: messages travel compressed.
    EXPECT_EQ(messages[0].flags, 1u);
    ASSERT_EQ(hy_websocket_close(s, 1000, "done", 4), HY_OK);
    ASSERT_TRUE(r.wait_terminal());
    EXPECT_EQ(r.terminal().kind, WsEvent::Close);
    EXPECT_EQ(r.terminal().number, 1000u);
    EXPECT_EQ(r.terminal().first, "done");
    EXPECT_EQ(r.terminal().flags, 1u);  // closed from this side
    hy_websocket_release(s);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, LiveWsEcho,
    ::testing::Values(EchoCase{"empty_text", false, true, 0}, EchoCase{"empty_binary", false, false, 0},
                      EchoCase{"small_text_tls", true, true, 125}, EchoCase{"len16_binary", false, false, 126},
                      EchoCase{"len64_binary_tls", true, false, 65536},
                      EchoCase{"mib16_binary", false, false, size_t{16} << 20},
                      EchoCase{"mib16_text_tls", true, true, size_t{16} << 20}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LiveWs, OpenReportsProtocolAndExtensions) {
    WsRecorder r;
    hy_websocket* s = open({.url = url("/protocol"), .protocols = {"chat", "superchat"}}, r);
    const WsEvent opened = r.events().front();
    EXPECT_EQ(opened.first, "chat");
    EXPECT_EQ(opened.second.rfind("permessage-deflate", 0), 0u) << opened.second;
    hy_websocket_release(s);
    ASSERT_TRUE(r.wait_terminal());
}

TEST_F(LiveWs, ServerCloseCarriesCodeAndReason) {
    WsRecorder r;
    hy_websocket* s = open({.url = url("/close?code=4321&reason=server+says+bye")}, r);
    ASSERT_TRUE(r.wait_terminal());
    const auto events = r.events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1].kind, WsEvent::Closing);
    EXPECT_EQ(events[2].kind, WsEvent::Close);
    EXPECT_EQ(events[2].number, 4321u);
    EXPECT_EQ(events[2].first, "server says bye");
    EXPECT_EQ(events[2].flags, 0u);
    // The closing handshake started: sends are refused.
    EXPECT_EQ(send_text(s, "x"), HY_INVALID_STATE);
    hy_websocket_release(s);
}

TEST_F(LiveWs, ReleaseOfARunningConnectionStillEndsIt) {
    WsRecorder r;
    hy_websocket* s = open({.url = url("/echo")}, r);
    ASSERT_EQ(send_text(s, "in flight"), HY_OK);
    hy_websocket_release(s);
    ASSERT_TRUE(r.wait_terminal());
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(r.terminal_calls(), 1);
    EXPECT_FALSE(r.event_after_terminal());
    const WsEvent t = r.terminal();
    // Unless the echo and a close raced it, the release cancels.
    EXPECT_EQ(t.kind, WsEvent::Error);
    EXPECT_EQ(t.number, HY_CANCELED);
    EXPECT_EQ(t.net_error, -3);
}

TEST_F(LiveWs, CancelDuringABurst) {
    WsRecorder r;
    hy_websocket* s = open({.url = url("/burst?count=100000&size=4096")}, r);
    ASSERT_TRUE(r.wait_messages(10));
    ASSERT_EQ(hy_websocket_cancel(s), HY_OK);
    ASSERT_TRUE(r.wait_terminal());
    EXPECT_EQ(r.terminal().number, HY_CANCELED);
    EXPECT_EQ(r.terminal().net_error, -3);
    EXPECT_LT(r.messages().size(), 100000u);
    hy_websocket_release(s);
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(r.event_after_terminal());
}

TEST_F(LiveWs, CloseWhileConnectingAbandonsTheAttempt) {
    WsRecorder r;
    hy_websocket* s = make_websocket(engine_.get(), {.url = url("/stall")}, &r);
    ASSERT_EQ(hy_websocket_start(s), HY_OK);
    ASSERT_EQ(hy_websocket_close(s, 1000, nullptr, 0), HY_OK);
    ASSERT_TRUE(r.wait_terminal());
    EXPECT_EQ(r.events().size(), 1u);
    EXPECT_EQ(r.terminal().number, HY_CANCELED);
    hy_websocket_release(s);
}

TEST_F(LiveWs, HandshakeTimeout) {
    WsRecorder r;
    hy_websocket* s = make_websocket(engine_.get(), {.url = url("/stall"), .timeout_ms = 300}, &r);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(hy_websocket_start(s), HY_OK);
    ASSERT_TRUE(r.wait_terminal());
    EXPECT_GE(std::chrono::steady_clock::now() - started, 290ms);
    EXPECT_EQ(r.terminal().number, HY_TIMEOUT);
    EXPECT_EQ(r.terminal().net_error, -7);
    hy_websocket_release(s);
}

struct PhaseCase {
    const char* name;
    uint64_t total_ms, connect_ms, handshake_ms;
    uint32_t phase;
    std::chrono::milliseconds at_least;
};
class LiveWsPhases : public LiveWs, public ::testing::WithParamInterface<PhaseCase> {};

// A server that takes the connection and never answers the upgrade: the
// phase that runs out names the failure, -7 (the connection stood).
TEST_P(LiveWsPhases, TheExpiredPhaseNamesTheFailure) {
    const PhaseCase c = GetParam();
    WsRecorder r;
    hy_websocket* s = make_websocket(engine_.get(),
                                     {.url = url("/stall"), .timeout_ms = c.total_ms, .connect_ms = c.connect_ms,
                                      .handshake_ms = c.handshake_ms},
                                     &r);
    ASSERT_NE(s, nullptr);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(hy_websocket_start(s), HY_OK);
    ASSERT_TRUE(r.wait_terminal());
    EXPECT_GE(std::chrono::steady_clock::now() - started, c.at_least - 10ms);
    EXPECT_EQ(r.events().size(), 1u);
    EXPECT_EQ(r.terminal().number, HY_TIMEOUT);
    EXPECT_EQ(r.terminal().net_error, -7);
    EXPECT_EQ(r.terminal().timeout_phase, c.phase) << r.terminal().first;
    uint32_t phase = 0;
    EXPECT_EQ(hy_websocket_timeout_phase(s, &phase), HY_OK);
    EXPECT_EQ(phase, c.phase);
    hy_websocket_release(s);
}

INSTANTIATE_TEST_SUITE_P(
    Phases, LiveWsPhases,
    ::testing::Values(PhaseCase{"handshake", 0, 0, 300, HY_TIMEOUT_PHASE_HANDSHAKE, 300ms},
                      // The total ran out first.
                      PhaseCase{"total_first", 300, 0, 5000, HY_TIMEOUT_PHASE_TOTAL, 300ms},
                      // The connect limit ends once the connection stands.
                      PhaseCase{"connect_done", 700, 200, 0, HY_TIMEOUT_PHASE_TOTAL, 700ms},
                      PhaseCase{"handshake_first", 5000, 200, 300, HY_TIMEOUT_PHASE_HANDSHAKE, 300ms}),
    [](const auto& info) { return std::string(info.param.name); });

// The limits end with the open: a quiet open connection is never timed out.
TEST_F(LiveWs, PhaseLimitsEndAtTheOpen) {
    WsRecorder r;
    // Limits a sanitized build on a loaded machine still opens within, and a
    // quiet spell well past both.
    hy_websocket* s = open({.url = url("/echo"), .connect_ms = 1500, .handshake_ms = 1500}, r);
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(r.events().size(), 1u);
    ASSERT_EQ(send_text(s, "still here"), HY_OK);
    ASSERT_TRUE(r.wait_messages(1));
    EXPECT_EQ(hy_websocket_close(s, 1000, nullptr, 0), HY_OK);
    ASSERT_TRUE(r.wait_terminal());
    EXPECT_EQ(r.terminal().kind, WsEvent::Close);
    hy_websocket_release(s);
}

TEST_F(LiveWs, SendQueueIsBounded) {
    WsRecorder r;
    hy_websocket* s = open({.url = url("/silent")}, r);
    // The peer reads nothing: once its buffers are full, unsent messages
    // pile up to the bound and then sends are refused.  The payload does
    // not compress (the server accepts permessage-deflate), so what is
    // queued is what would go on the wire.
    std::string piece(4 << 20, '\0');
    uint32_t state = 2463534242u;
    for (char& c : piece) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        c = static_cast<char>(state);
    }
    uint32_t rc = HY_OK;
    int sent = 0;
    for (; sent < 60 && rc == HY_OK; ++sent) {
        rc = send_binary(s, piece);
        if (rc == HY_OK) std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(rc, HY_OUT_OF_MEMORY);
    EXPECT_GE(sent, 16);
    hy_websocket_cancel(s);
    ASSERT_TRUE(r.wait_terminal());
    EXPECT_EQ(r.terminal().number, HY_CANCELED);
    hy_websocket_release(s);
}

TEST_F(LiveWs, ManyConnectionsFedFromSeveralThreads) {
    constexpr int kConnections = 24;
    constexpr int kThreads = 4;
    constexpr int kPerThread = 25;
    std::vector<std::unique_ptr<WsRecorder>> recorders;
    std::vector<hy_websocket*> sockets;
    for (int i = 0; i < kConnections; ++i) {
        recorders.push_back(std::make_unique<WsRecorder>());
        sockets.push_back(make_websocket(engine_.get(), {.url = url("/echo", i % 2 == 1)}, recorders.back().get()));
        ASSERT_EQ(hy_websocket_start(sockets.back()), HY_OK);
    }
    for (auto& r : recorders) ASSERT_TRUE(r->wait_open());
    std::atomic<int> refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < kPerThread; ++k)
                for (auto* s : sockets)
                    if (send_text(s, "t" + std::to_string(t) + "-" + std::to_string(k)) != HY_OK) ++refused;
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(refused.load(), 0);
    for (int i = 0; i < kConnections; ++i) {
        ASSERT_TRUE(recorders[i]->wait_messages(kThreads * kPerThread, 30s));
        // Each thread's messages arrive in the order that thread sent them.
        std::vector<int> next(kThreads, 0);
        for (const auto& m : recorders[i]->messages()) {
            const int t = m.first[1] - '0';
            EXPECT_EQ(m.first, "t" + std::to_string(t) + "-" + std::to_string(next[t]));
            ++next[t];
        }
        EXPECT_EQ(hy_websocket_close(sockets[i], 3000, "bye", 3), HY_OK);
    }
    for (auto& r : recorders) {
        ASSERT_TRUE(r->wait_terminal());
        EXPECT_EQ(r->terminal().kind, WsEvent::Close);
    }
    for (auto* s : sockets) hy_websocket_release(s);
}

// A send racing a close: every message whose send was accepted reaches the
// server before the close (before the check and the queueing were one
// step, one could be accepted after the close was queued and dropped).
TEST_F(LiveWs, EveryAcceptedSendRacingACloseIsDelivered) {
    for (int round = 0; round < 40; ++round) {
        const std::string tag = "race" + std::to_string(round) + "-" + std::to_string(::getpid());
        WsRecorder r;
        hy_websocket* s = open({.url = url("/count?tag=" + tag)}, r);
        std::atomic<int> accepted{0};
        std::atomic<bool> go{false};
        std::thread sender([&] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < 100000; ++i) {
                if (send_text(s, "m") != HY_OK) return;
                ++accepted;
            }
        });
        go.store(true);
        std::this_thread::sleep_for(std::chrono::microseconds(200 * (round % 5)));
        ASSERT_EQ(hy_websocket_close(s, 1000, nullptr, 0), HY_OK);
        sender.join();
        ASSERT_TRUE(r.wait_terminal(30s));
        EXPECT_EQ(r.terminal().kind, WsEvent::Close);
        hy_websocket_release(s);

        WsRecorder report;
        hy_websocket* q = open({.url = url("/count-report?tag=" + tag)}, report);
        ASSERT_TRUE(report.wait_messages(1));
        EXPECT_EQ(report.messages().front().first, std::to_string(accepted.load())) << "round " << round;
        hy_websocket_close(q, 1000, nullptr, 0);
        ASSERT_TRUE(report.wait_terminal());
        hy_websocket_release(q);
    }
}

// Drives in 50 ms slices (as the module does) until `count` messages came;
// false when they did not within `limit`.
bool drive_for_messages(hy_websocket* s, WsRecorder& r, size_t count, std::chrono::milliseconds limit = 20s) {
    MessageCount want{&r, count};
    const auto end = std::chrono::steady_clock::now() + limit;
    while (WsRecorder::has_messages(&want) == 0) {
        if (std::chrono::steady_clock::now() > end) return false;
        if (hy_websocket_drive(s, 50, &WsRecorder::has_messages, &want) != HY_OK) return false;
    }
    return true;
}

// Context switches of every thread of this process but the calling one
// (the engine's network thread among them), from /proc.
uint64_t other_threads_switches() {
    uint64_t total = 0;
    const std::string own = std::to_string(gettid());
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        if (task.path().filename() == own) continue;
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.find("ctxt_switches:") != std::string::npos) total += std::stoull(line.substr(line.find(':') + 1));
        }
    }
    return total;
}

// A caller that sends with hy_websocket_send_driven and waits with
// hy_websocket_drive writes and reads its socket itself: once it holds
// the loop (its first wait takes it from the network thread, which ran
// the open), the network thread sleeps through the exchanges, looking in
// now and then.  A send that woke it would cost two switches per round.
TEST_F(LiveWs, DrivenSendsAndWaitsLeaveTheNetworkThreadAsleep) {
    WsRecorder r;
    hy_websocket* s = open({.url = url("/echo")}, r);
    ASSERT_EQ(send_text_driven(s, "first"), HY_OK);
    ASSERT_TRUE(drive_for_messages(s, r, 1));
    constexpr size_t kRounds = 200;
    const uint64_t before = other_threads_switches();
    for (size_t i = 2; i <= kRounds + 1; ++i) {
        const std::string text = "echo " + std::to_string(i);
        ASSERT_EQ(send_text_driven(s, text), HY_OK);
        ASSERT_TRUE(drive_for_messages(s, r, i)) << "round " << i;
        ASSERT_EQ(r.messages().back().first, text);
    }
    EXPECT_LT(other_threads_switches() - before, kRounds);
    ASSERT_EQ(hy_websocket_close(s, 1000, nullptr, 0), HY_OK);
    ASSERT_TRUE(r.wait_terminal());
    EXPECT_EQ(r.terminal().kind, WsEvent::Close);
    hy_websocket_release(s);
}

// Threads that each send and wait on their own connection of one engine
// take turns at the loop (one runs it, the others follow or find it
// free): every echo comes back, in order, to its own connection.
TEST_F(LiveWs, ThreadsEchoingOnOneEngineAtOnceEachGetTheirAnswers) {
    constexpr int kThreads = 4;
    constexpr size_t kRounds = 150;
    std::vector<WsRecorder> recorders(kThreads);
    std::vector<hy_websocket*> sockets;
    for (auto& r : recorders) sockets.push_back(open({.url = url("/echo")}, r));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (size_t i = 1; i <= kRounds; ++i) {
                const std::string text = std::to_string(t) + ":" + std::to_string(i);
                if (send_text_driven(sockets[t], text) != HY_OK || !drive_for_messages(sockets[t], recorders[t], i) ||
                    recorders[t].messages().back().first != text) {
                    ++failures;
                    return;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(recorders[t].messages().size(), kRounds);
        hy_websocket_close(sockets[t], 1000, nullptr, 0);
        EXPECT_TRUE(recorders[t].wait_terminal());
        hy_websocket_release(sockets[t]);
    }
}

// A caller that leaves the loop (it sent, and does not wait) leaves the
// connection to the network thread after the grace: the answers still
// come, in order, with nobody driving; a send refused by the Core's checks
// is refused as hy_websocket_send refuses it.
TEST_F(LiveWs, AConnectionItsCallerLeftIsServedByTheNetworkThread) {
    WsRecorder r;
    hy_websocket* s = open({.url = url("/echo")}, r);
    ASSERT_EQ(send_text_driven(s, "first"), HY_OK);
    ASSERT_TRUE(drive_for_messages(s, r, 1));
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(send_text_driven(s, "left " + std::to_string(i)), HY_OK);
        std::this_thread::sleep_for(3ms);  // past the grace, now and then
    }
    ASSERT_TRUE(r.wait_messages(6));
    const auto messages = r.messages();
    ASSERT_EQ(messages.size(), 6u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(messages[i + 1].first, "left " + std::to_string(i));
    const std::string invalid = "\xff";
    EXPECT_EQ(send_text_driven(s, invalid), HY_INVALID_ARGUMENT);
    ASSERT_EQ(hy_websocket_close(s, 1000, nullptr, 0), HY_OK);
    ASSERT_TRUE(r.wait_terminal());
    EXPECT_EQ(send_text_driven(s, "late"), HY_INVALID_STATE);
    hy_websocket_release(s);
}

}  // namespace
}  // namespace halyard_test
