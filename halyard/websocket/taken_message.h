// A received message's buffer handed to the caller (hy_websocket_take_message)
// instead of copied, and the shelf it goes back to on hy_message_release:
// the connection assembles later messages in returned buffers instead of
// fresh memory, which the allocator would hand out page by page (a page
// fault for every 4 KiB of every message).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "halyard.h"

namespace halyard {

class BufferShelf {
public:
    // Keeps `buffer` for reuse when there is room and it is not too large;
    // frees it otherwise.  Any thread.
    void put(std::vector<uint8_t>&& buffer) noexcept;
    // A kept buffer (emptied, its capacity intact), or an empty vector.
    std::vector<uint8_t> take() noexcept;

private:
    static constexpr size_t kKept = 2;
    static constexpr size_t kLargestKept = size_t{1} << 20;
    std::mutex mutex_;
    std::vector<uint8_t> kept_[kKept];
    size_t count_ = 0;
};

}  // namespace halyard

struct hy_message {
    std::vector<uint8_t> bytes;
    std::shared_ptr<halyard::BufferShelf> shelf;  // where the buffer returns
};
