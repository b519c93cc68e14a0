#include "http/request.h"

#include <algorithm>
#include <new>
#include <utility>

#include "api/contain.h"
#include "cache/cache_policy.h"
#include "transport/curl_facts.h"
#include "loop/engine.h"
#include "http/redirect.h"
#include "http/request_headers.h"
#include "text/url.h"


namespace halyard {

Request* Request::create(std::shared_ptr<Engine> engine, RequestSpec spec) {
    std::shared_ptr<Request> request(new Request(std::move(engine), std::move(spec)));
    request->lifecycle_.hold_handle(request);
    return request.get();
}

Request::Request(std::shared_ptr<Engine> engine, RequestSpec spec)
    : engine_(std::move(engine)), spec_(std::move(spec)) {
    engine_->add_user();
}

// Runs on whichever thread drops the last reference.  By then a started
// request has finished, so no curl handle is left to release here.
Request::~Request() {
    if (header_list_) curl_slist_free_all(header_list_);
    if (h1_header_list_) curl_slist_free_all(h1_header_list_);
    if (connect_to_list_) curl_slist_free_all(connect_to_list_);
    engine_->drop_user();
}

// ------------------------------------------------------------ API threads

uint32_t Request::start() {
    if (!lifecycle_.start()) return HY_INVALID_STATE;
    post(&Request::on_start);
    return HY_OK;
}

uint32_t Request::start_driven() {
    if (!lifecycle_.start()) return HY_INVALID_STATE;
    engine_->hub().post_for_driver([self = shared_from_this()] { self->run_step(&Request::on_start); });
    return HY_OK;
}

uint32_t Request::drive(uint64_t timeout_ms, hy_wait_condition until, void* context) {
    if (until == nullptr) return HY_INVALID_ARGUMENT;
    if (lifecycle_.unstarted()) return HY_INVALID_STATE;
    return engine_->hub().drive(std::chrono::milliseconds(std::min(timeout_ms, kMaxTimeoutMs)), until, context);
}

uint32_t Request::cancel() {
    if (lifecycle_.cancel()) post(&Request::on_cancel);
    return HY_OK;
}

uint32_t Request::resume_read() {
    if (!lifecycle_.started()) return HY_INVALID_STATE;
    if (lifecycle_.finished()) return HY_OK;
    // Several resumes before the thread gets to the first are one resume.
    if (!resume_pending_.exchange(true)) post(&Request::on_resume);
    return HY_OK;
}

uint32_t Request::follow_redirect() {
    if (!lifecycle_.started()) return HY_INVALID_STATE;
    // Set by the network thread before it reports a deferred redirect.
    if (!awaiting_follow_.exchange(false)) return HY_INVALID_STATE;
    post(&Request::on_follow);
    return HY_OK;
}

uint32_t Request::upload_push(const uint8_t* data, uint64_t len, uint32_t is_final) {
    if (is_final > 1 || (len > 0 && data == nullptr)) return HY_INVALID_ARGUMENT;
    if (spec_.body_kind != HY_BODY_STREAM || !lifecycle_.started()) return HY_INVALID_STATE;
    if (!upload_within_declared(len, is_final == 1)) return HY_INVALID_ARGUMENT;
    const auto appended = upload_.append(data, len, is_final == 1);
    if (appended.code != HY_OK) return appended.code;
    if (appended.needs_kick) post(&Request::on_upload_kick);
    return HY_OK;
}

uint32_t Request::upload_write(const uint8_t* data, uint64_t len, uint32_t is_final) {
    const uint32_t pushed = upload_push(data, len, is_final);
    if (pushed != HY_OK) return pushed;
    // On the network thread itself (a callback writing) waiting could never
    // end: the data is queued and the call returns.
    if (engine_->on_thread()) return HY_OK;
    return upload_.wait_for_room();
}

uint32_t Request::upload_wait(uint64_t timeout_ms, uint32_t* held) {
    if (held == nullptr) return HY_INVALID_ARGUMENT;
    *held = 0;
    if (spec_.body_kind != HY_BODY_STREAM || !lifecycle_.started()) return HY_INVALID_STATE;
    if (engine_->on_thread()) return HY_OK;
    bool still_held = false;
    const uint32_t result = upload_.wait_for_room_for(timeout_ms, still_held);
    *held = still_held ? 1 : 0;
    return result;
}

void Request::release() {
    // Keeps the request alive to the end of this call even if the handle
    // reference was the last one.
    const std::shared_ptr<void> self = lifecycle_.release_handle();
    if (lifecycle_.running()) post(&Request::on_cancel);
}

void Request::post(void (Request::*step)()) {
    engine_->post([self = shared_from_this(), step] { self->run_step(step); });
}

void Request::run_step(void (Request::*step)()) {
    contain([&] { (this->*step)(); }, [&](Fault fault) { fail_with_fault(fault); });
}

void Request::fail_with_fault(Fault fault) {
    finish(map_cause(fault == Fault::OutOfMemory ? Cause::OutOfMemory : Cause::Internal));
}

// --------------------------------------------------------- network thread

void Request::on_start() {
    if (phase_ != Phase::Idle) return;
    engine_->track(shared_from_this());
    deadlines_.set_limits(PhaseLimits{connect_ms_.load(), read_ms_.load(), write_ms_.load(), pool_ms_.load()});
    deadlines_.start(spec_.timeout_ms, Clock::now());
    cache_mode_ = effective_cache_mode(spec_.cache_mode, spec_.headers);
    hop_url_ = spec_.url;
    hop_method_ = spec_.method;
    hop_headers_ = spec_.headers;
    hop_has_body_ = spec_.body_kind != HY_BODY_NONE;
    begin_hop();
}

void Request::on_cancel() { finish(map_cause(Cause::Canceled)); }

void Request::on_timeout() {
    const uint32_t phase = deadlines_.expired(Clock::now());
    if (phase == HY_TIMEOUT_PHASE_NONE) return;
    // A hop still connecting (to the server, or to the proxy) ends as a
    // connect timeout, as curl's own does: callers tell the two apart.
    bool connecting = phase == HY_TIMEOUT_PHASE_CONNECT;
    if (phase == HY_TIMEOUT_PHASE_TOTAL && phase_ == Phase::Transferring && easy_ != nullptr)
        connecting = !read_curl_facts(easy_, CURLE_OK, !engine_->settings().proxy.empty(), "", *api_).connected &&
                     !hop_socket_connected();
    // Stored before finish: on_complete may ask for it.
    expired_phase_.store(phase);
    finish(map_cause(connecting ? Cause::ConnectTimedOut : Cause::TimedOut));
}

void Request::on_resume() {
    resume_pending_.store(false);
    if (phase_ == Phase::Replaying && recv_paused_) {
        recv_paused_ = false;
        continue_replay();
        return;
    }
    if (phase_ != Phase::Transferring || !recv_paused_) return;
    recv_paused_ = false;
    deadlines_.hold_read(false, Clock::now());
    // curl may hand over data it held while paused before this returns;
    // the write callback may pause again, which is allowed.
    if (CURLcode rc = apply_pause(); rc != CURLE_OK) fail_with_curl(rc);
}

void Request::on_follow() {
    if (phase_ == Phase::AwaitingFollow) begin_hop();
}

void Request::on_upload_kick() {
    if (phase_ != Phase::Transferring || !send_paused_) return;
    send_paused_ = false;
    deadlines_.hold_write(false, Clock::now());
    if (CURLcode rc = apply_pause(); rc != CURLE_OK) fail_with_curl(rc);
}

void Request::begin_hop() {
    phase_ = Phase::Transferring;
    deadlines_.hop_ended();
    hop_socket_ = CURL_SOCKET_BAD;
    head_.reset();
    head_budget_.reset();
    decode_guard_.reset();
    decoding_ = false;
    hop_is_redirect_ = false;
    pending_failure_.reset();
    recv_paused_ = false;
    send_paused_ = false;
    error_buffer_[0] = '\0';
    const EngineSettings& s = engine_->settings();
    // The first hop's URL was parsed when the request was made; a parse
    // costs more than the rest of a hop's setup in the Core.
    std::optional<ParsedUrl> reparsed;
    const ParsedUrl* parsed = nullptr;
    if (redirects_followed_ == 0 && spec_.parsed_url) {
        parsed = &*spec_.parsed_url;
    } else if ((reparsed = parse_url(hop_url_))) {
        parsed = &*reparsed;
    }
    HeaderInputs inputs{s.profile.get(), s.user_agent_given ? std::string_view(s.user_agent) : std::string_view(),
                        s.accept_language, hop_url_,
                        parsed && parsed->scheme == "https" && s.http_version != HY_HTTP_1_1};
    sent_headers_ = compose_request_headers(inputs, hop_headers_);
    h1_headers_.clear();
    if (inputs.may_use_http2 && inputs.profile != nullptr) {
        // The server may still pick HTTP/1.1, where a browser sends no
        // HTTP/2-only header (transfer.cpp decides once connected).
        inputs.may_use_http2 = false;
        HeaderList h1 = compose_request_headers(inputs, hop_headers_);
        if (h1.size() != sent_headers_.size()) h1_headers_ = std::move(h1);
    }
    hop_https_ = parsed && parsed->scheme == "https";
    hop_host_ = parsed ? parsed->host : std::string();
    hop_port_ = parsed ? parsed->port : std::string();
    if (consult_cache()) return;
    // At most six transfers per host at once; the others wait their turn
    // in priority order.
    hop_origin_ = parsed ? parsed->scheme + "://" + parsed->host + ":" + parsed->port : hop_url_;
    slot_origin_ = engine_->connection_group() + " " + hop_origin_;
    auto self = shared_from_this();
    // A slot may come free inside a curl callback, where no transfer can
    // be added: the start is posted as a command.
    const EngineOptions& options = engine_->settings().options;
    // The scope is named only when an overall limit needs it (a copy per hop otherwise).
    const SlotLimits limits{options.max_connections_per_host, options.max_connections,
                            options.max_connections > 0 ? engine_->connection_group() : std::string()};
    if (!engine_->scheduler().acquire(
            slot_origin_, spec_.priority, reinterpret_cast<uintptr_t>(this),
            [self] {
                self->engine_->post([self] {
                    self->holds_slot_ = true;
                    self->run_step(&Request::start_transfer);
                });
            },
            limits)) {
        phase_ = Phase::Queued;
        deadlines_.queued(Clock::now());
        return;
    }
    holds_slot_ = true;
    start_transfer();
}

void Request::start_transfer() {
    if (phase_ == Phase::Done) {
        detach_transfer();  // gives back a slot handed to a request that ended
        return;
    }
    phase_ = Phase::Transferring;
    deadlines_.transfer_started(Clock::now());
    hop_sent_ = 0;
    hop_given_ = 0;
    hop_body_length_ = -1;
    if (!hop_has_body_ || spec_.body_kind == HY_BODY_BYTES) hop_body_length_ = hop_has_body_ ? spec_.body.size() : 0;
    else if (declared_length_.load() >= 0) hop_body_length_ = declared_length_.load();
    hop_request_time_ = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::system_clock::now().time_since_epoch()).count();
    // HTTP/3 when the engine prefers it and QUIC to this origin has not
    // failed lately; else (or after a fallback) TCP.
    quic_hop_ = false;
    api_ = &linked_curl();
    upload_read_ = false;
    const bool tcp_only = std::exchange(tcp_only_next_, false);
    if (!tcp_only && quic_wanted() && engine_->hub().quic_multi() != nullptr) {
        quic_target_ = engine_->hub().quic_origins().target(hop_origin_, hop_host_, hop_port_, Clock::now());
        if (quic_target_) {
            quic_hop_ = true;
            api_ = quic_curl();
        }
    }
    easy_ = quic_hop_ ? api_->easy_init() : engine_->easy_pool().take();
    if (easy_ == nullptr) {
        finish(map_cause(Cause::OutOfMemory));
        return;
    }
    if (CURLcode rc = configure_transfer(); rc != CURLE_OK) {
        fail_with_curl(rc);
        return;
    }
    if (api_->multi_add_handle(hop_multi(), easy_) != CURLM_OK) {
        finish(map_cause(Cause::Internal));
        return;
    }
    if (!quic_hop_) engine_->hub().note_transfer_added();
}

