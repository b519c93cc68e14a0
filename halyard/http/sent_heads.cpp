// Keeping the request heads a request sent (see sent_heads.h), and the
// Request's part: asking for them, the curl debug callback, copying out.
#include "http/sent_heads.h"

#include <algorithm>
#include <cstring>
#include <string>

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

namespace {

// An HTTP/2 or HTTP/3 head as HTTP/2 and 3 send it: every name lower case
// but `Host` (curl's stand-in for :authority).  libcurl 8 shows the names
// as given; 7.88 showed them lower case.
std::string as_sent(std::string_view head) {
    std::string out(head);
    const size_t first_end = out.find("\r\n");
    if (first_end == std::string::npos) return out;
    const std::string_view request_line(out.data(), first_end);
    if (!request_line.ends_with(" HTTP/2") && !request_line.ends_with(" HTTP/3")) return out;
    for (size_t line = first_end + 2; line < out.size();) {
        const size_t end = out.find("\r\n", line);
        const size_t colon = out.find(':', line);
        if (end == std::string::npos || colon == std::string::npos || colon > end) break;
        if (std::string_view(out.data() + line, colon - line) != "Host")
            std::transform(out.begin() + line, out.begin() + colon, out.begin() + line,
                           [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
        line = end + 2;
    }
    return out;
}

}  // namespace

// curl calls this for everything it would print in verbose mode; only the
// heads it sent are kept.  Runs on the network thread.
int Request::debug_callback(CURL*, curl_infotype type, char* data, size_t size, void* self) {
    if (type == CURLINFO_HEADER_OUT) {
        // Out of memory: the head is not kept, the transfer goes on.
        contain([&] { static_cast<Request*>(self)->sent_heads_.append(as_sent(std::string_view(data, size))); },
                [](Fault) {});
    }
    return 0;
}

}  // namespace halyard
