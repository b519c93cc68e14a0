// The Python value of a WebSocket event: (kind, payload, code, text).
#pragma once

#include "module/pytext.h"
#include "websocket/websocket_state.h"

namespace vesper {

Result<PyRef> websocket_event_value(const WebSocketEvent& event);

}  // namespace vesper
