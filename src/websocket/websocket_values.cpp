#include "websocket/websocket_values.h"

#include <cstring>

#include "module/core_failure.h"

namespace vesper {

namespace {

enum class Form { Lists, Bytes };

// The kind texts, made once and shared by every event.
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

Result<PyRef> payload_value(Form form, const char* kind, const uint8_t* payload, size_t len) {
    if (form == Form::Lists) return make_byte_list(payload, len);
    if (std::strcmp(kind, "text") == 0) {
        PyRef text = PyRef::steal(
            PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(payload), static_cast<Py_ssize_t>(len), "replace"));
        if (!text) return Failure::fetch();
        return text;
    }
    return make_bytes(payload, len);
}

Result<PyRef> value(Form form, const char* kind, const uint8_t* payload, size_t len, PyRef code, PyRef text) {
    TRY_ASSIGN(PyRef kind_ref, kind_text(kind));
    TRY_ASSIGN(PyRef payload_ref, payload_value(form, kind, payload, len));
    return make_tuple(std::move(kind_ref), std::move(payload_ref), std::move(code), std::move(text));
}

Result<PyRef> event_value(Form form, const WebSocketEvent& event) {
    using Kind = WebSocketEvent::Kind;
    switch (event.kind) {
        case Kind::Open:
            return value(form, "open", reinterpret_cast<const uint8_t*>(event.first.data()), event.first.size(), none(),
                         none());
        case Kind::Message:
            // The list form does not decode text payloads either.
            return value(form, event.type == WebSocketEvent::MessageType::Text ? "text" : "binary", event.payload.data(),
                         event.payload.size(), none(), none());
        case Kind::Closing:
            return value(form, "closing", nullptr, 0, none(), none());
        case Kind::Close: {
            TRY_ASSIGN(PyRef code, make_int(event.code));
            TRY_ASSIGN(PyRef reason, make_str(event.first));
            return value(form, "closed", nullptr, 0, std::move(code), std::move(reason));
        }
        case Kind::Error: {
            // The bytes form carries a CoreFailure (str() is the same text).
            const std::string text = websocket_failure_text(event.error, event.net_error, event.response);
            TRY_ASSIGN(PyRef failure, form == Form::Bytes
                                          ? core_failure_value(event.error, event.net_error, event.response, text,
                                                               event.timeout_phase)
                                          : make_str(text));
            return value(form, "error", nullptr, 0, none(), std::move(failure));
        }
    }
    return Failure::panic("unknown WebSocket event kind");
}

}  // namespace

Result<PyRef> websocket_event_value(const WebSocketEvent& event) { return event_value(Form::Lists, event); }

Result<PyRef> websocket_event_value_bytes(const WebSocketEvent& event) { return event_value(Form::Bytes, event); }

}  // namespace vesper
