// Live: receive flow control, streamed uploads, cancel, timeouts and the
// release of requests and engines while work is in flight.
#include <gtest/gtest.h>

#include <thread>

#include "loop/engine.h"
#include "live/live_fixture.h"

namespace halyard_test {
namespace {

// A reader like the module's: it consumes whatever arrived whenever the
// Core has been told to pause, then resumes.  Bounded by count and time.
void read_with_pauses(hy_request* request, Recorder& r) {
    for (int i = 0; i < 10000 && !r.complete(); ++i) {
        if (!r.wait_paused(5s)) break;
        if (r.complete()) break;
        std::this_thread::sleep_for(1ms);  // let the pause take effect
        if (r.consume()) {
            EXPECT_EQ(hy_request_resume_read(request), HY_OK);
        }
    }
}

struct PauseCase {
    const char* name;
    bool tls;
    const char* query;
};
class LivePause : public Live, public ::testing::WithParamInterface<PauseCase> {};

TEST_P(LivePause, NoByteLostOrRepeatedAcrossPauses) {
    const PauseCase c = GetParam();
    auto engine = make_engine({.tls_verify = HY_TLS_CA_BUNDLE, .ca_bundle = servers_->ca_pem});
    constexpr size_t kSize = 4 * 1024 * 1024 + 123;
    Recorder r;
    r.pause_threshold = 256 * 1024;
    const std::string path = std::string(c.query) == "gzip" ? "/gzipbytes/" + std::to_string(kSize)
                                                            : "/bytes/" + std::to_string(kSize) + c.query;
    hy_request* request = make_request(engine.get(), {.url = c.tls ? https_url(path) : http_url(path)}, &r);
    ASSERT_NE(request, nullptr);
    ASSERT_EQ(hy_request_start(request), HY_OK);
    read_with_pauses(request, r);
    ASSERT_TRUE(r.wait_complete(20s));
    EXPECT_EQ(r.result(), HY_OK) << r.net_error();
    EXPECT_GT(r.pauses(), 4);
    const std::string body = r.body();
    EXPECT_EQ(body.size(), kSize);
    EXPECT_TRUE(body == pattern(kSize)) << "body differs from the pattern";
    hy_request_release(request);
}
INSTANTIATE_TEST_SUITE_P(Transports, LivePause,
                         ::testing::Values(PauseCase{"h1", false, ""}, PauseCase{"h1chunked", false, "?chunked=1"},
                                           PauseCase{"h2", true, ""}, PauseCase{"h1gzip", false, "gzip"},
                                           PauseCase{"h2gzip", true, "gzip"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Live, PausedStreamDoesNotStallSiblingOnSameHttp2Connection) {
    auto engine = make_engine({.tls_verify = HY_TLS_CA_BUNDLE, .ca_bundle = servers_->ca_pem});
    Recorder paused;
    paused.pause_threshold = 1;  // pauses at its first chunk and is never resumed here
    hy_request* first = make_request(engine.get(), {.url = https_url("/bytes/3000000")}, &paused);
    ASSERT_EQ(hy_request_start(first), HY_OK);
    ASSERT_TRUE(paused.wait_paused());
    Recorder sibling;
    run_request(engine.get(), {.url = https_url("/bytes/2000000")}, sibling, 20s);
    EXPECT_TRUE(sibling.complete());
    EXPECT_EQ(sibling.body().size(), 2000000u);
    EXPECT_FALSE(paused.complete());
    EXPECT_EQ(hy_request_cancel(first), HY_OK);
    ASSERT_TRUE(paused.wait_complete());
    EXPECT_EQ(paused.result(), HY_CANCELED);
    hy_request_release(first);
}

struct UploadCase {
    const char* name;
    bool tls;
    uint32_t version;
};
class LiveUpload : public Live, public ::testing::WithParamInterface<UploadCase> {};

TEST_P(LiveUpload, StreamedBodyArrivesWhole) {
    const UploadCase c = GetParam();
    auto engine = make_engine({.http_version = c.version, .tls_verify = HY_TLS_CA_BUNDLE, .ca_bundle = servers_->ca_pem});
    Recorder r;
    hy_request* request = make_request(
        engine.get(), {.method = "PUT", .url = c.tls ? https_url("/echo") : http_url("/echo"), .body_kind = HY_BODY_STREAM}, &r);
    ASSERT_NE(request, nullptr);
    // Refused before start.
    EXPECT_EQ(hy_request_upload_write(request, reinterpret_cast<const uint8_t*>("x"), 1, 0), HY_INVALID_STATE);
    ASSERT_EQ(hy_request_start(request), HY_OK);
    std::string sent;
    for (int i = 0; i < 40; ++i) {
        std::string piece = pattern(100000 + static_cast<size_t>(i) * 997);
        sent += piece;
        ASSERT_EQ(hy_request_upload_write(request, reinterpret_cast<const uint8_t*>(piece.data()), piece.size(), 0), HY_OK);
        if (i % 10 == 0) std::this_thread::sleep_for(5ms);  // lets the reader run dry and pause
    }
    ASSERT_EQ(hy_request_upload_write(request, nullptr, 0, 1), HY_OK);
    // After the final piece.
    EXPECT_EQ(hy_request_upload_write(request, reinterpret_cast<const uint8_t*>("x"), 1, 0), HY_INVALID_STATE);
    ASSERT_TRUE(r.wait_complete(20s));
    EXPECT_EQ(r.result(), HY_OK) << r.net_error();
    const std::string echo = r.body();
    EXPECT_EQ(echo_values(echo, "body-length"), std::vector<std::string>{std::to_string(sent.size())});
    EXPECT_EQ(echo_values(echo, "body-hash"), std::vector<std::string>{std::to_string(fnv1a(sent))});
    EXPECT_EQ(echo_values(echo, "method"), std::vector<std::string>{"PUT"});
    if (!c.tls) {
        EXPECT_EQ(echo_values(echo, "header: transfer-encoding"), std::vector<std::string>{"chunked"});
    }
    hy_request_release(request);
}
INSTANTIATE_TEST_SUITE_P(Transports, LiveUpload,
                         ::testing::Values(UploadCase{"h1", false, HY_HTTP_1_1}, UploadCase{"h2", true, HY_HTTP_AUTO}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Live, UploadWriteRefusedWithoutStreamedBody) {
    Recorder r;
    hy_request* request = make_request(engine_.get(), {.method = "POST", .url = http_url("/echo"), .body = "a", .body_kind = HY_BODY_BYTES}, &r);
    ASSERT_EQ(hy_request_start(request), HY_OK);
    EXPECT_EQ(hy_request_upload_write(request, reinterpret_cast<const uint8_t*>("x"), 1, 1), HY_INVALID_STATE);
    ASSERT_TRUE(r.wait_complete());
    hy_request_release(request);
}

TEST_F(Live, BlockedUploadWriterWakesWhenRequestIsCancelled) {
    // The server never reads a body on /stall, so the queue fills up and
    // the writer waits for room until the cancel ends the request.
    Recorder r;
    hy_request* request = make_request(engine_.get(), {.method = "POST", .url = http_url("/stall"), .body_kind = HY_BODY_STREAM}, &r);
    ASSERT_EQ(hy_request_start(request), HY_OK);
    std::atomic<uint32_t> writer_result{0xFFFF};
    std::atomic<int> writes{0};
    std::thread writer([&] {
        const std::string piece(1024 * 1024, 'u');
        for (int i = 0; i < 200; ++i) {
            const uint32_t rc = hy_request_upload_write(request, reinterpret_cast<const uint8_t*>(piece.data()), piece.size(), 0);
            ++writes;
            if (rc != HY_OK) {
                writer_result = rc;
                return;
            }
        }
        writer_result = HY_OK;
    });
    // Wait until the writer is stuck (writes stop advancing).
    int last = -1;
    for (int i = 0; i < 100; ++i) {
        std::this_thread::sleep_for(50ms);
        if (writes.load() == last) break;
        last = writes.load();
    }
    EXPECT_LT(writes.load(), 200) << "back-pressure never held the writer";
    EXPECT_EQ(writer_result.load(), 0xFFFFu);
    EXPECT_EQ(hy_request_cancel(request), HY_OK);
    writer.join();
    EXPECT_EQ(writer_result.load(), HY_CANCELED);
    ASSERT_TRUE(r.wait_complete());
    EXPECT_EQ(r.result(), HY_CANCELED);
    EXPECT_EQ(r.net_error(), -3);
    hy_request_release(request);
}

TEST_F(Live, CancelEndsRunningRequestOnceAndIsHarmlessAfterwards) {
    Recorder r;
    hy_request* request = make_request(engine_.get(), {.url = http_url("/stall")}, &r);
    ASSERT_EQ(hy_request_start(request), HY_OK);
    ASSERT_TRUE(r.wait_body_size(5));
    EXPECT_EQ(hy_request_cancel(request), HY_OK);
    ASSERT_TRUE(r.wait_complete());
    EXPECT_EQ(r.result(), HY_CANCELED);
    EXPECT_EQ(r.net_error(), -3);
    EXPECT_EQ(hy_request_cancel(request), HY_OK);  // finished: nothing happens
    EXPECT_EQ(hy_request_resume_read(request), HY_OK);
    EXPECT_EQ(hy_request_follow_redirect(request), HY_INVALID_STATE);
    EXPECT_EQ(hy_request_start(request), HY_INVALID_STATE);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(r.complete_calls(), 1);
    hy_request_release(request);
}

TEST_F(Live, CancelBeforeStartRefusesTheStartAndDeliversNothing) {
    Recorder r;
    hy_request* request = make_request(engine_.get(), {.url = http_url("/hello")}, &r);
    EXPECT_EQ(hy_request_cancel(request), HY_OK);
    EXPECT_EQ(hy_request_start(request), HY_INVALID_STATE);
    hy_request_release(request);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(r.complete_calls(), 0);
}

TEST_F(Live, TimeoutCoversTheWholeRequest) {
    struct Case {
        std::string path;
        uint64_t timeout_ms;
    };
    // Waiting for the head, and in the middle of the body.
    for (const Case& c : {Case{"/slow?delay=5", 200}, Case{"/stall", 300}}) {
        SCOPED_TRACE(c.path);
        Recorder r;
        const auto started = std::chrono::steady_clock::now();
        run({.url = http_url(c.path), .timeout_ms = c.timeout_ms}, r);
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(r.result(), HY_TIMEOUT);
        EXPECT_EQ(r.net_error(), -7);
        EXPECT_GE(took, std::chrono::milliseconds(c.timeout_ms));
    }
    // A timeout that does not expire changes nothing.
    Recorder fine;
    run({.url = http_url("/hello"), .timeout_ms = 5000}, fine);
    EXPECT_EQ(fine.result(), HY_OK);
}

// Phase limits (hy_request_set_timeouts): the stalled phase ends the
// request and names itself; the other phases' limits do not interfere.
struct PhaseCase {
    const char* name;
    const char* path;
    RequestTimeouts limits;
    uint32_t phase;
    uint64_t total_ms = 8000;
};
class LivePhase : public Live, public ::testing::WithParamInterface<PhaseCase> {};

TEST_P(LivePhase, TheStalledPhaseEndsTheRequest) {
    const PhaseCase c = GetParam();
    Recorder r;
    hy_request* request = make_request(engine_.get(), {.url = http_url(c.path), .timeout_ms = c.total_ms}, &r);
    RequestTimeouts limits = c.limits;
    limits.size = sizeof limits;
    limits.abi = HY_ABI_VERSION;
    ASSERT_EQ(hy_request_set_timeouts(request, &limits), HY_OK);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(hy_request_start(request), HY_OK);
    EXPECT_EQ(hy_request_set_timeouts(request, &limits), HY_INVALID_STATE);
    ASSERT_TRUE(r.wait_complete());
    const auto took = std::chrono::steady_clock::now() - started;
    uint32_t phase = 99;
    ASSERT_EQ(hy_request_timeout_phase(request, &phase), HY_OK);
    EXPECT_EQ(phase, c.phase);
    if (c.phase == HY_TIMEOUT_PHASE_NONE) {
        EXPECT_EQ(r.result(), HY_OK);
    } else {
        EXPECT_EQ(r.result(), HY_TIMEOUT);
        EXPECT_EQ(r.net_error(), -7);
        EXPECT_GE(took, 300ms);
        EXPECT_LT(took, 5s);
    }
    hy_request_release(request);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LivePhase,
    ::testing::Values(
        PhaseCase{"head", "/slow?delay=5", {.connect_ms = 5000, .read_ms = 300, .write_ms = 300}, HY_TIMEOUT_PHASE_READ},
        PhaseCase{"mid_body", "/stall", {.read_ms = 300}, HY_TIMEOUT_PHASE_READ},
        PhaseCase{"answered_in_time", "/slow?delay=0.1", {.connect_ms = 300, .read_ms = 2000, .write_ms = 300, .pool_ms = 300},
                  HY_TIMEOUT_PHASE_NONE},
        PhaseCase{"total_first", "/stall", {.read_ms = 6000}, HY_TIMEOUT_PHASE_TOTAL, 400}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Live, PausedReadingRunsNoReadPhase) {
    Recorder r;
    r.pause_threshold = 64 * 1024;
    constexpr size_t kSize = 1024 * 1024;
    hy_request* request = make_request(engine_.get(), {.url = http_url("/bytes/" + std::to_string(kSize))}, &r);
    // Long enough for the test server to make the body, which it does
    // before the head goes out.
    RequestTimeouts limits{.size = sizeof(RequestTimeouts), .abi = HY_ABI_VERSION, .read_ms = 1000};
    ASSERT_EQ(hy_request_set_timeouts(request, &limits), HY_OK);
    ASSERT_EQ(hy_request_start(request), HY_OK);
    ASSERT_TRUE(r.wait_paused());
    std::this_thread::sleep_for(2500ms);  // the reader is away far longer than the read limit
    EXPECT_FALSE(r.complete());
    read_with_pauses(request, r);
    ASSERT_TRUE(r.wait_complete());
    EXPECT_EQ(r.result(), HY_OK);
    EXPECT_EQ(r.body().size(), kSize);
    hy_request_release(request);
}

TEST_F(Live, ReleaseOfRunningRequestCancelsItAndStillCompletes) {
    Recorder r;
    hy_request* request = make_request(engine_.get(), {.url = http_url("/stall")}, &r);
    ASSERT_EQ(hy_request_start(request), HY_OK);
    ASSERT_TRUE(r.wait_body_size(5));
    const auto before = std::chrono::steady_clock::now();
    hy_request_release(request);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 100ms) << "release waited";
    ASSERT_TRUE(r.wait_complete());
    EXPECT_EQ(r.result(), HY_CANCELED);
    EXPECT_EQ(r.net_error(), -3);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(r.complete_calls(), 1);
}

TEST_F(Live, ReleaseRightAfterStartStillCompletesOnce) {
    for (int i = 0; i < 20; ++i) {
        Recorder r;
        hy_request* request = make_request(engine_.get(), {.url = http_url("/hello")}, &r);
        ASSERT_EQ(hy_request_start(request), HY_OK);
        hy_request_release(request);
        ASSERT_TRUE(r.wait_complete());
        // Either outcome is possible, but exactly one on_complete.
        EXPECT_TRUE(r.result() == HY_OK || r.result() == HY_CANCELED);
        std::this_thread::sleep_for(2ms);
        EXPECT_EQ(r.complete_calls(), 1);
    }
}

TEST_F(Live, EngineReleasedWhileRequestRunsLetsItFinish) {
    // Engines of earlier tests end asynchronously; only the fixture's runs.
    ASSERT_TRUE(wait_engine_threads(1));
    const int threads_before = halyard::running_engine_threads();
    auto engine = make_engine();
    Recorder r;
    hy_request* request = make_request(engine.get(), {.url = http_url("/slow?delay=0.3")}, &r);
    ASSERT_EQ(hy_request_start(request), HY_OK);
    engine.reset();  // hy_engine_release while the request runs
    ASSERT_TRUE(r.wait_complete());
    EXPECT_EQ(r.result(), HY_OK);
    EXPECT_EQ(r.body(), "late");
    hy_request_release(request);
    // With its last user gone the engine's thread ends.
    EXPECT_TRUE(wait_engine_threads(threads_before));
}

TEST_F(Live, CreatedRequestOutlivesEngineHandleAndCanStillRun) {
    // Engines of earlier tests end asynchronously; only the fixture's runs.
    ASSERT_TRUE(wait_engine_threads(1));
    const int threads_before = halyard::running_engine_threads();
    auto engine = make_engine();
    Recorder r;
    hy_request* request = make_request(engine.get(), {.url = http_url("/hello")}, &r);
    engine.reset();
    EXPECT_EQ(halyard::running_engine_threads(), threads_before + 1);
    ASSERT_EQ(hy_request_start(request), HY_OK);
    ASSERT_TRUE(r.wait_complete());
    EXPECT_EQ(r.result(), HY_OK);
    hy_request_release(request);
    EXPECT_TRUE(wait_engine_threads(threads_before));
}

TEST_F(Live, OnlyIfCachedMissesAndOtherCacheModesGoToTheNetwork) {
    Recorder miss;
    run({.url = http_url("/hello"), .cache_mode = HY_CACHE_ONLY_IF_CACHED}, miss);
    EXPECT_EQ(miss.result(), HY_CACHE_MISS);
    EXPECT_EQ(miss.net_error(), -400);
    EXPECT_EQ(miss.status(), 0);
    for (uint32_t mode : {HY_CACHE_DEFAULT, HY_CACHE_VALIDATE, HY_CACHE_BYPASS, HY_CACHE_NO_STORE, HY_CACHE_FORCE}) {
        Recorder r;
        run({.url = http_url("/hello"), .cache_mode = mode}, r);
        EXPECT_EQ(r.result(), HY_OK) << mode;
        EXPECT_EQ(r.body(), "hello");
    }
}

}  // namespace
}  // namespace halyard_test
