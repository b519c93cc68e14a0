// The request calls beyond the specified ones: a streamed body's declared
// length, the redirect limit, the phase limits, and whether the cache
// answered and which phase timed out.
#include <limits>

#include "halyard.h"
#include "http/request.h"

namespace halyard {

uint32_t Request::set_upload_length(uint64_t length) {
    if (length > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return HY_INVALID_ARGUMENT;
    // Read by the network thread when it sets up a hop; the start's post
    // orders this store before that read.
    if (spec_.body_kind != HY_BODY_STREAM || !lifecycle_.unstarted()) return HY_INVALID_STATE;
    declared_length_.store(static_cast<int64_t>(length));
    return HY_OK;
}

uint32_t Request::set_max_redirects(uint32_t limit) {
    if (limit > static_cast<uint32_t>(std::numeric_limits<int>::max())) return HY_INVALID_ARGUMENT;
    if (!lifecycle_.unstarted()) return HY_INVALID_STATE;
    max_redirects_.store(static_cast<int>(limit));
    return HY_OK;
}

uint32_t Request::set_timeouts(const RequestTimeouts& timeouts) {
    if (!lifecycle_.unstarted()) return HY_INVALID_STATE;
    // Read by the network thread when the request starts; the start's post
    // orders these stores before that read.
    connect_ms_.store(timeouts.connect_ms);
    read_ms_.store(timeouts.read_ms);
    write_ms_.store(timeouts.write_ms);
    pool_ms_.store(timeouts.pool_ms);
    return HY_OK;
}

uint32_t Request::timeout_phase(uint32_t* out) const {
    if (out == nullptr) return HY_INVALID_ARGUMENT;
    *out = expired_phase_.load();
    return HY_OK;
}

uint32_t Request::from_cache(uint32_t* out) const {
    if (out == nullptr) return HY_INVALID_ARGUMENT;
    *out = answered_from_cache_.load() ? 1 : 0;
    return HY_OK;
}

bool Request::upload_within_declared(uint64_t len, bool final) {
    const int64_t declared = declared_length_.load();
    if (declared < 0) return true;
    if (length_mismatch_.load()) return false;
    const uint64_t before = pushed_bytes_.fetch_add(len);
    const uint64_t total = before + len;
    const auto limit = static_cast<uint64_t>(declared);
    // More bytes than declared, or the end before all of them: the body
    // would be cut or padded on the wire, so the request fails instead.
    if (total > limit || total < before || (final && total != limit)) {
        if (!length_mismatch_.exchange(true)) {
            upload_.close(HY_INVALID_ARGUMENT);
            post(&Request::on_upload_mismatch);
        }
        return false;
    }
    return true;
}

void Request::on_upload_mismatch() {
    if (phase_ == Phase::Done) return;
    finish(map_cause(Cause::UploadLengthMismatch));
}

}  // namespace halyard
