// The bytes of one received WebSocket message, held until Python takes
// them: either the Core's own buffer, taken over during on_message
// (hy_websocket_take_message) so that the message is not copied on its way
// to the Python object, or the module's copy when the Core cannot hand it
// over.  Plain C++: Core callbacks build it without the interpreter lock.
#pragma once

#include <cstdint>
#include <utility>

#include "module/convert.h"
#include "module/core_extensions.h"

namespace vesper {

// From this size a message is large: its buffer is taken from the Core
// rather than copied (below it a copy costs less than the allocation the
// Core then makes for the next message), and the event hub hands it out
// unmade (pending_message.h).
inline constexpr uint64_t kLargeMessage = 4096;

class MessagePayload {
public:
    MessagePayload() = default;
    explicit MessagePayload(Bytes copy) : copy_(std::move(copy)) {}
    // `data`/`len` stay valid until `taken` is released.
    static MessagePayload taken(hy_message* taken, const uint8_t* data, uint64_t len) {
        MessagePayload payload;
        payload.taken_ = taken;
        payload.data_ = data;
        payload.len_ = len;
        return payload;
    }

    MessagePayload(MessagePayload&& other) noexcept
        : copy_(std::move(other.copy_)),
          taken_(std::exchange(other.taken_, nullptr)),
          data_(std::exchange(other.data_, nullptr)),
          len_(std::exchange(other.len_, 0)) {}
    MessagePayload& operator=(MessagePayload&& other) noexcept {
        if (this != &other) {
            release();
            copy_ = std::move(other.copy_);
            taken_ = std::exchange(other.taken_, nullptr);
            data_ = std::exchange(other.data_, nullptr);
            len_ = std::exchange(other.len_, 0);
        }
        return *this;
    }
    MessagePayload(const MessagePayload&) = delete;
    MessagePayload& operator=(const MessagePayload&) = delete;
    ~MessagePayload() { release(); }

    const uint8_t* data() const { return taken_ ? data_ : copy_.data(); }
    uint64_t size() const { return taken_ ? len_ : copy_.size(); }
    // Whether the bytes are the Core's buffer (for the tests' counts).
    bool is_taken() const { return taken_ != nullptr; }

private:
    void release() noexcept {
        // Only a Core that offers hy_websocket_take_message hands buffers
        // over, and it offers hy_message_release beside it.
        if (taken_ != nullptr && core_extensions().message_release != nullptr) core_extensions().message_release(taken_);
        taken_ = nullptr;
    }

    Bytes copy_;
    hy_message* taken_ = nullptr;
    const uint8_t* data_ = nullptr;
    uint64_t len_ = 0;
};

}  // namespace vesper
