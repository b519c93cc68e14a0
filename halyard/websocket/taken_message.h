// A received message's buffer handed to the caller (hy_websocket_take_message)
// instead of copied, and the shelf it goes back to on hy_message_release:
// the connection assembles later messages in returned buffers instead of
// fresh memory, which the allocator would hand out page by page (a page
// fault for every 4 KiB of every message).  Sent messages' buffers go
// round a shelf of their own.
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
    // At most this many buffers, of at most this many bytes together: a
    // window of 16 messages of 64 KiB in flight goes round without fresh
    // memory.
    static constexpr size_t kSlots = 16;
    static constexpr size_t kKeptBytes = size_t{1} << 20;

    // Keeps `buffer` for reuse while the shelf has room for it; frees it
    // otherwise.  Any thread.
    void put(std::vector<uint8_t>&& buffer) noexcept;
    // The buffer kept last (emptied, its capacity intact), or an empty
    // vector.  Any thread.
    std::vector<uint8_t> take() noexcept;
    size_t kept_bytes() const noexcept;

private:
    mutable std::mutex mutex_;
    std::vector<uint8_t> kept_[kSlots];
    size_t count_ = 0;
    size_t bytes_ = 0;
};

}  // namespace halyard

struct hy_message {
    std::vector<uint8_t> bytes;
    std::shared_ptr<halyard::BufferShelf> shelf;  // where the buffer returns
};