void Request::detach_transfer() {
    if (easy_ != nullptr) {
        api_->multi_remove_handle(hop_multi(), easy_);
        // QUIC handles are not pooled: they are few, and the pool holds
        // linked-curl handles only.
        if (quic_hop_) api_->easy_cleanup(std::exchange(easy_, nullptr));
        else engine_->easy_pool().give_back(std::exchange(easy_, nullptr));
    }
    if (header_list_ != nullptr) {
        curl_slist_free_all(header_list_);
        header_list_ = nullptr;
    }
    if (h1_header_list_ != nullptr) {
        curl_slist_free_all(h1_header_list_);
        h1_header_list_ = nullptr;
    }
    if (holds_slot_) {
        holds_slot_ = false;
        engine_->scheduler().release(slot_origin_);
    }
}

CURLcode Request::apply_pause() {
    // curl_easy_pause sets both directions at once, so both flags go in.
    const int mask = (recv_paused_ ? int{CURLPAUSE_RECV} : 0) | (send_paused_ ? int{CURLPAUSE_SEND} : 0);
    return api_->easy_pause(easy_, mask);
}

void Request::on_transfer_done(CURL* easy, CURLcode code) {
    if (phase_ != Phase::Transferring || easy != easy_) return;
    contain([&] { end_hop(code); }, [&](Fault fault) { fail_with_fault(fault); });
}

