#include "websocket/taken_message.h"

#include <utility>

namespace halyard {

void BufferShelf::put(std::vector<uint8_t>&& buffer) noexcept {
    if (buffer.capacity() == 0 || buffer.capacity() > kLargestKept) return;
    std::vector<uint8_t> dropped;  // freed outside the lock
    {
        std::lock_guard lock(mutex_);
        if (count_ == kKept) {
            dropped = std::move(buffer);
        } else {
            buffer.clear();
            kept_[count_++] = std::move(buffer);
        }
    }
}

std::vector<uint8_t> BufferShelf::take() noexcept {
    std::lock_guard lock(mutex_);
    if (count_ == 0) return {};
    return std::move(kept_[--count_]);
}

}  // namespace halyard
