#include "websocket/websocket_handle.h"

#include "module/core_extensions.h"

namespace vesper {

namespace {

WebSocketState* state_of(void* context) { return static_cast<WebSocketState*>(context); }

// The queue ended the connection itself (it overflowed, or a fault): the
// Core's connection is cancelled, or it would go on reading what nobody
// will ever see.  A cancel from the network thread is a posted command.
void end_core_if_ended_here(void* context, hy_websocket* socket) {
    if (state_of(context)->take_local_end()) hy_websocket_cancel(socket);
}

// Each callback marks its thread as the connection's network thread while
// it runs, the notifier it fires included (module/network_thread.h).
void open_callback(void* context, hy_websocket* socket, const char* protocol, uint64_t protocol_len,
                   const char* extensions, uint64_t extensions_len) {
    CallbackScope scope(state_of(context)->network());
    state_of(context)->on_open(protocol, protocol_len, extensions, extensions_len);
    end_core_if_ended_here(context, socket);
}

void message_callback(void* context, hy_websocket* socket, uint32_t type, uint32_t, const uint8_t* data, uint64_t len) {
    CallbackScope scope(state_of(context)->network());
    state_of(context)->on_message(socket, type, data, len);
    end_core_if_ended_here(context, socket);
}

void closing_callback(void* context, hy_websocket* socket) {
    CallbackScope scope(state_of(context)->network());
    state_of(context)->on_closing();
    end_core_if_ended_here(context, socket);
}

void close_callback(void* context, hy_websocket*, uint32_t, uint16_t code, const char* reason, uint64_t reason_len) {
    CallbackScope scope(state_of(context)->network());
    state_of(context)->on_close(code, reason, reason_len);
}

void error_callback(void* context, hy_websocket* socket, uint32_t result, int32_t net_error, int32_t response,
                    const char* message, uint64_t message_len) {
    CallbackScope scope(state_of(context)->network());
    // Which phase ran out, from a Core that keeps phase limits: the Core
    // sets it before this callback.
    uint32_t phase = HY_TIMEOUT_PHASE_NONE;
    if (result == HY_TIMEOUT) {
        if (const auto ask = core_extensions().websocket_timeout_phase; ask != nullptr && ask(socket, &phase) != HY_OK)
            phase = HY_TIMEOUT_PHASE_NONE;
    }
    state_of(context)->on_error(result, net_error, response, message, message_len, phase);
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