void Request::end_hop(CURLcode code) {
    if (fall_back_to_tcp(code)) return;
    if (pending_failure_) {
        finish(*pending_failure_);
    } else if (code == CURLE_OK && complete_from_cache()) {
        // A 304 answered from the cache, or the stored response is in.
    } else if (hop_is_redirect_ && head_.complete()) {
        // A redirect is followed once its head is in, whatever happened to
        // the body nobody reads.
        follow_or_wait();
    } else if (code != CURLE_OK) {
        fail_with_curl(code);
    } else if (!head_.complete()) {
        finish(map_cause(Cause::EmptyResponse));
    } else {
        finish(Outcome{});
    }
}

void Request::follow_or_wait() {
    const std::string location = head_.header("Location").value_or("");
    RedirectInput input{head_.status(),
                        location,
                        hop_url_,
                        hop_method_,
                        hop_has_body_,
                        spec_.body_kind == HY_BODY_STREAM,
                        redirects_followed_,
                        spec_.redirect_mode,
                        max_redirects_.load()};
    RedirectDecision next = decide_redirect(input);
    if (next.fail) {
        finish(map_cause(next.cause));
        return;
    }
    detach_transfer();
    ++redirects_followed_;
    const bool body_dropped = hop_has_body_ && !next.keep_body;
    // A dropped streamed body is never read: writers are told at once.
    if (body_dropped && spec_.body_kind == HY_BODY_STREAM) upload_.close(HY_INVALID_STATE);
    hop_headers_ = headers_for_next_hop(hop_headers_, next);
    hop_has_body_ = next.keep_body;
    hop_url_ = next.url;
    hop_method_ = next.method;

    const std::string head = head_.block();
    const auto& cb = spec_.callbacks;
    deadlines_.hop_ended();
    if (spec_.redirect_mode == HY_REDIRECT_MANUAL) {
        phase_ = Phase::AwaitingFollow;
        awaiting_follow_.store(true);
    }
    cb.on_redirect(cb.context, this, head_.status(), reinterpret_cast<const uint8_t*>(head.data()),
                   head.size(), next.reported_url.data(), next.reported_url.size(), hop_method_.data(),
                   hop_method_.size());
    // The callback may have cancelled (a command, run later) but cannot have
    // changed the phase; in follow mode the next hop starts now.
    if (spec_.redirect_mode == HY_REDIRECT_FOLLOW && phase_ == Phase::Transferring) begin_hop();
}

