// The Python value of a WebSocket event: (kind, payload, code, text).
#pragma once

#include "module/pytext.h"
#include "websocket/websocket_state.h"

namespace vesper {

Result<PyRef> websocket_event_value(const WebSocketEvent& event);
// The same tuple with the payload as str for a text message (UTF-8 decoded
// once, each invalid sequence replaced by U+FFFD) and bytes for every
// other event (the subprotocol of "open", b"" where there is none).
Result<PyRef> websocket_event_value_bytes(const WebSocketEvent& event);

}  // namespace vesper
