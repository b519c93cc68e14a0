// The curl callbacks of a transfer: head lines, body data, upload data.
// They run on the network thread inside curl, so they never end the
// request themselves: a failure is recorded in pending_failure_ and curl
// is told to abort; on_transfer_done then ends the request with it.
#include <new>

#include "api/contain.h"
#include "loop/engine.h"
#include "http/redirect.h"
#include "http/request.h"
#include "text/url.h"


namespace halyard {
namespace {

// A failure ends the transfer: curl is told to abort and on_transfer_done
// ends the request with what was recorded.
template <typename F>
size_t guarded(std::optional<Outcome>& pending, size_t abort_value, F&& body) {
    return contain(body, [&](Fault fault) {
        if (!pending) pending = map_cause(fault == Fault::OutOfMemory ? Cause::OutOfMemory : Cause::Internal);
        return abort_value;
    });
}

}  // namespace

size_t Request::header_callback(char* data, size_t size, size_t count, void* self) {
    auto* r = static_cast<Request*>(self);
    return guarded(r->pending_failure_, 0,
                   [&] { return r->on_header_line(std::string_view(data, size * count)); });
}

size_t Request::write_callback(char* data, size_t size, size_t count, void* self) {
    auto* r = static_cast<Request*>(self);
    return guarded(r->pending_failure_, 0, [&] { return r->on_body_data(data, size * count); });
}

size_t Request::read_callback(char* data, size_t size, size_t count, void* self) {
    auto* r = static_cast<Request*>(self);
    return guarded(r->pending_failure_, CURL_READFUNC_ABORT,
                   [&] { return r->on_upload_read(data, size * count); });
}

size_t Request::on_header_line(std::string_view line) {
    if (pending_failure_) return 0;
    if (deadlines_.watches_transfer()) deadlines_.received(Clock::now());
    if (const auto verdict = head_budget_.add(line.size(), is_field_line(line)); verdict != HeadBudget::Verdict::Ok) {
        pending_failure_ =
            map_cause(verdict == HeadBudget::Verdict::TooBig ? Cause::HeadTooBig : Cause::TooManyHeaderLines);
        return 0;
    }
    const HeadCollector::Event event = head_.feed(line);
    if (event == HeadCollector::Event::Informational) head_budget_.restart_lines();
    if (event != HeadCollector::Event::Complete) return line.size();
    head_budget_.restart_lines();  // the trailers count their own lines
    const int status = head_.status();
    // Two lengths would let curl cut the body where the server did not.
    if (content_lengths_conflict(head_.values("Content-Length"))) {
        pending_failure_ = map_cause(Cause::ContentLengthConflict);
        return 0;
    }
    // curl decodes the body when the Core offered the encodings itself.
    const std::string encoding = head_.header("Content-Encoding").value_or("");
    decoding_ = !has_header(hop_headers_, "Accept-Encoding") && !encoding.empty() && !iequals(encoding, "identity");

    // A request sent through an HTTP proxy (not tunnelled) meets the proxy's
    // 407 as its response: that is a proxy failure, not the server's answer.
    const EngineSettings& s = engine_->settings();
    if (status == 407 && (s.proxy_scheme == "http" || s.proxy_scheme == "https")) {
        auto url = parse_url(hop_url_);
        if (url && url->scheme == "http") {
            pending_failure_ = map_cause(Cause::ProxyAuth);
            return 0;
        }
    }
    // A server answering over HTTP/2 takes every waiting request of its
    // origin on the one connection.
    long version = 0;
    if (api_->easy_getinfo(easy_, CURLINFO_HTTP_VERSION, &version) == CURLE_OK &&
        (version == CURL_HTTP_VERSION_2_0 || version == CURL_HTTP_VERSION_3))
        engine_->scheduler().mark_multiplexed(slot_origin_);
    if (quic_hop_) on_quic_head();
    else note_alt_svc();
    hop_is_redirect_ = is_redirect_status(status) && !head_.header("Location").value_or("").empty();
    on_final_head();
    // A redirect is reported by on_redirect when the hop ends, its body
    // dropped; a 304 for a stored response is answered from the cache.
    if (hop_is_redirect_ || not_modified_) return line.size();
    const std::string& block = head_.block();
    const auto& cb = spec_.callbacks;
    answered_from_cache_.store(false);
    cb.on_response(cb.context, this, status, reinterpret_cast<const uint8_t*>(block.data()), block.size());
    return line.size();
}

size_t Request::on_body_data(const char* data, size_t len) {
    if (pending_failure_) return 0;
    if (hop_is_redirect_ || not_modified_) return len;
    // Data curl hands over while paused was not delivered: curl keeps it
    // and offers it again after the resume.
    if (recv_paused_) return CURL_WRITEFUNC_PAUSE;
    if (deadlines_.watches_transfer()) deadlines_.received(Clock::now());
    if (decoding_) {
        curl_off_t received = 0;
        api_->easy_getinfo(easy_, CURLINFO_SIZE_DOWNLOAD_T, &received);
        if (decode_guard_.exceeded(static_cast<uint64_t>(received), len)) {
            pending_failure_ = map_cause(Cause::DecodedTooLarge);
            return 0;
        }
    }
    capture_body(data, len);
    const auto& cb = spec_.callbacks;
    const int32_t answer = cb.on_data(cb.context, this, reinterpret_cast<const uint8_t*>(data), len);
    if (answer == HY_DATA_PAUSE) {
        // This chunk was delivered, so it is consumed in full; only what
        // follows waits.
        recv_paused_ = true;
        deadlines_.hold_read(true, Clock::now());
        if (apply_pause() != CURLE_OK) {
            pending_failure_ = map_cause(Cause::Internal);
            return 0;
        }
    }
    return len;
}

size_t Request::on_upload_read(char* out, size_t len) {
    if (pending_failure_) return CURL_READFUNC_ABORT;
    size_t copied = 0;
    switch (upload_.read(reinterpret_cast<uint8_t*>(out), len, copied)) {
    case UploadQueue::ReadResult::Data:
        upload_read_ = true;
        hop_given_ += static_cast<curl_off_t>(copied);
        return copied;
    case UploadQueue::ReadResult::End:
        // The body's length is known now: once that much went out, the
        // write phase is over (now, when it already has).
        hop_body_length_ = hop_given_;
        if (hop_sent_ >= hop_body_length_) deadlines_.sent(true, Clock::now());
        return 0;
    case UploadQueue::ReadResult::Aborted:
        // A body that left its declared length closed the queue: that is
        // the failure, whether this read or the posted mismatch step comes
        // first, never the abort it causes.
        if (length_mismatch_.load()) pending_failure_ = map_cause(Cause::UploadLengthMismatch);
        return CURL_READFUNC_ABORT;
    case UploadQueue::ReadResult::Empty: break;
    }
    // Nothing queued yet: the next write posts a kick that unpauses.
    send_paused_ = true;
    deadlines_.hold_write(true, Clock::now());
    return CURL_READFUNC_PAUSE;
}

}  // namespace halyard
