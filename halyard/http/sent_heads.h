// The request heads one request put on the wire, kept only when its caller
// asked for them (hy_request_record_sent_heads).  curl's debug callback
// hands each head over as it sends it (CURLINFO_HEADER_OUT), on the network
// thread; the caller copies them out from any thread, hence the lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace halyard {

class SentHeads {
public:
    // Enough for every hop of a long redirect chain with large cookies; a
    // head that would pass it is dropped whole, so no head is ever cut.
    static constexpr size_t kLimit = 256 * 1024;

    void append(std::string_view head);
    // Copies up to `capacity` bytes of everything kept into `buffer`;
    // returns the full length kept.
    uint64_t copy(uint8_t* buffer, uint64_t capacity) const;

private:
    mutable std::mutex mutex_;
    std::string kept_;
};

}  // namespace halyard
