// How a request hop uses the engine's HTTP cache: the cache mode decides
// whether a stored response answers, is validated, or the network is
// asked; final responses are stored, 304s refresh the stored one, unsafe
// methods invalidate.  A cached answer goes through the same callbacks as
// one from the network, with the same receive flow control.
#include <chrono>

#include "cache/cache_policy.h"
#include "loop/clock.h"
#include "loop/engine.h"
#include "http/request.h"
#include "text/url.h"

namespace halyard {
namespace {

constexpr size_t kReplayChunk = 64 * 1024;

}  // namespace

bool Request::cache_applies() const {
    return !engine_->settings().cache_disabled && hop_method_ == "GET";
}

HeaderList Request::vary_headers() const {
    // curl adds User-Agent and Accept-Encoding itself when the list has
    // none; Vary must see them as the server does.
    HeaderList out = sent_headers_;
    if (!has_header(out, "User-Agent")) out.push_back({"User-Agent", engine_->settings().user_agent});
    if (!has_header(out, "Accept-Encoding")) out.push_back({"Accept-Encoding", "deflate, gzip, br, zstd"});
    return out;
}

bool Request::consult_cache() {
    validating_.reset();
    not_modified_ = false;
    capture_.reset();
    if (!cache_applies()) {
        // Nothing can be cached for this hop, so nothing is found either.
        if (cache_mode_ == HY_CACHE_ONLY_IF_CACHED) {
            finish(map_cause(Cause::CacheMiss));
            return true;
        }
        return false;
    }
    std::shared_ptr<const CachedResponse> entry;
    if (cache_mode_ != HY_CACHE_NO_STORE && cache_mode_ != HY_CACHE_BYPASS) {
        const bool decoded = !has_header(hop_headers_, "Accept-Encoding");
        entry = engine_->cache().lookup(cache_key(hop_url_), vary_headers(), decoded);
    }
    switch (decide_cache_action(cache_mode_, entry.get(), now_seconds())) {
    case CacheAction::Serve:
        start_replay(std::move(entry));
        return true;
    case CacheAction::Miss:
        finish(map_cause(Cause::CacheMiss));
        return true;
    case CacheAction::Validate:
        validating_ = std::move(entry);
        return false;
    case CacheAction::Network:
        return false;
    }
    return false;
}

void Request::on_final_head() {
    HttpCache* cache = engine_->settings().cache_disabled ? nullptr : &engine_->cache();
    if (cache == nullptr) return;
    const int status = head_.status();
    // A successful unsafe method invalidates what the cache holds for its
    // URL and for the URLs its Location and Content-Location name on the
    // same origin.
    if (!is_safe_method(hop_method_) && status >= 200 && status < 400) {
        cache->invalidate(cache_key(hop_url_));
        auto here = parse_url(hop_url_);
        for (const char* name : {"Location", "Content-Location"}) {
            auto value = head_.header(name);
            if (!value || value->empty() || !here) continue;
            Resolved target = resolve_location(hop_url_, *value);
            auto there = target.status == Resolved::Ok ? parse_url(target.url) : std::nullopt;
            if (there && same_origin(*here, *there)) cache->invalidate(cache_key(there->url));
        }
    }
    if (!cache_applies() || hop_is_redirect_) return;
    if (validating_ && status == 304) {
        not_modified_ = true;
        return;
    }
    if (cache_mode_ == HY_CACHE_NO_STORE) return;
    ParsedHead head = parse_head(head_.block());
    if (!is_storable(head)) {
        // What is stored for the URL is older than this answer.
        cache->invalidate(cache_key(hop_url_));
        return;
    }
    capture_ = std::make_unique<CachedResponse>();
    capture_->key = cache_key(hop_url_);
    capture_->vary = vary_values(head, vary_headers());
    capture_->head = std::move(head);
    capture_->head_block = head_.block();
    capture_->decoded = !has_header(hop_headers_, "Accept-Encoding");
    capture_->times = {hop_request_time_, now_seconds()};
}

void Request::capture_body(const char* data, size_t len) {
    if (!capture_) return;
    capture_->body.append(data, len);
    // Too large to keep: the answer goes on without being stored.
    if (capture_->charge() > engine_->cache().entry_limit()) capture_.reset();
}

bool Request::complete_from_cache() {
    if (not_modified_ && validating_) {
        // The stored response, refreshed by the 304's fields and times.
        auto refreshed = std::make_shared<CachedResponse>(*validating_);
        refreshed->head = merge_not_modified(validating_->head, parse_head(head_.block()));
        refreshed->head_block = refreshed->head.block();
        refreshed->times = {hop_request_time_, now_seconds()};
        detach_transfer();
        engine_->cache().store(refreshed);
        start_replay(std::move(refreshed));
        return true;
    }
    if (capture_ && head_.complete() && !hop_is_redirect_) {
        engine_->cache().store(std::shared_ptr<const CachedResponse>(std::move(capture_)));
    }
    return false;
}

void Request::start_replay(std::shared_ptr<const CachedResponse> entry) {
    phase_ = Phase::Replaying;
    deadlines_.hop_ended();
    recv_paused_ = false;
    replay_ = std::move(entry);
    replay_offset_ = 0;
    answered_from_cache_.store(true);
    const auto& cb = spec_.callbacks;
    cb.on_response(cb.context, this, replay_->head.status,
                   reinterpret_cast<const uint8_t*>(replay_->head_block.data()), replay_->head_block.size());
    continue_replay();
}

void Request::continue_replay() {
    // Keeps the entry alive even if a callback's command ends the request.
    std::shared_ptr<const CachedResponse> entry = replay_;
    const auto& cb = spec_.callbacks;
    while (phase_ == Phase::Replaying && !recv_paused_ && replay_offset_ < entry->body.size()) {
        const size_t n = std::min(kReplayChunk, entry->body.size() - replay_offset_);
        const auto* data = reinterpret_cast<const uint8_t*>(entry->body.data() + replay_offset_);
        replay_offset_ += n;
        if (cb.on_data(cb.context, this, data, n) == HY_DATA_PAUSE) recv_paused_ = true;
    }
    // As from the network, a body complete while paused may finish.
    if (phase_ == Phase::Replaying && replay_offset_ >= entry->body.size()) finish(Outcome{});
}

}  // namespace halyard
