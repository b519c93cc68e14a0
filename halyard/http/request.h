// One HTTP request: its copied configuration, the calls other threads make
// on it (which only post commands), and the network-thread side that runs
// its transfers hop by hop.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "api/config.h"
#include "api/contain.h"
#include "api/lifecycle.h"
#include "transport/error_map.h"
#include "http/head_block.h"
#include "http/phase_deadlines.h"
#include "http/redirect.h"
#include "cache/http_cache.h"
#include "api/outcome.h"
#include "http/response_limits.h"
#include "http/sent_heads.h"
#include "http/upload_queue.h"
#include "loop/clock.h"
#include "transport/curl_api.h"
#include "transport/quic_origins.h"

// The module's request handle is the request object itself.
struct hy_request {
protected:
    hy_request() = default;
};

namespace halyard {

class Engine;

class Request final : public hy_request, public std::enable_shared_from_this<Request> {
public:
    // The new request holds the handle reference that release() gives up.
    static Request* create(std::shared_ptr<Engine> engine, RequestSpec spec);
    ~Request();
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    // --- hy_request_* calls, any thread.  None waits for the network
    // thread except upload_write and upload_wait, which wait for room in
    // the upload queue (upload_push queues without waiting).
    uint32_t start();
    // The start of a caller that runs the loop next (drive): the network
    // thread is not woken for it when nobody runs the loop.
    uint32_t start_driven();
    // Runs the engine's loop on the calling thread (see NetworkHub::drive);
    // HY_INVALID_STATE before the start.
    uint32_t drive(uint64_t timeout_ms, hy_wait_condition until, void* context);
    uint32_t cancel();
    uint32_t resume_read();
    uint32_t follow_redirect();
    uint32_t upload_write(const uint8_t* data, uint64_t len, uint32_t is_final);
    uint32_t upload_push(const uint8_t* data, uint64_t len, uint32_t is_final);
    uint32_t upload_wait(uint64_t timeout_ms, uint32_t* held);
    void release();
    // The request heads as sent (sent_heads.cpp): asked for before start,
    // copied out at any time.
    uint32_t record_sent_heads();
    uint32_t sent_heads(uint8_t* buffer, uint64_t capacity, uint64_t* len) const;
    // Extensions (request_extensions.cpp): a streamed body's declared
    // length and the redirect limit, set before start; whether the cache
    // gave the response delivered, asked at any time.
    uint32_t set_upload_length(uint64_t length);
    uint32_t set_max_redirects(uint32_t limit);
    uint32_t from_cache(uint32_t* out) const;
    // The phase limits, set before start, and the phase that ended the
    // request (HY_TIMEOUT_PHASE_*), asked at any time.
    uint32_t set_timeouts(const RequestTimeouts& timeouts);
    uint32_t timeout_phase(uint32_t* out) const;

    // --- network thread.
    void on_transfer_done(CURL* easy, CURLcode code);
    void on_timeout();
    // The earliest of the request's deadlines (the whole request's and the
    // current phase's: phase_deadlines.h).
    std::optional<Clock::time_point> deadline() const { return deadlines_.next(); }
    bool deadline_passed(Clock::time_point now) const {
        const auto next = deadlines_.next();
        return next && now >= *next;
    }

    // curl callbacks (transfer_callbacks.cpp).
    static size_t header_callback(char* data, size_t size, size_t count, void* self);
    static size_t write_callback(char* data, size_t size, size_t count, void* self);
    static size_t read_callback(char* data, size_t size, size_t count, void* self);
    static int debug_callback(CURL* easy, curl_infotype type, char* data, size_t size, void* self);
    static int progress_callback(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow);

private:
    Request(std::shared_ptr<Engine> engine, RequestSpec spec);

    // Queued: waiting for a connection slot of its host.  Replaying:
    // delivering a cached response.
    enum class Phase { Idle, Queued, Transferring, Replaying, AwaitingFollow, Done };

    // Posts `step` to the network thread; a failure inside it ends the
    // request instead of escaping.
    void post(void (Request::*step)());
    void run_step(void (Request::*step)());
    void fail_with_fault(Fault fault);

    // Steps run on the network thread.
    void on_start();
    void on_cancel();
    void on_resume();
    void on_follow();
    void on_upload_kick();
    void on_upload_mismatch();
    // A piece a writer hands over, against the declared length (if any):
    // false when it would make the body differ from it.
    bool upload_within_declared(uint64_t len, bool final);

    void begin_hop();
    void start_transfer();
    CURLcode configure_transfer();     // transfer.cpp
    curl_slist* build_header_list(const HeaderList& headers);   // transfer.cpp
    int apply_connected_settings();
    static int prereq_callback(void* self, char*, char*, int, int);
    static int quic_prereq_callback(void* self, char*, char*, int, int);
    // Opens the hop's sockets for curl and remembers the last one, so a
    // timeout of the Core's own can tell a hop still connecting from one
    // whose TCP connection stands (curl reports its connect time only once
    // the TLS handshake is done too).
    static curl_socket_t open_socket_callback(void* self, curlsocktype purpose, curl_sockaddr* address);
    bool hop_socket_connected() const;
    void detach_transfer();
    CURLcode apply_pause();
    void end_hop(CURLcode code);
    void follow_or_wait();             // after a redirect hop ended
    CurlFacts facts(CURLcode code) const;

    // HTTP/3 (request_quic.cpp).
    bool quic_wanted() const;
    CURLM* hop_multi() const;
    void configure_quic(class CurlOptions& o);
    void on_quic_head();            // a QUIC hop's head is in: cookies stored, QUIC marked working
    void note_alt_svc();            // a TCP hop's head advertised (or cleared) h3
    bool fall_back_to_tcp(CURLcode code);
    void fail_with_curl(CURLcode code);
    // Not noexcept, like every path into the module's callbacks: unwinding
    // that ends the thread (the interpreter exiting) must pass through.
    void finish(Outcome outcome);

