// WebSocketHandle: the module's owner of one Core WebSocket.
#pragma once

#include "halyard.h"
#include "module/core_handle.h"
#include "websocket/websocket_state.h"

namespace vesper {

using WebSocketHandle = CoreHandle<hy_websocket, WebSocketState, hy_websocket_start, hy_websocket_release>;

// The callback record whose context is `state`.
WebSocketCallbacks websocket_callbacks(WebSocketState* state);

}  // namespace vesper
