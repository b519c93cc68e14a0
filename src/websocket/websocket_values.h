// The Python values of a WebSocket event: the specified tuple (kind,
// payload, code, text) and the WebSocketEvent record of the bytes forms.
#pragma once

#include "module/pytext.h"
#include "websocket/websocket_state.h"

namespace vesper {

Result<PyRef> websocket_event_value(const WebSocketEvent& event);
// The WebSocketEvent record (module/event_records.h): the payload as str
// for a text message (UTF-8 decoded once, each invalid sequence replaced
// by U+FFFD) and bytes for binary and for the subprotocol of OPEN (b""
// where there is none); a CoreFailure for an error.
Result<PyRef> websocket_event_record(const WebSocketEvent& event);
// The record the event hub hands out: as websocket_event_record, but a
// message of kLargeMessage bytes or more has a PendingMessage as its
// payload, which takes the event's bytes over.
Result<PyRef> websocket_hub_record(WebSocketEvent& event);
// A message's Python object: str for text, bytes for binary.
Result<PyRef> message_value(bool text, const uint8_t* payload, size_t len);

}  // namespace vesper
