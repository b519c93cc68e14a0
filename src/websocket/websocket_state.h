// WebSocketState: the bounded event queue of one connection, filled by the
// Core's callbacks and drained by recv and the polls.  Plain C++.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "async/notifier.h"
#include "halyard.h"
#include "module/convert.h"
#include "module/core_error.h"
#include "module/network_thread.h"
#include "module/shared.h"
#include "websocket/message_payload.h"

namespace vesper {

struct WebSocketEvent {
    enum class Kind { Open, Message, Closing, Close, Error };
    enum class MessageType { Text, Binary, Other };

    Kind kind = Kind::Closing;
    // Open: the subprotocol and the extensions; Close: the reason;
    // Error: the Core's message (counted, never shown).
    std::string first;
    std::string second;
    MessageType type = MessageType::Binary;
    MessagePayload payload;
    uint16_t code = 0;
    CoreError error{ErrorKind::Native};
    int32_t net_error = 0;
    int32_t response = 0;
    uint32_t timeout_phase = HY_TIMEOUT_PHASE_NONE;  // Error: the Core's phase that ran out

    // Queued as the one message larger than the byte limit (counted apart).
    bool counted_apart = false;

    bool terminal() const { return kind == Kind::Close || kind == Kind::Error; }
    // What the event counts towards the byte limit.
    uint64_t counted_size() const;
};

// Limits of an unread queue: events, and counted bytes after a push.
inline constexpr size_t kMaxQueuedEvents = 1024;
inline constexpr uint64_t kMaxQueuedBytes = 4'194'304;
// One message larger than the byte limit, up to the Core's largest incoming
// message, may wait beside the others: no queue could take it otherwise.
inline constexpr uint64_t kMaxLargeMessageBytes = uint64_t{64} << 20;

class WebSocketState final : public RefCounted {
public:
    // ---- Core callbacks (Core threads) ----
    // They raise nothing; they are not noexcept only because notifying a
    // loop in a finalizing interpreter ends the thread by unwinding.
    void on_open(const char* protocol, uint64_t protocol_len, const char* extensions, uint64_t extensions_len);
    // Takes the Core's buffer of a large message from `socket` when the
    // Core hands it over, copies the bytes otherwise.
    void on_message(hy_websocket* socket, uint32_t type, const uint8_t* data, uint64_t len);
    void on_closing();
    void on_close(uint16_t code, const char* reason, uint64_t reason_len);
    void on_error(uint32_t result, int32_t net_error, int32_t response, const char* message,
                  uint64_t message_len, uint32_t timeout_phase = HY_TIMEOUT_PHASE_NONE);

    // ---- Python threads ----
    std::optional<WebSocketEvent> pop();
    // Waits at most `wait_ms` (0: only looks); `ended` tells an empty
    // finished queue from a wait that found nothing yet.  With the Core's
    // driven sends and waits, the wait runs the engine's loop on this
    // thread (`core`'s hy_websocket_drive), without the interpreter lock.
    std::optional<WebSocketEvent> pop_for(hy_websocket* core, uint64_t wait_ms, bool& ended);
    bool finished() const;
    // True once, after the queue ended the connection itself (overflow or a
    // fault): the Core's connection must then be ended too.
    bool take_local_end();

    NotifierSlot& notifier() { return notifier_; }

    // The network thread its callbacks run on (module/network_thread.h);
    // set before the Core WebSocket is created.
    void set_network(NetworkRef network) { network_ = std::move(network); }
    const NetworkIdentity* network() const { return network_.get(); }
    void drop_context_reference();

private:
    ~WebSocketState() override = default;

    // Queues `event` within the limits (or overflows), then notifies.
    void push(WebSocketEvent event);
    // Builds an event with `make` and pushes it; a fault on the way is
    // recorded as CallbackPanic and goes no further.
    template <class Make>
    void push_guarded(Make make);
    void record_fault();
    std::optional<WebSocketEvent> pop_locked();

    mutable std::mutex mutex_;
    std::deque<WebSocketEvent> queue_;
    uint64_t buffered_ = 0;
    uint64_t large_message_ = 0;  // counted size of the queued oversized message, 0 if none
    bool finished_ = false;
    bool local_end_ = false;   // finished by the queue, not yet taken
    NotifierSlot notifier_;
    NetworkRef network_;
    std::condition_variable wakeup_;
    std::atomic<bool> context_reference_{true};
};

}  // namespace vesper
