// Keeping the request heads a request sent (see sent_heads.h), and the
// Request's part: asking for them, the curl debug callback, copying out.
#include "http/sent_heads.h"

#include <algorithm>
#include <cstring>

#include "http/request.h"

namespace halyard {

void SentHeads::append(std::string_view head) {
    std::lock_guard lock(mutex_);
    if (kept_.size() + head.size() > kLimit) return;
    kept_.append(head);
}

uint64_t SentHeads::copy(uint8_t* buffer, uint64_t capacity) const {
    std::lock_guard lock(mutex_);
    const uint64_t n = std::min<uint64_t>(capacity, kept_.size());
    if (n != 0) std::memcpy(buffer, kept_.data(), n);
    return kept_.size();
}

uint32_t Request::record_sent_heads() {
    // Read by the network thread when it sets up a hop; the start's post
    // orders this store before that read.
    if (!lifecycle_.unstarted()) return HY_INVALID_STATE;
    record_heads_.store(true);
    return HY_OK;
}

uint32_t Request::sent_heads(uint8_t* buffer, uint64_t capacity, uint64_t* len) const {
    if (len == nullptr || (buffer == nullptr && capacity != 0)) return HY_INVALID_ARGUMENT;
    *len = sent_heads_.copy(buffer, capacity);
    return HY_OK;
}

// curl calls this for everything it would print in verbose mode; only the
// heads it sent are kept.  Runs on the network thread.
int Request::debug_callback(CURL*, curl_infotype type, char* data, size_t size, void* self) {
    if (type == CURLINFO_HEADER_OUT) {
        // Out of memory: the head is not kept, the transfer goes on.
        contain([&] { static_cast<Request*>(self)->sent_heads_.append(std::string_view(data, size)); },
                [](Fault) {});
    }
    return 0;
}

}  // namespace halyard
