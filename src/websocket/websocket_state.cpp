#include "websocket/websocket_state.h"

#include <cxxabi.h>

#include <chrono>
#include <utility>

#include "module/core_extensions.h"
#include "module/core_ranges.h"
#include "module/driven_wait.h"

namespace vesper {

namespace {

WebSocketEvent error_event(CoreError error, int32_t net_error, int32_t response) {
    WebSocketEvent event;
    event.kind = WebSocketEvent::Kind::Error;
    event.error = error;
    event.net_error = net_error;
    event.response = response;
    return event;
}

}  // namespace

uint64_t WebSocketEvent::counted_size() const {
    switch (kind) {
        case Kind::Open: return saturating_add(first.size(), second.size());
        case Kind::Message: return payload.size();
        case Kind::Closing: return 0;
        case Kind::Close:
        case Kind::Error: return first.size();
    }
    return 0;
}

void WebSocketState::push(WebSocketEvent event) {
    {
        std::lock_guard lock(mutex_);
        if (finished_) return;  // nothing is queued after the end
        const uint64_t size = event.counted_size();
        // A message too large for even an empty queue is let through alone:
        // one at a time, counted apart, so the limit still bounds what
        // accumulates beside it.
        const bool large = event.kind == WebSocketEvent::Kind::Message && size > kMaxQueuedBytes;
        const bool fits = large ? large_message_ == 0 && size <= kMaxLargeMessageBytes
                                : saturating_add(buffered_, size) <= kMaxQueuedBytes;
        if (queue_.size() >= kMaxQueuedEvents || !fits) {
            // Overflow: what is queued is replaced by one BufferLimit error
            // and the connection counts as finished.
            queue_.clear();
            buffered_ = 0;
            large_message_ = 0;
            queue_.push_back(error_event(CoreError{ErrorKind::BufferLimit}, 0, 0));
            finished_ = true;
            local_end_ = true;
        } else if (large) {
            large_message_ = size;
            event.counted_apart = true;
            queue_.push_back(std::move(event));
        } else {
            buffered_ += size;
            if (event.terminal()) finished_ = true;
            queue_.push_back(std::move(event));
        }
        wakeup_.notify_all();
    }
    notifier_.fire();
}

void WebSocketState::record_fault() {
    try {
        {
            std::lock_guard lock(mutex_);
            if (finished_) return;
            queue_.push_back(error_event(CoreError{ErrorKind::CallbackPanic}, 0, -1));
            finished_ = true;
            local_end_ = true;
            wakeup_.notify_all();
        }
        notifier_.fire();
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        // Nothing more can be recorded; the fault still stops here.
    }
}

template <class Make>
void WebSocketState::push_guarded(Make make) {
    try {
        push(make());
    } catch (const abi::__forced_unwind&) {
        throw;  // the thread is being ended: let it unwind
    } catch (...) {
        record_fault();
    }
}

bool WebSocketState::take_local_end() {
    std::lock_guard lock(mutex_);
    return std::exchange(local_end_, false);
}

void WebSocketState::on_open(const char* protocol, uint64_t protocol_len, const char* extensions,
                             uint64_t extensions_len) {
    push_guarded([&] {
        WebSocketEvent event;
        event.kind = WebSocketEvent::Kind::Open;
        event.first = copy_core_text(protocol, protocol_len);
        event.second = copy_core_text(extensions, extensions_len);
        return event;
    });
}

namespace {

MessagePayload message_payload(hy_websocket* socket, const uint8_t* data, uint64_t len) {
    const auto take = core_extensions().websocket_take_message;
    if (take != nullptr && core_extensions().message_release != nullptr && len >= kLargeMessage &&
        data != nullptr) {
        hy_message* taken = nullptr;
        if (take(socket, data, &taken) == HY_OK && taken != nullptr) return MessagePayload::taken(taken, data, len);
    }
    return MessagePayload(copy_core_bytes(data, len));
}

}  // namespace

void WebSocketState::on_message(hy_websocket* socket, uint32_t type, const uint8_t* data, uint64_t len) {
    push_guarded([&] {
        WebSocketEvent event;
        event.kind = WebSocketEvent::Kind::Message;
        event.type = type == HY_WS_TEXT     ? WebSocketEvent::MessageType::Text
                     : type == HY_WS_BINARY ? WebSocketEvent::MessageType::Binary
                                            : WebSocketEvent::MessageType::Other;
        event.payload = message_payload(socket, data, len);
        return event;
    });
}

void WebSocketState::on_closing() {
    push_guarded([] { return WebSocketEvent{}; });
}

void WebSocketState::on_close(uint16_t code, const char* reason, uint64_t reason_len) {
    push_guarded([&] {
        WebSocketEvent event;
        event.kind = WebSocketEvent::Kind::Close;
        event.code = code;
        event.first = copy_core_text(reason, reason_len);
        return event;
    });
    drop_context_reference();
}

void WebSocketState::on_error(uint32_t result, int32_t net_error, int32_t response, const char* message,
                              uint64_t message_len, uint32_t timeout_phase) {
    push_guarded([&] {
        // 0 names no failure kind: like every unknown code it is Native.
        WebSocketEvent event = error_event(CoreError::from_result(result), net_error, response);
        event.first = copy_core_text(message, message_len);
        event.timeout_phase = timeout_phase;
        return event;
    });
    drop_context_reference();
}

void WebSocketState::drop_context_reference() {
    if (context_reference_.exchange(false, std::memory_order_acq_rel)) release();
}

std::optional<WebSocketEvent> WebSocketState::pop_locked() {
    if (queue_.empty()) return std::nullopt;
    WebSocketEvent event = std::move(queue_.front());
    queue_.pop_front();
    const uint64_t size = event.counted_size();
    if (event.counted_apart) {
        large_message_ = 0;
    } else {
        buffered_ = size > buffered_ ? 0 : buffered_ - size;
    }
    return event;
}

std::optional<WebSocketEvent> WebSocketState::pop() {
    std::lock_guard lock(mutex_);
    return pop_locked();
}

std::optional<WebSocketEvent> WebSocketState::pop_for(hy_websocket* core, uint64_t wait_ms, bool& ended) {
    std::unique_lock lock(mutex_);
    // A driven wait pays only with a driven send: a plain send wakes the
    // network thread, which the wait would then take the loop back from.
    const CoreExtensions& core_has = core_extensions();
    const auto drive = core_has.websocket_send_driven != nullptr ? core_has.websocket_drive : nullptr;
    driven_wait(drive, core, lock, wakeup_, wait_ms, [&] { return !queue_.empty() || finished_; });
    ended = queue_.empty() && finished_;
    return pop_locked();
}

bool WebSocketState::finished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

}  // namespace vesper
