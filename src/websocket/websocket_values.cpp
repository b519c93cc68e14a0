#include "websocket/websocket_values.h"

#include <cstring>

#include "module/core_failure.h"
#include "module/event_records.h"
#include "websocket/pending_message.h"

namespace vesper {

namespace {

// The kind texts of the tuple form, made once and shared by every event.
Result<PyRef> kind_text(const char* kind) {
    static const char* const names[] = {"open", "text", "binary", "closing", "closed", "error"};
    static PyObject* texts[6] = {};
    for (int i = 0; i < 6; ++i) {
        if (std::strcmp(names[i], kind) != 0) continue;
        if (texts[i] == nullptr) {
            texts[i] = PyUnicode_InternFromString(names[i]);
            if (texts[i] == nullptr) return Failure::fetch();
        }
        return PyRef::borrow(texts[i]);
    }
    return make_str(kind);
}

Result<PyRef> value(const char* kind, const uint8_t* payload, size_t len, PyRef code, PyRef text) {
    TRY_ASSIGN(PyRef kind_ref, kind_text(kind));
    TRY_ASSIGN(PyRef payload_ref, make_byte_list(payload, len));
    return make_tuple(std::move(kind_ref), std::move(payload_ref), std::move(code), std::move(text));
}

// The specified tuple (kind, payload as a list of ints, code, text).
Result<PyRef> event_tuple(const WebSocketEvent& event) {
    using Kind = WebSocketEvent::Kind;
    switch (event.kind) {
        case Kind::Open:
            return value("open", reinterpret_cast<const uint8_t*>(event.first.data()), event.first.size(), none(),
                         none());
        case Kind::Message:
            // The list form does not decode text payloads.
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

Result<PyRef> message_record(bool text, PyRef payload) {
    using Out = WebSocketEventKind;
    TRY_ASSIGN(PyRef record,
               new_event_record(websocket_event_type(), static_cast<long>(text ? Out::Text : Out::Binary)));
    set_event_field(record.get(), kSocketPayload, std::move(payload));
    return record;
}

// The WebSocketEvent record: a text payload as str (UTF-8 decoded once,
// each invalid sequence replaced by U+FFFD), bytes for the others.
Result<PyRef> event_record(const WebSocketEvent& event) {
    using Kind = WebSocketEvent::Kind;
    using Out = WebSocketEventKind;
    PyObject* type = websocket_event_type();
    switch (event.kind) {
        case Kind::Open: {
            TRY_ASSIGN(PyRef record, new_event_record(type, static_cast<long>(Out::Open)));
            TRY_ASSIGN(PyRef name,
                       make_bytes(reinterpret_cast<const uint8_t*>(event.first.data()), event.first.size()));
            set_event_field(record.get(), kSocketPayload, std::move(name));
            return record;
        }
        case Kind::Message: {
            const bool text = event.type == WebSocketEvent::MessageType::Text;
            TRY_ASSIGN(PyRef payload, message_value(text, event.payload.data(), event.payload.size()));
            return message_record(text, std::move(payload));
        }
        case Kind::Closing:
            return new_event_record(type, static_cast<long>(Out::Closing));
        case Kind::Close: {
            TRY_ASSIGN(PyRef record, new_event_record(type, static_cast<long>(Out::Closed)));
            TRY_ASSIGN(PyRef code, make_int(event.code));
            set_event_field(record.get(), kSocketCode, std::move(code));
            TRY_ASSIGN(PyRef reason, make_str(event.first));
            set_event_field(record.get(), kSocketReason, std::move(reason));
            return record;
        }
        case Kind::Error: {
            TRY_ASSIGN(PyRef record, new_event_record(type, static_cast<long>(Out::Error)));
            const std::string text = websocket_failure_text(event.error, event.net_error, event.response);
            TRY_ASSIGN(PyRef failure, core_failure_value(event.error, event.net_error, event.response, text,
                                                                     event.timeout_phase));
            set_event_field(record.get(), kSocketFailure, std::move(failure));
            return record;
        }
    }
    return Failure::panic("unknown WebSocket event kind");
}

}  // namespace

Result<PyRef> websocket_event_value(const WebSocketEvent& event) { return event_tuple(event); }

Result<PyRef> websocket_event_record(const WebSocketEvent& event) { return event_record(event); }

Result<PyRef> message_value(bool text, const uint8_t* payload, size_t len) {
    if (text) {
        PyRef value = PyRef::steal(
            PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(payload), static_cast<Py_ssize_t>(len), "replace"));
        if (!value) return Failure::fetch();
        return value;
    }
    return make_bytes(payload, len);
}

Result<PyRef> websocket_hub_record(WebSocketEvent& event) {
    if (event.kind != WebSocketEvent::Kind::Message || event.payload.size() < kLargeMessage)
        return event_record(event);
    const bool text = event.type == WebSocketEvent::MessageType::Text;
    TRY_ASSIGN(PyRef pending, new_pending_message(text, std::move(event.payload)));
    return message_record(text, std::move(pending));
}

}  // namespace vesper