CurlFacts Request::facts(CURLcode code) const {
    CurlFacts f = read_curl_facts(easy_, code, !engine_->settings().proxy.empty(), error_buffer_, *api_);
    f.chunked = head_.chunked();
    f.head_complete = head_.complete();
    f.decoding = decoding_;
    f.doh = !engine_->settings().options.doh_url.empty();
    return f;
}

void Request::fail_with_curl(CURLcode code) {
    finish(pending_failure_ ? *pending_failure_ : map_curl_failure(facts(code)));
}

void Request::finish(Outcome outcome) {
    if (phase_ == Phase::Done) return;
    // Untracking may drop the engine's reference: keep this object alive
    // through the callback.
    std::shared_ptr<Request> self = shared_from_this();
    const bool was_queued = phase_ == Phase::Queued;
    phase_ = Phase::Done;
    if (was_queued) engine_->scheduler().withdraw(slot_origin_, reinterpret_cast<uintptr_t>(this));
    detach_transfer();
    capture_.reset();
    replay_.reset();
    awaiting_follow_.store(false);
    upload_.close(outcome.ok() ? uint32_t{HY_INVALID_STATE} : outcome.result);
    lifecycle_.finish();
    engine_->untrack(this);
    const auto& cb = spec_.callbacks;
    cb.on_complete(cb.context, this, outcome.result, outcome.net_error);
}

}  // namespace halyard
