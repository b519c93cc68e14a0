"""The package's only door to the native module.

Every call goes through the module's bytes paths (``wait_response``,
``read_chunk``, ``readinto``, ``poll_events_bytes``, ``recv_message``,
``start_hub``).  A module built before those paths existed is still
served, in this file alone, by its older methods with the lists of ints
turned into bytes; nothing outside this file sees the difference.
"""

from __future__ import annotations

import time
from typing import Any, List, Optional, Sequence, Tuple

import vesper_native36 as native

__all__ = ["native", "HAS_BYTES_PATHS", "HAS_HUB", "RedirectRecord", "wait_head", "take_redirects",
           "read_chunk", "read_all", "readinto", "poll_events", "ws_recv", "ws_poll", "as_bytes",
           "upload_write", "wait_step"]

HAS_BYTES_PATHS: bool = hasattr(native.PyRequest, "read_chunk")
HAS_HUB: bool = hasattr(native, "PyEventHub") and hasattr(native.PyRequest, "start_hub")
# Slice of the older blocking waits, so that Ctrl-C is seen between slices.
_SLICE = 0.05

RedirectRecord = Tuple[int, bytes, str, str]


def as_bytes(value: Any) -> bytes:
    """bytes from a bytes-like value or (older module) a list of ints."""
    if isinstance(value, bytes):
        return value
    if value is None:
        return b""
    return bytes(value)


def _record(item: Sequence[Any]) -> RedirectRecord:
    return int(item[0]), as_bytes(item[1]), str(item[2]), str(item[3])


def take_redirects(request: Any) -> List[RedirectRecord]:
    """The redirect records queued so far, oldest first (never blocks)."""
    return [_record(r) for r in request.take_redirects()]


def wait_head(request: Any, timeout: Optional[float], redirects: List[RedirectRecord]) -> Tuple[int, bytes]:
    """Waits for the response head of a started request: (status, head block).

    Redirect records met on the way are appended to ``redirects``.  Raises
    the builtin TimeoutError when ``timeout`` runs out, RuntimeError with
    the module's failure text when the request failed."""
    if HAS_BYTES_PATHS:
        response = request.wait_response(timeout)
        redirects.extend(take_redirects(request))
        return int(response.status_code), as_bytes(response.headers)
    deadline = None if timeout is None else time.monotonic() + timeout
    while True:
        remaining = _SLICE if deadline is None else min(_SLICE, deadline - time.monotonic())
        if remaining <= 0:
            raise TimeoutError("timed out waiting for the response head")
        try:
            record, head = request.wait_manual(remaining)
        except RuntimeError as exc:
            raise _full_failure(request, exc) from None
        if record is not None:
            redirects.append(_record(record))
        elif head is not None:
            redirects.extend(take_redirects(request))
            return int(head[0]), as_bytes(head[1])


def read_chunk(request: Any, timeout: Optional[float]) -> bytes:
    """The next body chunk; b"" at the end of the body."""
    if HAS_BYTES_PATHS:
        return bytes(request.read_chunk(timeout))
    chunk = request.next_body()
    return b"" if chunk is None else bytes(chunk)


def read_all(request: Any, timeout: Optional[float]) -> bytes:
    """The rest of the body."""
    if HAS_BYTES_PATHS:
        return bytes(request.read_all(timeout))
    return bytes(request.read_body())


def readinto(request: Any, buffer: Any, timeout: Optional[float], leftover: bytearray) -> int:
    """Copies body bytes into ``buffer``; 0 at the end.  ``leftover`` keeps
    the unused part of a chunk for the older module."""
    if HAS_BYTES_PATHS:
        return int(request.readinto(buffer, timeout))
    view = memoryview(buffer).cast("B")
    if not leftover:
        leftover.extend(read_chunk(request, timeout))
    n = min(len(view), len(leftover))
    view[:n] = leftover[:n]
    del leftover[:n]
    return n


def upload_write(request: Any, data: Any, final: bool) -> None:
    """Hands one piece of a streamed body to the Core (blocks on back-pressure)."""
    if HAS_BYTES_PATHS or isinstance(data, bytes):
        request.upload_write(data, final)
    else:
        request.upload_write(bytes(data), final)


def _request_event(event: Sequence[Any]) -> Tuple[Any, ...]:
    kind, number, first, second, text = event
    return kind, number, as_bytes(first), as_bytes(second), text


def poll_events(request: Any, limit: int) -> List[Tuple[Any, ...]]:
    """Up to ``limit`` request events in the bytes form."""
    if HAS_BYTES_PATHS:
        return list(request.poll_events_bytes(limit))
    return [_request_event(e) for e in request.poll_events(limit)]


def websocket_event(event: Any) -> Optional[Tuple[Any, ...]]:
    """A WebSocket event in the bytes form (str for text messages)."""
    if event is None:
        return None
    kind, payload, code, text = event
    if isinstance(payload, list):
        data = bytes(payload)
        payload = data.decode("utf-8", "replace") if kind == "text" else data
    return kind, payload, code, text


def ws_recv(websocket: Any, timeout: Optional[float]) -> Optional[Tuple[Any, ...]]:
    """The next WebSocket event, None once finished; TimeoutError if none came."""
    if hasattr(websocket, "recv_message"):
        return websocket_event(websocket.recv_message(timeout))
    if timeout is None:
        return websocket_event(websocket.recv())
    deadline = time.monotonic() + timeout
    while True:
        event = websocket.poll_event()
        if event is None and websocket.is_finished():
            event = websocket.poll_event()
            return websocket_event(event)
        if event is not None:
            return websocket_event(event)
        if time.monotonic() >= deadline:
            raise TimeoutError("timed out waiting for a WebSocket event")
        time.sleep(0.002)


def ws_poll(websocket: Any, limit: int) -> List[Tuple[Any, ...]]:
    """Up to ``limit`` WebSocket events without waiting."""
    if hasattr(websocket, "poll_events_bytes"):
        return [e for e in (websocket_event(x) for x in websocket.poll_events_bytes(limit)) if e is not None]
    return [e for e in (websocket_event(x) for x in websocket.poll_events(limit)) if e is not None]


def wait_step(request: Any, timeout: Optional[float]) -> Tuple[Any, ...]:
    """For a request in manual redirect mode: ("redirect", record) or
    ("head", status, head block), whichever comes first; the builtin
    TimeoutError when ``timeout`` runs out.  Waits in short slices."""
    deadline = None if timeout is None else time.monotonic() + timeout
    while True:
        remaining = _SLICE if deadline is None else min(_SLICE, deadline - time.monotonic())
        if remaining <= 0:
            raise TimeoutError("timed out waiting for the response head")
        try:
            record, head = request.wait_manual(remaining)
        except RuntimeError as exc:
            raise _full_failure(request, exc) from None
        if record is not None:
            return ("redirect", _record(record))
        if head is not None:
            return ("head", int(head[0]), as_bytes(head[1]))


def _full_failure(request: Any, exc: RuntimeError) -> RuntimeError:
    """The failure with its network error number: a wait for a redirect
    reports the kind alone, while the head wait of the failed request
    (which returns at once) carries the whole text."""
    if "(Chromium net error" in str(exc) or not request.is_finished():
        return exc
    try:
        request.await_response()
    except RuntimeError as full:
        return full
    return exc
