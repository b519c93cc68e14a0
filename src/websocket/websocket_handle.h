// WebSocketHandle: the module's owner of one Core WebSocket.
#pragma once

#include <atomic>

#include "halyard.h"
#include "module/process_owner.h"
#include "websocket/websocket_state.h"

namespace vesper {

class WebSocketHandle {
public:
    WebSocketHandle(hy_websocket* core, Shared<WebSocketState> state) : core_(core), state_(std::move(state)) {}
    // Releases the Core object; one never started gets no terminal
    // callback, so the Core's context reference is dropped here instead.
    ~WebSocketHandle();
    WebSocketHandle(const WebSocketHandle&) = delete;
    WebSocketHandle& operator=(const WebSocketHandle&) = delete;

    hy_websocket* core() const { return core_; }
    WebSocketState& state() const { return *state_; }
    const Shared<WebSocketState>& shared_state() const { return state_; }
    std::atomic<bool>& started() { return started_; }
    const ProcessOwner& owner() const { return owner_; }

private:
    hy_websocket* core_;
    ProcessOwner owner_;
    Shared<WebSocketState> state_;
    std::atomic<bool> started_{false};
};

// The callback record whose context is `state`.
WebSocketCallbacks websocket_callbacks(WebSocketState* state);

}  // namespace vesper
