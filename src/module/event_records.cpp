#include "module/event_records.h"

#include <utility>

#include "module/pytext.h"

namespace vesper {

namespace {

PyStructSequence_Field g_request_fields[] = {
    {"kind", "RequestEvent.REDIRECT, RESPONSE, BODY, READABLE, ENDED, DONE or ERROR"},
    {"status", "the HTTP status of a redirect or a response"},
    {"head", "the head block of a redirect or a response, as received"},
    {"location", "where a redirect goes"},
    {"method", "the method a redirect is followed with"},
    {"data", "body bytes (BODY)"},
    {"failure", "the CoreFailure of an ERROR"},
    {nullptr, nullptr},
};

PyStructSequence_Desc g_request_desc = {
    "vesper_native36.RequestEvent",
    "One event of a polled request; `kind` says which fields are set (the others are None).",
    g_request_fields,
    kRequestFieldCount,
};

PyStructSequence_Field g_websocket_fields[] = {
    {"kind", "WebSocketEvent.OPEN, TEXT, BINARY, CLOSING, CLOSED or ERROR"},
    {"payload", "a message (str for TEXT, bytes for BINARY) or the subprotocol of OPEN (bytes)"},
    {"code", "the close code of CLOSED"},
    {"reason", "the close reason of CLOSED"},
    {"failure", "the CoreFailure of an ERROR"},
    {nullptr, nullptr},
};

PyStructSequence_Desc g_websocket_desc = {
    "vesper_native36.WebSocketEvent",
    "One event of a WebSocket; `kind` says which fields are set (the others are None).",
    g_websocket_fields,
    kSocketFieldCount,
};

struct KindName {
    const char* name;
    long value;
};

constexpr KindName kRequestKinds[] = {
    {"REDIRECT", static_cast<long>(RequestEventKind::Redirect)},
    {"RESPONSE", static_cast<long>(RequestEventKind::Response)},
    {"BODY", static_cast<long>(RequestEventKind::Body)},
    {"READABLE", static_cast<long>(RequestEventKind::Readable)},
    {"ENDED", static_cast<long>(RequestEventKind::Ended)},
    {"DONE", static_cast<long>(RequestEventKind::Done)},
    {"ERROR", static_cast<long>(RequestEventKind::Error)},
};

constexpr KindName kSocketKinds[] = {
    {"OPEN", static_cast<long>(WebSocketEventKind::Open)},
    {"TEXT", static_cast<long>(WebSocketEventKind::Text)},
    {"BINARY", static_cast<long>(WebSocketEventKind::Binary)},
    {"CLOSING", static_cast<long>(WebSocketEventKind::Closing)},
    {"CLOSED", static_cast<long>(WebSocketEventKind::Closed)},
    {"ERROR", static_cast<long>(WebSocketEventKind::Error)},
};

// The type with its kind constants as class attributes; null with a Python
// error set on failure.
template <size_t N>
PyObject* make_record_type(PyStructSequence_Desc& desc, const KindName (&kinds)[N]) {
    PyRef type = PyRef::steal(reinterpret_cast<PyObject*>(PyStructSequence_NewType(&desc)));
    if (!type) return nullptr;
    for (const KindName& kind : kinds) {
        PyRef value = PyRef::steal(PyLong_FromLong(kind.value));
        if (!value || PyObject_SetAttrString(type.get(), kind.name, value.get()) < 0) return nullptr;
    }
    return type.release();
}

}  // namespace

PyObject* request_event_type() {
    // Kept for the life of the process; a failed creation is tried again.
    static PyObject* type = nullptr;
    if (type == nullptr) type = make_record_type(g_request_desc, kRequestKinds);
    return type;
}

PyObject* websocket_event_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = make_record_type(g_websocket_desc, kSocketKinds);
    return type;
}

Result<PyRef> new_event_record(PyObject* type, long kind) {
    if (type == nullptr) return Failure::fetch();
    PyRef record = PyRef::steal(PyStructSequence_New(reinterpret_cast<PyTypeObject*>(type)));
    if (!record) return Failure::fetch();
    PyRef kind_value = PyRef::steal(PyLong_FromLong(kind));
    if (!kind_value) return Failure::fetch();
    PyStructSequence_SetItem(record.get(), 0, kind_value.release());
    const Py_ssize_t size = PyTuple_Size(record.get());
    for (Py_ssize_t i = 1; i < size; ++i) PyStructSequence_SetItem(record.get(), i, none().release());
    return record;
}

void set_event_field(PyObject* record, int index, PyRef value) {
    // SetItem steals the new value and drops the None it replaces.
    PyObject* previous = PyStructSequence_GetItem(record, index);
    PyStructSequence_SetItem(record, index, value.release());
    Py_XDECREF(previous);
}

}  // namespace vesper