    // The cache's part of a hop (request_cache_lookup.cpp).
    bool cache_applies() const;
    bool consult_cache();              // true when the cache answered or failed the hop
    HeaderList vary_headers() const;   // the hop's headers as the server sees them
    void on_final_head();              // store, invalidate or take a 304
    void capture_body(const char* data, size_t len);
    bool complete_from_cache();        // after the transfer: 304 answered, or store the capture
    void start_replay(std::shared_ptr<const CachedResponse> entry);
    void continue_replay();

    size_t on_header_line(std::string_view line);
    size_t on_body_data(const char* data, size_t len);
    size_t on_upload_read(char* out, size_t len);

    const std::shared_ptr<Engine> engine_;
    const RequestSpec spec_;
    UploadQueue upload_;

    // Shared with API threads; also holds the module's handle reference.
    Lifecycle lifecycle_;
    std::atomic<bool> awaiting_follow_{false};
    std::atomic<bool> resume_pending_{false};
    std::atomic<bool> record_heads_{false};
    // Set before start, read by the network thread after the start's post.
    std::atomic<int64_t> declared_length_{-1};   // -1: none, the body goes chunked
    std::atomic<uint64_t> pushed_bytes_{0};      // body bytes the writers handed over
    std::atomic<bool> length_mismatch_{false};
    std::atomic<int> max_redirects_{kMaxRedirects};
    // Whether the response delivered (on_response) came from the cache.
    std::atomic<bool> answered_from_cache_{false};
    // The phase limits (set before start, read by the network thread after
    // the start's post) and the phase that ended the request.
    std::atomic<uint64_t> connect_ms_{0}, read_ms_{0}, write_ms_{0}, pool_ms_{0};
    std::atomic<uint32_t> expired_phase_{HY_TIMEOUT_PHASE_NONE};
    SentHeads sent_heads_;                     // filled on the network thread, read by any

    // Network thread only.
    Phase phase_ = Phase::Idle;
    PhaseDeadlines deadlines_;
    // Body bytes of this hop the connection took (progress_callback), and
    // the body's length once known (-1: not yet, a streamed body still open).
    curl_off_t hop_sent_ = 0;
    curl_off_t hop_body_length_ = -1;
    curl_off_t hop_given_ = 0;                 // streamed body bytes handed to curl in this hop
    CURL* easy_ = nullptr;
    curl_slist* header_list_ = nullptr;
    // The list without the profile's HTTP/2-only headers, swapped in when
    // the connection turns out to speak HTTP/1.1 (empty list: no difference).
    curl_slist* h1_header_list_ = nullptr;
    // The last socket curl opened for this hop (open_socket_callback); -1: none.
    curl_socket_t hop_socket_ = CURL_SOCKET_BAD;
    // The HEADERS priority, given to curl only once connected (prereq_callback):
    // set earlier, curl 7.88 sends it again as a PRIORITY frame for a
    // stream not yet opened, which no browser does.  0: none.
    long h2_weight_ = 0;
    bool h2_exclusive_ = false;
    // The caller's own Cookie values, joined: curl puts them on the jar's
    // Cookie line (one line, as a browser sends) instead of a second one.
    std::string caller_cookies_;
    std::string quic_jar_cookies_;   // a QUIC hop's cookies from the hub's jar
    std::string hop_url_;
    std::string hop_method_;
    HeaderList hop_headers_;
    bool hop_has_body_ = false;
    bool hop_is_redirect_ = false;
    int redirects_followed_ = 0;
    HeadCollector head_;
    HeadBudget head_budget_;
    DecodeGuard decode_guard_;
    bool decoding_ = false;                    // curl decodes this hop's body
    std::optional<Outcome> pending_failure_;   // set by a callback that aborted the transfer
    bool recv_paused_ = false;
    bool send_paused_ = false;
    char error_buffer_[CURL_ERROR_SIZE] = {};

    // Network thread only: cache and connection slot of the current hop.
    uint32_t cache_mode_ = HY_CACHE_DEFAULT;   // after the caller's headers
    HeaderList sent_headers_;                  // composed for this hop
    HeaderList h1_headers_;                    // sent_headers_ for HTTP/1.1 when they differ
    std::shared_ptr<const CachedResponse> validating_;  // entry a conditional request is for
    bool not_modified_ = false;                // the server answered 304 to it
    std::unique_ptr<CachedResponse> capture_;  // the response being stored
    int64_t hop_request_time_ = 0;
    std::shared_ptr<const CachedResponse> replay_;
    size_t replay_offset_ = 0;
    std::string slot_origin_;                  // origin whose slot this hop holds or waits for
    // The hop's origin alone: what an Alt-Svc answer speaks for, whatever
    // the engine's connection settings (each connection still verifies
    // with its own engine's trust).
    std::string hop_origin_;
    bool holds_slot_ = false;

    // Network thread only: the current hop's transport.
    const CurlApi* api_ = &linked_curl();
    bool quic_hop_ = false;                    // this hop runs on the QUIC library
    bool tcp_only_next_ = false;               // the next transfer skips QUIC (after a fallback)
    std::optional<QuicTarget> quic_target_;
    std::string connect_to_;                   // CURLOPT_CONNECT_TO entry for an advertised alternative
    curl_slist* connect_to_list_ = nullptr;
    std::string hop_host_;
    std::string hop_port_;
    bool hop_https_ = false;
    bool upload_read_ = false;                 // streamed body data went to curl in this hop
};

}  // namespace halyard
