"""The package's only import of the native module.

Every other module of the package reaches ``vesper_native36`` through
``native`` here (its classes, ``core_extensions``, ``CoreFailure``,
``failure_kinds``) and calls methods on the native objects made from it.
The helpers below turn the values of the module's bytes paths
(``wait_response``, ``read_chunk``, ``readinto``, ``read_all``,
``recv_message``, ``wait_manual_bytes``, ``take_redirects_bytes``) into the
package's; asyncio events come through ``vesper._hub`` (``start_hub``).
"""

from __future__ import annotations

from typing import Any, List, Optional, Sequence, Tuple

import vesper_native36 as native

__all__ = ["native", "RequestEvent", "WebSocketEvent", "PendingMessage", "core_has", "core_records_sent_heads", "RedirectRecord", "wait_head", "wait_step",
           "take_redirects", "read_chunk", "read_all", "readinto", "ws_recv", "as_bytes", "upload_write"]

RedirectRecord = Tuple[int, bytes, str, str]
# The typed event records of the hub, poll_events_bytes and recv_message;
# their kind constants are class attributes (RequestEvent.RESPONSE, ...).
RequestEvent = native.RequestEvent
WebSocketEvent = native.WebSocketEvent
# The payload of a large message from the hub, made into str or bytes by take().
PendingMessage = native.PendingMessage


def core_has(name: str) -> bool:
    """Whether the loaded Core offers the extension ``name`` (hy_...), as
    the module found it at import."""
    return name in native.core_extensions


def core_records_sent_heads() -> bool:
    """Whether the loaded Core keeps the request heads it sends (a Core
    without that extension keeps none)."""
    return "hy_request_record_sent_heads" in native.core_extensions


def as_bytes(value: Any) -> bytes:
    """bytes from a bytes-like value (None is empty)."""
    if isinstance(value, bytes):
        return value
    if value is None:
        return b""
    return bytes(value)


def _record(item: Sequence[Any]) -> RedirectRecord:
    return int(item[0]), as_bytes(item[1]), str(item[2]), str(item[3])


def take_redirects(request: Any) -> List[RedirectRecord]:
    """The redirect records queued so far, oldest first (never blocks)."""
    return [_record(r) for r in request.take_redirects_bytes()]


def wait_head(request: Any, timeout: Optional[float], redirects: List[RedirectRecord]) -> Tuple[int, bytes]:
    """Waits for the response head of a started request: (status, head block).

    Redirect records met on the way are appended to ``redirects``.  Raises
    the builtin TimeoutError when ``timeout`` runs out, RuntimeError with
    the module's failure text when the request failed."""
    response = request.wait_response(timeout)
    redirects.extend(take_redirects(request))
    return int(response.status_code), bytes(response.headers)


def read_chunk(request: Any, timeout: Optional[float]) -> bytes:
    """The next body chunk; b"" at the end of the body."""
    return bytes(request.read_chunk(timeout))


def read_all(request: Any, timeout: Optional[float]) -> bytes:
    """The rest of the body."""
    return bytes(request.read_all(timeout))


def readinto(request: Any, buffer: Any, timeout: Optional[float]) -> int:
    """Copies body bytes into ``buffer``; 0 at the end."""
    return int(request.readinto(buffer, timeout))


def read_exact(request: Any, size: int, timeout: Optional[float]) -> bytes:
    """The next ``size`` body bytes, fewer only at the end; b"" at the end."""
    data: bytes = request.read_exact(size, timeout)
    return data


def read_some(request: Any, size: int, timeout: Optional[float]) -> bytes:
    """What has arrived of the body, 1 to ``size`` bytes (waits only while
    nothing has); b"" at the end."""
    data: bytes = request.read_some(size, timeout)
    return data


def upload_write(request: Any, data: Any, final: bool) -> None:
    """Hands one piece of a streamed body to the Core (blocks on back-pressure)."""
    request.upload_write(data, final)


def ws_recv(websocket: Any, timeout: Optional[float]) -> Optional[WebSocketEvent]:
    """The next WebSocket event record (str payload for text, bytes
    otherwise), None once finished; the builtin TimeoutError if none came
    in time."""
    event: Optional[WebSocketEvent] = websocket.recv_message(timeout)
    return event


def wait_step(request: Any, timeout: Optional[float]) -> Tuple[Any, ...]:
    """For a request in manual redirect mode: ("redirect", record) or
    ("head", status, head block), whichever comes first; the builtin
    TimeoutError when ``timeout`` runs out, RuntimeError with the module's
    whole failure text (network error number included) when the request
    failed.  The native wait is interruptible (Ctrl-C is seen)."""
    record, head = request.wait_manual_bytes(timeout)
    if record is not None:
        return ("redirect", _record(record))
    if head is not None:
        return ("head", int(head[0]), as_bytes(head[1]))
    # Only when the head already went to another wait: nothing more comes.
    raise RuntimeError("response head was already taken")
