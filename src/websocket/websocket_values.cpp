#include "websocket/websocket_values.h"

namespace vesper {

namespace {

Result<PyRef> value(const char* kind, const uint8_t* payload, size_t len, PyRef code, PyRef text) {
    TRY_ASSIGN(PyRef kind_ref, make_str(kind));
    TRY_ASSIGN(PyRef payload_ref, make_byte_list(payload, len));
    return make_tuple(std::move(kind_ref), std::move(payload_ref), std::move(code), std::move(text));
}

}  // namespace

Result<PyRef> websocket_event_value(const WebSocketEvent& event) {
    using Kind = WebSocketEvent::Kind;
    switch (event.kind) {
        case Kind::Open:
            return value("open", reinterpret_cast<const uint8_t*>(event.first.data()), event.first.size(), none(),
                         none());
        case Kind::Message:
            // Text payloads stay bytes too: they are not decoded.
            return value(event.type == WebSocketEvent::MessageType::Text ? "text" : "binary", event.payload.data(),
                         event.payload.size(), none(), none());
        case Kind::Closing:
            return value("closing", nullptr, 0, none(), none());
        case Kind::Close: {
            TRY_ASSIGN(PyRef code, make_int(event.code));
            TRY_ASSIGN(PyRef reason, make_str(event.first));
            return value("closed", nullptr, 0, std::move(code), std::move(reason));
        }
        case Kind::Error: {
            TRY_ASSIGN(PyRef text, make_str(websocket_failure_text(event.error, event.net_error, event.response)));
            return value("error", nullptr, 0, none(), std::move(text));
        }
    }
    return Failure::panic("unknown WebSocket event kind");
}

}  // namespace vesper
