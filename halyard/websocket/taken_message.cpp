#include "websocket/taken_message.h"

#include <utility>

namespace halyard {

void BufferShelf::put(std::vector<uint8_t>&& buffer) noexcept {
    const size_t capacity = buffer.capacity();
    if (capacity == 0 || capacity > kKeptBytes) return;
    std::vector<uint8_t> dropped;  // freed outside the lock
    {
        std::lock_guard lock(mutex_);
        if (count_ == kSlots || bytes_ + capacity > kKeptBytes) {
            dropped = std::move(buffer);
        } else {
            buffer.clear();
            kept_[count_++] = std::move(buffer);
            bytes_ += capacity;
        }
    }
}

std::vector<uint8_t> BufferShelf::take() noexcept {
    std::lock_guard lock(mutex_);
    if (count_ == 0) return {};
    std::vector<uint8_t> buffer = std::move(kept_[--count_]);
    bytes_ -= buffer.capacity();
    return buffer;
}

size_t BufferShelf::kept_bytes() const noexcept {
    std::lock_guard lock(mutex_);
    return bytes_;
}

}  // namespace halyard
