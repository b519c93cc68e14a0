#include "websocket/websocket_handle.h"

namespace vesper {

WebSocketHandle::~WebSocketHandle() {
    // A copy in a forked child is left alone (see ProcessOwner).
    if (!owner_.here()) return;
    hy_websocket_release(core_);
    if (!started_.load()) state_->drop_context_reference();
}

namespace {

WebSocketState* state_of(void* context) { return static_cast<WebSocketState*>(context); }

void open_callback(void* context, hy_websocket*, const char* protocol, uint64_t protocol_len, const char* extensions,
                   uint64_t extensions_len) {
    state_of(context)->on_open(protocol, protocol_len, extensions, extensions_len);
}

void message_callback(void* context, hy_websocket*, uint32_t type, uint32_t, const uint8_t* data, uint64_t len) {
    state_of(context)->on_message(type, data, len);
}

void closing_callback(void* context, hy_websocket*) { state_of(context)->on_closing(); }

void close_callback(void* context, hy_websocket*, uint32_t, uint16_t code, const char* reason, uint64_t reason_len) {
    state_of(context)->on_close(code, reason, reason_len);
}

void error_callback(void* context, hy_websocket*, uint32_t result, int32_t net_error, int32_t response,
                    const char* message, uint64_t message_len) {
    state_of(context)->on_error(result, net_error, response, message, message_len);
}

}  // namespace

WebSocketCallbacks websocket_callbacks(WebSocketState* state) {
    WebSocketCallbacks callbacks{};
    callbacks.size = sizeof(WebSocketCallbacks);
    callbacks.abi = HY_ABI_VERSION;
    callbacks.context = state;
    callbacks.on_open = open_callback;
    callbacks.on_message = message_callback;
    callbacks.on_closing = closing_callback;
    callbacks.on_close = close_callback;
    callbacks.on_error = error_callback;
    return callbacks;
}

}  // namespace vesper
