// The typed event records of the module's second-generation methods (the
// event hub's poll, poll_events_bytes, recv_message): struct sequences with
// named fields whose `kind` is a small integer.  The kind constants are
// attributes of the record types (RequestEvent.RESPONSE, ...), so Python
// compares integers instead of texts.
#pragma once

#include "module/failure.h"
#include "module/py_ref.h"

namespace vesper {

// RequestEvent(kind, status, head, location, method, data, failure).
enum class RequestEventKind : long {
    Redirect = 0,  // status, head (the raw block), location, method
    Response = 1,  // status, head
    Body = 2,      // data (poll_events_bytes only)
    Readable = 3,  // the hub only: body bytes wait to be taken (take_available)
    Ended = 4,     // the hub only: the request ended; the rest is taken from it
    Done = 5,      // poll_events_bytes only: the body ended
    Error = 6,     // failure (a CoreFailure)
};

enum RequestEventField : int {
    kRequestKind = 0,
    kRequestStatus,
    kRequestHead,
    kRequestLocation,
    kRequestMethod,
    kRequestData,
    kRequestFailure,
    kRequestFieldCount,
};

// WebSocketEvent(kind, payload, code, reason, failure).
enum class WebSocketEventKind : long {
    Open = 0,     // payload: the subprotocol (bytes, b"" for none)
    Text = 1,     // payload: str
    Binary = 2,   // payload: bytes
    Closing = 3,  // the peer's close frame came or ours went out
    Closed = 4,   // code, reason
    Error = 5,    // failure (a CoreFailure)
};

enum WebSocketEventField : int {
    kSocketKind = 0,
    kSocketPayload,
    kSocketCode,
    kSocketReason,
    kSocketFailure,
    kSocketFieldCount,
};

// The record types (borrowed; made once per process, null with a Python
// error set if that fails).
PyObject* request_event_type();
PyObject* websocket_event_type();

// A new record of `type` of `kind`, every other field None.
Result<PyRef> new_event_record(PyObject* type, long kind);
// Sets field `index` of a record made by new_event_record (not yet seen by
// Python code).
void set_event_field(PyObject* record, int index, PyRef value);

}  // namespace vesper
