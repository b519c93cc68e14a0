#include "websocket/websocket.h"

#include <algorithm>

#include <new>

#include "transport/curl_facts.h"
#include "loop/engine.h"
#include "text/utf8.h"
#include "websocket/taken_message.h"

namespace halyard {
namespace {

// Bytes framed ahead of the socket before more queued messages are taken.
constexpr size_t kOutputHighWater = size_t{256} << 10;
// Bytes read per loop round, so that one busy connection cannot hold the
// thread (and the commands of every other connection) for long.
constexpr size_t kReadPerRound = size_t{1} << 20;
constexpr size_t kReadChunk = size_t{64} << 10;

}  // namespace

WebSocket* WebSocket::create(std::shared_ptr<Engine> engine, WebSocketSpec spec) {
    std::shared_ptr<WebSocket> socket(new WebSocket(std::move(engine), std::move(spec)));
    socket->lifecycle_.hold_handle(socket);
    return socket.get();
}

WebSocket::WebSocket(std::shared_ptr<Engine> engine, WebSocketSpec spec)
    : engine_(std::move(engine)), spec_(std::move(spec)) {
    engine_->add_user();
}

// By then a started connection has finished and let go of its curl handle.
WebSocket::~WebSocket() { engine_->drop_user(); }

// ------------------------------------------------------------ API threads

uint32_t WebSocket::start() {
    if (!lifecycle_.start()) return HY_INVALID_STATE;
    post(&WebSocket::on_start);
    return HY_OK;
}

uint32_t WebSocket::drive(uint64_t timeout_ms, hy_wait_condition until, void* context) {
    if (until == nullptr) return HY_INVALID_ARGUMENT;
    if (lifecycle_.unstarted()) return HY_INVALID_STATE;
    return engine_->hub().drive(std::chrono::milliseconds(std::min(timeout_ms, kMaxTimeoutMs)), until, context);
}

uint32_t WebSocket::set_deflate(const DeflateOffer& offer) {
    // The start posts the connection to the network thread, which reads the
    // offer only after that: set before it, it is seen.
    if (!lifecycle_.unstarted()) return HY_INVALID_STATE;
    deflate_offer_ = offer;
    return HY_OK;
}

uint32_t WebSocket::set_timeouts(const WebSocketTimeouts& timeouts) {
    // As for the deflate offer: read by the network thread after the start.
    if (!lifecycle_.unstarted()) return HY_INVALID_STATE;
    connect_ms_.store(timeouts.connect_ms);
    handshake_ms_.store(timeouts.handshake_ms);
    return HY_OK;
}

uint32_t WebSocket::timeout_phase(uint32_t* out) const {
    if (out == nullptr) return HY_INVALID_ARGUMENT;
    *out = expired_phase_.load();
    return HY_OK;
}

uint32_t WebSocket::send(uint32_t type, const uint8_t* data, uint64_t len) { return queue_message(type, data, len, false); }

uint32_t WebSocket::send_driven(uint32_t type, const uint8_t* data, uint64_t len) {
    // Inside a callback of some loop: drive is refused there, so the
    // message is posted as send posts it.
    if (!NetworkHub::may_drive_here()) return send(type, data, len);
    const uint32_t queued = queue_message(type, data, len, true);
    if (queued != HY_OK) return queued;
    // No deadline: one round if the loop is free; a thread running it
    // takes the message in its next round (posting woke it in poll).
    engine_->hub().drive(std::chrono::milliseconds(0), [](void*) -> int32_t { return 0; }, nullptr);
    return HY_OK;
}

uint32_t WebSocket::queue_message(uint32_t type, const uint8_t* data, uint64_t len, bool for_driver) {
    if ((type != HY_WS_TEXT && type != HY_WS_BINARY) || (len > 0 && data == nullptr)) return HY_INVALID_ARGUMENT;
    if (len > kMaxOutgoingMessage) return HY_INVALID_ARGUMENT;
    if (!open_.load() || closing_.load() || lifecycle_.finished()) return HY_INVALID_STATE;
    if (type == HY_WS_TEXT && !is_valid_utf8(data, static_cast<size_t>(len))) return HY_INVALID_ARGUMENT;
    Outgoing item;
    item.type = type;
    if (len > 0) {
        // Into a buffer an earlier message went out in: fresh memory here,
        // freed on the network thread, would have the allocator give its
        // pages back and fault them in again, message after message.
        item.data = send_shelf_.take();
        item.data.assign(data, data + len);
    }
    {
        std::lock_guard lock(queue_mutex_);
        // Checked again with the queueing, in one step: a close queued since
        // the check above goes out first, and a message behind it would be
        // accepted here and then dropped.
        if (closing_.load() || lifecycle_.finished()) return HY_INVALID_STATE;
        // Bounded: a caller faster than the connection gets an error rather
        // than an ever-growing queue.
        if (unsent_bytes_.load() + len > kMaxUnsentBytes) return HY_OUT_OF_MEMORY;
        unsent_bytes_.fetch_add(len);
        queued_.push_back(std::move(item));
    }
    kick(for_driver);
    return HY_OK;
}

uint32_t WebSocket::close(uint16_t code, const char* reason, uint64_t reason_len) {
    if (!is_caller_close_code(code) || !is_caller_close_reason(reason, reason_len)) return HY_INVALID_ARGUMENT;
    if (!lifecycle_.started()) return HY_INVALID_STATE;
    Outgoing item;
    item.close = true;
    item.type = code;
    if (reason_len > 0) item.data.assign(reason, reason + reason_len);
    {
        // closing_ changes under the queue's lock, so that no message is
        // queued behind the close (see send).
        std::lock_guard lock(queue_mutex_);
        // Closing twice, or after the end, changes nothing (as in browsers).
        if (lifecycle_.finished() || closing_.exchange(true)) return HY_OK;
        queued_.push_back(std::move(item));
    }
    kick();
    return HY_OK;
}

uint32_t WebSocket::cancel() {
    if (lifecycle_.cancel()) post(&WebSocket::on_cancel);
    return HY_OK;
}

void WebSocket::release() {
    // Keeps the object alive to the end of this call even if the handle
    // reference was the last one.
    const std::shared_ptr<void> self = lifecycle_.release_handle();
    if (lifecycle_.running()) post(&WebSocket::on_cancel);
}

void WebSocket::kick(bool for_driver) {
    // Queued data and closes are taken in one step however many arrived
    // before the thread got to them.
    if (kick_pending_.exchange(true)) return;
    if (for_driver) {
        engine_->hub().post_for_driver([self = shared_from_this()] { self->run_step(&WebSocket::on_kick); });
    } else {
        post(&WebSocket::on_kick);
    }
}

void WebSocket::post(void (WebSocket::*step)()) {
    engine_->post([self = shared_from_this(), step] { self->run_step(step); });
}

void WebSocket::run_step(void (WebSocket::*step)()) {
    guarded([&] { (this->*step)(); });
}

// --------------------------------------------------------- network thread

void WebSocket::on_start() {
    if (phase_ != Phase::Idle) return;
    engine_->track_websocket(shared_from_this());
    phase_ = Phase::Connecting;
    const Clock::time_point now = Clock::now();
    total_deadline_ = deadline_after(spec_.timeout_ms, now);
    phase_deadline_ = deadline_after(connect_ms_.load(), now);
    easy_ = curl_easy_init();
    if (easy_ == nullptr) throw std::bad_alloc();
    if (CURLcode rc = configure(); rc != CURLE_OK) {
        fail(curl_failure(rc));
        return;
    }
    if (curl_multi_add_handle(engine_->multi(), easy_) != CURLM_OK) {
        fail({HY_NETWORK, -2, 0, "internal failure"});
        return;
    }
    engine_->hub().note_transfer_added();
}

void WebSocket::on_cancel() {
    if (phase_ == Phase::Done) return;
    fail({HY_CANCELED, -3, 0, "canceled"});
}

void WebSocket::on_kick() {
    kick_pending_.store(false);
    take_outgoing();
    if (phase_ == Phase::Open) {
        service(false);
        return;
    }
    // A close before the connection is open abandons it, as a browser's
    // close() does while connecting.
    for (const Outgoing& item : pending_) {
        if (item.close && phase_ != Phase::Done) {
            fail({HY_CANCELED, -3, 0, "closed before the connection was open"});
            return;
        }
    }
}

void WebSocket::take_outgoing() {
    std::lock_guard lock(queue_mutex_);
    while (!queued_.empty()) {
        pending_.push_back(std::move(queued_.front()));
        queued_.pop_front();
    }
}

short WebSocket::wanted_events() const {
    if (socket_ == CURL_SOCKET_BAD) return 0;
    if (phase_ == Phase::Handshaking) return request_.empty() ? CURL_WAIT_POLLIN : CURL_WAIT_POLLOUT;
    if (phase_ != Phase::Open) return 0;
    short events = session_.reading() ? CURL_WAIT_POLLIN : 0;
    if (session_.output_size() > 0) events |= CURL_WAIT_POLLOUT;
    return events;
}

std::optional<Clock::time_point> WebSocket::deadline() const {
    if (phase_ == Phase::Connecting || phase_ == Phase::Handshaking) {
        if (!phase_deadline_) return total_deadline_;
        if (!total_deadline_) return phase_deadline_;
        return std::min(*phase_deadline_, *total_deadline_);
    }
    if (phase_ == Phase::Open) return closing_deadline_;
    return std::nullopt;
}

uint32_t WebSocket::expired_phase(Clock::time_point now) const {
    const bool total_passed = total_deadline_ && now >= *total_deadline_;
    const bool phase_passed = phase_deadline_ && now >= *phase_deadline_;
    if (total_passed && (!phase_passed || *total_deadline_ <= *phase_deadline_)) return HY_TIMEOUT_PHASE_TOTAL;
    if (!phase_passed) return HY_TIMEOUT_PHASE_NONE;
    return phase_ == Phase::Connecting ? HY_TIMEOUT_PHASE_CONNECT : HY_TIMEOUT_PHASE_HANDSHAKE;
}

void WebSocket::on_deadline() {
    guarded([&] {
        if (phase_ == Phase::Open) {
            fail({HY_TIMEOUT, -7, 0, "the closing handshake timed out"});
            return;
        }
        if (phase_ != Phase::Connecting && phase_ != Phase::Handshaking) return;
        const uint32_t phase = expired_phase(Clock::now());
        // Stored before fail: on_error may ask for it.
        expired_phase_.store(phase);
        switch (phase) {
        // The connect limit is a connect timeout (-118), as for a request.
        // The total is -7 in both phases: the TCP connect and the TLS
        // handshake are both inside Connecting.
        case HY_TIMEOUT_PHASE_CONNECT: fail({HY_TIMEOUT, -118, 0, "the connect timeout ran out"}); break;
        case HY_TIMEOUT_PHASE_HANDSHAKE:
            fail({HY_TIMEOUT, -7, 0, "the server did not answer the upgrade within the handshake timeout"});
            break;
        case HY_TIMEOUT_PHASE_TOTAL:
            fail({HY_TIMEOUT, -7, 0,
                  phase_ == Phase::Connecting ? "timed out while connecting" : "timed out during the handshake"});
            break;
        default: break;
        }
    });
}

void WebSocket::on_socket_ready(short revents) {
    guarded([&] {
        const bool readable = (revents & CURL_WAIT_POLLIN) != 0 || read_more_;
        if (phase_ == Phase::Handshaking) {
            std::string_view request = request_;
            if (!request_.empty()) {
                if (!write_pending(&request)) return;
                request_.erase(0, request_.size() - request.size());
            }
            if (request_.empty() && readable) read_handshake_answer();
        } else if (phase_ == Phase::Open) {
            service(readable);
        }
    });
}

// One round of an open connection: frame what callers queued, write,
// read, and see whether the connection ended.
void WebSocket::service(bool readable) {
    feed_session();
    if (phase_ != Phase::Open || !write_pending(nullptr)) return;
    if (readable) {
        read_frames();
        if (phase_ != Phase::Open) return;
        // Answers to what was read (pong, the close echo) go out at once.
        if (!write_pending(nullptr)) return;
    }
    check_end();
}

void WebSocket::feed_session() {
    while (phase_ == Phase::Open && !pending_.empty() && session_.output_size() < kOutputHighWater) {
        Outgoing item = std::move(pending_.front());
        pending_.pop_front();
        if (item.close) {
            closed_locally_ = !session_.close_received();
            session_.send_close(static_cast<uint16_t>(item.type),
                                std::string_view(reinterpret_cast<const char*>(item.data.data()), item.data.size()));
            begin_closing();
        } else {
            unsent_bytes_.fetch_sub(item.data.size());
            // Refused once a close went out: such a message is dropped.
            session_.send_message(item.type, item.data.data(), item.data.size());
            send_shelf_.put(std::move(item.data));
        }
    }
}

// Writes the handshake request (when given) or the session's output until
// the socket would block.  False when the connection failed.
bool WebSocket::write_pending(std::string_view* handshake) {
    for (;;) {
        const uint8_t* data = handshake ? reinterpret_cast<const uint8_t*>(handshake->data()) : session_.output();
        const size_t len = handshake ? handshake->size() : session_.output_size();
        if (len == 0) return true;
        size_t sent = 0;
        const CURLcode rc = curl_easy_send(easy_, data, len, &sent);
        if (rc == CURLE_AGAIN) return true;
        if (rc != CURLE_OK) {
            fail(curl_failure(rc));
            return false;
        }
        if (handshake) {
            handshake->remove_prefix(sent);
        } else {
            session_.consume_output(sent);
        }
        // Room freed in the output lets queued messages follow.
        if (!handshake) feed_session();
    }
}

std::optional<size_t> WebSocket::receive_some() {
    size_t n = 0;
    const CURLcode rc = curl_easy_recv(easy_, read_buffer_.data(), read_buffer_.size(), &n);
    if (rc == CURLE_AGAIN) return std::nullopt;
    if (rc != CURLE_OK) {
        fail(curl_failure(rc));
        return std::nullopt;
    }
    return n;
}

void WebSocket::read_frames() {
    read_more_ = false;
    if (read_buffer_.size() != kReadChunk) read_buffer_.resize(kReadChunk);
    size_t total = 0;
    while (phase_ == Phase::Open && session_.reading()) {
        if (total >= kReadPerRound) {
            read_more_ = true;
            return;
        }
        const std::optional<size_t> got = receive_some();
        if (!got) return;
        const size_t n = *got;
        if (n == 0) {
            // The peer closed the connection.  After its close frame that
            // ends the closing handshake; before it the connection failed.
            if (session_.close_received()) {
                finish_closed();
            } else {
                fail({HY_NETWORK, -100, 0, "the connection closed without a close frame"});
            }
            return;
        }
        total += n;
        session_.receive(read_buffer_.data(), n);
    }
}

void WebSocket::check_end() {
    if (phase_ != Phase::Open) return;
    if (const auto& failure = session_.failure()) {
        fail({HY_PROTOCOL, -145, 0, std::string(failure->message) + " (close " + std::to_string(failure->close_code) + ")"});
        return;
    }
    if (session_.close_received() && session_.close_sent() && session_.output_size() == 0) finish_closed();
}

void WebSocket::begin_closing() {
    {
        std::lock_guard lock(queue_mutex_);
        closing_.store(true);
    }
    if (!closing_deadline_) closing_deadline_ = Clock::now() + kClosingTimeout;
    if (closing_reported_) return;
    closing_reported_ = true;
    spec_.callbacks.on_closing(spec_.callbacks.context, this);
}

void WebSocket::on_session_message(uint32_t type, bool compressed, const uint8_t* data, size_t len) {
    const auto& cb = spec_.callbacks;
    reporting_thread_.store(std::this_thread::get_id());
    struct Done {
        std::atomic<std::thread::id>& thread;
        ~Done() { thread.store(std::thread::id()); }
    } done{reporting_thread_};
    cb.on_message(cb.context, this, type, compressed ? 1u : 0u, data, len);
}

uint32_t WebSocket::take_message(const uint8_t* data, hy_message** out) {
    // Only the thread inside on_message may touch the session.
    if (reporting_thread_.load() != std::this_thread::get_id()) return HY_INVALID_STATE;
    auto message = std::make_unique<hy_message>();
    message->shelf = session_.shelf();
    if (!session_.take_message(data, message->bytes)) return HY_INVALID_STATE;
    *out = message.release();
    return HY_OK;
}

void WebSocket::on_session_close(uint16_t code, std::string_view reason) {
    peer_close_ = CloseFrame{code, std::string(reason)};
    begin_closing();
}

WebSocket::Failure WebSocket::curl_failure(CURLcode code) const {
    CurlFacts facts = read_curl_facts(easy_, code, !engine_->settings().proxy.empty(), error_buffer_);
    facts.doh = !engine_->settings().options.doh_url.empty();
    const Outcome outcome = map_curl_failure(facts);
    std::string message = error_buffer_[0] != '\0' ? std::string(error_buffer_) : curl_easy_strerror(code);
    return {outcome.result, outcome.net_error, 0, std::move(message)};
}

void WebSocket::detach() noexcept {
    if (easy_ != nullptr) {
        curl_multi_remove_handle(engine_->multi(), easy_);
        curl_easy_cleanup(easy_);
        easy_ = nullptr;
    }
    socket_ = CURL_SOCKET_BAD;
    open_.store(false);
    pending_.clear();
    {
        std::lock_guard lock(queue_mutex_);
        lifecycle_.finish();
        closing_.store(true);
        queued_.clear();
        unsent_bytes_.store(0);
    }
    engine_->untrack_websocket(this);
}

void WebSocket::fail(Failure failure) {
    if (phase_ == Phase::Done) return;
    const bool started_network = phase_ != Phase::Idle;
    phase_ = Phase::Done;
    // Untracking may drop the engine's reference: this object stays alive
    // through the callback.
    std::shared_ptr<WebSocket> self = shared_from_this();
    if (started_network) detach();
    lifecycle_.finish();
    const auto& cb = spec_.callbacks;
    cb.on_error(cb.context, this, failure.result, failure.net_error, failure.response, failure.message.data(),
                failure.message.size());
}

void WebSocket::finish_closed() {
    if (phase_ == Phase::Done) return;
    phase_ = Phase::Done;
    std::shared_ptr<WebSocket> self = shared_from_this();
    detach();
    const CloseFrame frame = peer_close_.value_or(CloseFrame{});
    const auto& cb = spec_.callbacks;
    cb.on_close(cb.context, this, closed_locally_ ? 1u : 0u, frame.code, frame.reason.data(), frame.reason.size());
}

}  // namespace halyard
