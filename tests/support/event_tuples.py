"""The typed event records of the module's bytes forms (RequestEvent,
WebSocketEvent) in the shape of the specified event tuples, so a test can
compare a whole event at once: (kind text, number, first, second, text) for
a request, (kind text, payload, code, text) for a WebSocket, bytes for the
byte items and the CoreFailure itself for an error's text."""

import vesper_native36 as native

_REQUEST_KINDS = {getattr(native.RequestEvent, name): name.lower()
                  for name in ("REDIRECT", "RESPONSE", "BODY", "READABLE", "ENDED", "DONE", "ERROR")}
_WEBSOCKET_KINDS = {getattr(native.WebSocketEvent, name): name.lower()
                    for name in ("OPEN", "TEXT", "BINARY", "CLOSING", "CLOSED", "ERROR")}


def as_tuple(event):
    """The tuple of a record (None and tuples pass through)."""
    if isinstance(event, native.RequestEvent):
        kind = _REQUEST_KINDS[event.kind]
        second = event.location.encode() if event.location is not None else event.data
        text = event.method if event.method is not None else event.failure
        return (kind, event.status or 0, event.head or b"", second or b"", text)
    if isinstance(event, native.WebSocketEvent):
        kind = _WEBSOCKET_KINDS[event.kind]
        text = event.reason if event.reason is not None else event.failure
        return (kind, event.payload if event.payload is not None else b"", event.code, text)
    return event


def as_tuples(events):
    """as_tuple of each event; (tag, event) pairs keep their tag."""
    return [(item[0], as_tuple(item[1])) if type(item) is tuple and len(item) == 2 else as_tuple(item)
            for item in events]
