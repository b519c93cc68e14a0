"""Types of the native module: engines, requests, responses and WebSockets.

Every parameter may be given by position or by keyword.  Byte data handed
back by the list-returning methods and events is a list of ints 0..255.
Failures of the Core and of requests are raised as RuntimeError; argument
conversion raises TypeError, ValueError or OverflowError.
"""

from typing import Callable, ClassVar, Literal, Protocol, Sequence, SupportsFloat, SupportsIndex, final

from typing_extensions import Buffer, TypeAlias

__all__ = ["PyEngine", "PyRequest", "PyResponse", "PyWebSocket", "abi_version"]

# The Core interface version the module is built for.
abi_version: int
# The Core functions beyond the seventeen every Core offers that the loaded
# Core has (hy_... names); features built on a missing one fall back or say so.
core_extensions: frozenset[str]

# The failure kinds by code: the Core's result codes (1..15), then the
# module's own (CallbackPanic, BufferLimit, Native).
failure_kinds: dict[int, str]


class CoreFailure(RuntimeError):
    """A failure the Core reported (or the module on its behalf).  str() is
    the failure text; ``kind`` is the kind's code (``failure_kinds`` names
    it), ``net_error`` the Chromium network error number, ``timeout_phase``
    the phase whose limit ran out ("connect", "read", "write", "pool",
    "total", and for a WebSocket "handshake"; with a Core that keeps phase
    limits) and ``status`` a WebSocket
    handshake's HTTP status, each None when the failure has none.
    Raised by every method for a Core failure, and the ``failure`` of an
    ERROR record of the bytes forms (poll_events_bytes, recv_message, the
    event hub)."""

    kind: int
    net_error: int | None
    timeout_phase: str | None
    status: int | None


class NetworkThreadError(RuntimeError):
    """A blocking wait made on its engine's own network thread (inside one
    of the engine's callbacks), refused before anything waits."""


# The enumerated options; any other text raises RuntimeError.
_HttpVersion: TypeAlias = Literal["auto", "native", "h1", "v1", "http/1.1", "h2", "v2", "http/2", "h3", "v3", "http/3"]
_RedirectMode: TypeAlias = Literal["follow", "manual", "error"]
_CacheMode: TypeAlias = Literal["default", "validate", "bypass", "no_store", "force", "only_if_cached"]
_Priority: TypeAlias = Literal["default", "highest", "medium", "low", "lowest", "idle"]

# Bytes, bytearray or any sequence of ints 0..255.
_ByteSequence: TypeAlias = Sequence[int]
# Also any object with the buffer protocol (memoryview, array, mmap), read
# without a copy on the Python side.
_ByteInput: TypeAlias = Buffer | Sequence[int]
# Header pairs in order, duplicates kept; a mapping is refused.
_HeaderPairs: TypeAlias = Sequence[tuple[str, str]]
# Seconds: anything float() or the index protocol accepts; None is no limit.
_Seconds: TypeAlias = SupportsFloat | SupportsIndex | None


# The parameters of a permessage-deflate offer: client_no_context_takeover,
# server_no_context_takeover (bool), client_max_window_bits,
# server_max_window_bits (int, 8..15).
_DeflateOffer: TypeAlias = dict[str, bool | int]

# (status, raw block, first text, second text) of one redirect hop.
_Redirect: TypeAlias = tuple[int, list[int], str, str]
# (kind, number, first bytes, second bytes, text); kind is "redirect",
# "response", "body", "done" or "error".
_RequestEvent: TypeAlias = tuple[str, int, list[int], list[int], str | None]
# (kind, payload, close code, text); kind is "open", "text", "binary",
# "closing", "closed" or "error".
_WebSocketEvent: TypeAlias = tuple[str, list[int], int | None, str | None]

@final
class RequestEvent(tuple[int, int | None, bytes | None, str | None, str | None, bytes | None, CoreFailure | None]):
    """One event of a polled request (poll_events_bytes, the event hub);
    ``kind`` says which fields are set, the others are None."""

    REDIRECT: ClassVar[int]   # status, head (the raw block), location, method
    RESPONSE: ClassVar[int]   # status, head
    BODY: ClassVar[int]       # data (poll_events_bytes)
    READABLE: ClassVar[int]   # the hub: a take_available that found nothing may take again
    ENDED: ClassVar[int]      # the hub: the request ended; the rest is taken with take_available
    DONE: ClassVar[int]       # poll_events_bytes: the body ended
    ERROR: ClassVar[int]      # failure
    @property
    def kind(self) -> int: ...
    @property
    def status(self) -> int | None: ...
    @property
    def head(self) -> bytes | None: ...
    @property
    def location(self) -> str | None: ...
    @property
    def method(self) -> str | None: ...
    @property
    def data(self) -> bytes | None: ...
    @property
    def failure(self) -> CoreFailure | None: ...

@final
class PendingMessage:
    """A message of 4 KiB or more as the event hub hands it out: its str or
    bytes is made when ``take()`` is first called (the hub takes a window
    of messages at once; made together, their memory would be given back to
    the system and faulted in again for each window)."""

    def take(self) -> str | bytes:
        """str for text (invalid UTF-8 replaced by U+FFFD), bytes for
        binary; the same object on every call."""
    @property
    def pending_bytes(self) -> int:
        """Bytes held until the first take() (0 after it)."""

class WebSocketEvent(tuple[int, str | bytes | PendingMessage | None, int | None, str | None, CoreFailure | None]):
    """One event of a WebSocket (recv_message, poll_events_bytes, the event
    hub); ``kind`` says which fields are set, the others are None."""

    OPEN: ClassVar[int]       # payload: the subprotocol as bytes (b"" for none)
    TEXT: ClassVar[int]       # payload: str (from the hub, 4 KiB and more: a PendingMessage)
    BINARY: ClassVar[int]     # payload: bytes (from the hub, 4 KiB and more: a PendingMessage)
    CLOSING: ClassVar[int]
    CLOSED: ClassVar[int]     # code, reason
    ERROR: ClassVar[int]      # failure
    @property
    def kind(self) -> int: ...
    @property
    def payload(self) -> str | bytes | PendingMessage | None: ...
    @property
    def code(self) -> int | None: ...
    @property
    def reason(self) -> str | None: ...
    @property
    def failure(self) -> CoreFailure | None: ...

class _Loop(Protocol):
    """What the async methods use of an event loop."""

    def call_soon_threadsafe(self, callback: Callable[[], object], /) -> object: ...

@final
class PyEngine:
    """One Core engine: browser profile, proxy, TLS, cache; requests and
    WebSockets are made from it."""

    def __init__(
        self,
        impersonate: str | None = None,
        proxy: str | None = None,
        verify: bool = True,
        ca_pem: _ByteSequence | None = None,
        user_agent: str | None = None,
        accept_language: str | None = None,
        proxy_username: str | None = None,
        proxy_password: str | None = None,
        http_version: _HttpVersion | None = None,
        cache: bool = True,
        profile_namespace: str | None = None,
        # Named options beyond the record ("max_connections", "resolve", ...),
        # with the hy_engine_create_with_options extension only.
        options: Sequence[tuple[str, str]] | None = None,
        *,
        client_cert: _ByteSequence | None = None,
        client_key: _ByteSequence | None = None,
        key_password: _ByteSequence | None = None,
    ) -> None: ...
    @staticmethod
    def abi_version() -> int: ...
    def cookies(self, command: str | None = "") -> str:
        """Applies `command` (a cookies.txt line, or "ALL") to the engine's
        jar, then lists it as cookies.txt lines (hy_engine_cookies)."""
    @staticmethod
    def core_version() -> str | None: ...
    def loop_attach(self) -> int:
        """Attaches the engine's network loop to this thread (an event
        loop's) and returns the descriptor to watch for reading; -1 when the
        Core cannot (hy_engine_loop_attach)."""
    def loop_drive(self, hub: PyEventHub) -> float | None:
        """One nonblocking round of the engine's loop on this thread; poll
        `hub` right after.  Seconds until the next round is due, None when
        not attached to this thread."""
    def loop_detach(self) -> bool:
        """Ends one loop_attach; False if not attached."""
    def request(
        self,
        method: str,
        url: str,
        headers: _HeaderPairs | None = None,
        body: _ByteInput | None = None,
        timeout: _Seconds = None,
        allow_redirects: bool = True,
        redirect: _RedirectMode | None = None,
        cache: _CacheMode | None = None,
        priority: _Priority | None = None,
        chunked: bool = False,
    ) -> PyRequest: ...
    def websocket(
        self,
        url: str,
        origin: str = "",
        headers: _HeaderPairs | None = None,
        timeout: _Seconds = None,
        protocols: Sequence[str] | None = None,
        deflate: bool | _DeflateOffer = True,
    ) -> PyWebSocket:
        """A WebSocket connection, not yet started.  `deflate`: True offers
        permessage-deflate as browsers do, False offers nothing, a dict
        chooses the offer's parameters."""

@final
class PyRequest:
    """One HTTP exchange, created idle by PyEngine.request."""

    def cancel(self) -> None: ...
    def detach_callback(self) -> None: ...
    def is_finished(self) -> bool: ...
    def upload_write(self, data: _ByteInput, final_chunk: bool) -> None: ...
    def upload_finish(self) -> None: ...
    def upload_offer(self, data: _ByteInput, final_chunk: bool) -> bool:
        """Queues one piece without waiting for room; True when the queue is
        over its limit now (hy_request_upload_push)."""
    def upload_held(self) -> bool:
        """True while the upload queue is over its limit."""
    def resume_read(self) -> None: ...
    def follow_redirect(self) -> None: ...
    def take_redirects(self) -> list[_Redirect]: ...
    def take_redirects_bytes(self) -> list[tuple[int, bytes, str, str]]:
        """As take_redirects, raw blocks as bytes (the same queue: each record
        is handed out once, by either)."""
    def record_sent_heads(self) -> None:
        """Asks the Core to keep each request head it sends (every hop, a
        proxy CONNECT included, 256 KiB in all); only before start()."""
    def set_upload_length(self, length: int) -> None:
        """A streamed body's Content-Length (an extension of the Core)."""
    def set_max_redirects(self, limit: int) -> None:
        """The request's redirect limit (an extension of the Core)."""
    def from_cache(self) -> bool:
        """Whether the cache gave the response (an extension of the Core)."""
    def set_timeouts(self, connect: float | None = None, read: float | None = None, write: float | None = None,
                     pool: float | None = None) -> None:
        """Limits in seconds on the request's phases, kept by the Core (an
        extension of the Core); only before start()."""
    def sent_heads_bytes(self) -> bytes:
        """The request heads sent so far, as they went on the wire, each
        ending with its blank line; b'' when none were recorded."""
    def wait_redirect(self, timeout: _Seconds = None) -> _Redirect | None: ...
    def wait_manual(self, timeout: _Seconds = None) -> tuple[_Redirect | None, tuple[int, list[int]] | None]:
        """Blocks until the Core reports a deferred redirect or the response
        headers arrive, whichever happens first."""
    # Every blocking wait runs in slices that let KeyboardInterrupt through
    # (the request is then cancelled) and raises TimeoutError once `timeout`
    # seconds pass (the request goes on; None: no limit).
    def start_stream(self, timeout: _Seconds = None) -> PyResponse: ...
    def start(self) -> None: ...
    def start_for_wait(self) -> None:
        """Like start, for a caller whose next call on this thread waits on
        the request: with a Core whose waiting threads run the transfers,
        that wait sends it (nothing is handed to the network thread)."""
    def await_response(self, timeout: _Seconds = None) -> PyResponse:
        """The response head; RuntimeError when the answer is a redirect held
        for follow_redirect (allow_redirects=False: use wait_manual)."""
    def next_body(self, timeout: _Seconds = None) -> list[int] | None: ...
    def read_body(self, timeout: _Seconds = None) -> list[int]: ...
    def start_async(self, loop_: _Loop, notify: Callable[[], object]) -> None: ...
    def attach_async(self, loop_: _Loop, notify: Callable[[], object]) -> None: ...
    def poll_event(self) -> _RequestEvent | None: ...
    def poll_events(self, limit: SupportsIndex = 64) -> list[_RequestEvent]: ...
    def poll_events_bytes(self, limit: SupportsIndex = 64) -> list[RequestEvent]: ...
    # The waits below run in slices that let KeyboardInterrupt through, and
    # raise TimeoutError once `timeout` seconds pass.
    def wait_response(self, timeout: _Seconds = None) -> PyResponse: ...
    def wait_manual_bytes(
        self, timeout: float | None = None
    ) -> tuple[tuple[int, bytes, str, str] | None, tuple[int, bytes] | None]:
        """((status, raw, location, method), None) for a deferred redirect or
        (None, (status, head)) for the head; RuntimeError with the whole
        failure text once the request failed; (None, None) only when the head
        already went to another wait."""
    def read_chunk(self, timeout: _Seconds = None) -> bytes:
        """The next body chunk; b"" at the end of the body."""
    def read_all(self, timeout: _Seconds = None) -> bytes: ...
    def readinto(self, buffer: Buffer, timeout: _Seconds = None) -> int:
        """Fills a writable buffer with body bytes; 0 at the end of the body."""
    def read_some(self, size: SupportsIndex, timeout: _Seconds = None) -> bytes:
        """What has arrived of the body, 1 to ``size`` bytes; waits only
        while nothing has; b"" at the end."""
    def read_exact(self, size: SupportsIndex, timeout: _Seconds = None) -> bytes:
        """The next ``size`` body bytes, fewer only at the end; b'' at the end."""
    def take_available(self, max: SupportsIndex = 1048576) -> bytes | None:
        """Never waits: what has arrived (queued pieces joined, up to ``max`` bytes), b"" at the end,
        None when nothing is there yet (on a hub, the next bytes or the end
        then bring one READABLE event); raises the request's failure after
        the bytes before it."""
    def start_hub(self, hub: PyEventHub, tag: object) -> None:
        """Starts the request; its events come from hub.poll() as (tag,
        RequestEvent), its body from take_available."""

@final
class PyResponse:
    """The status and head block of a response; the body is read from its
    request."""

    @property
    def status_code(self) -> int: ...
    @property
    def content(self) -> bytes: ...
    @property
    def headers(self) -> bytes: ...

@final
class PyWebSocket:
    """One WebSocket connection, created idle by PyEngine.websocket."""

    def connect(self) -> None: ...
    def send_text(self, text: str) -> None: ...
    def send_bytes(self, data: _ByteInput) -> None: ...
    def recv(self, timeout: _Seconds = None) -> _WebSocketEvent | None:
        """The next event, in slices that let KeyboardInterrupt through (the
        connection stays open); TimeoutError once `timeout` seconds pass."""
    def close(self, code: SupportsIndex, reason: str) -> None: ...
    def cancel(self) -> None: ...
    def detach_callback(self) -> None: ...
    def is_finished(self) -> bool: ...
    def start_async(self, loop_: _Loop, notify: Callable[[], object]) -> None: ...
    def poll_event(self) -> _WebSocketEvent | None: ...
    def poll_events(self, limit: SupportsIndex = 64) -> list[_WebSocketEvent]: ...
    def poll_events_bytes(self, limit: SupportsIndex = 64) -> list[WebSocketEvent]: ...
    def recv_message(self, timeout: _Seconds = None) -> WebSocketEvent | None:
        """As recv(), interruptible; raises TimeoutError once `timeout` seconds pass."""
    def start_hub(self, hub: PyEventHub, tag: object) -> None:
        """Connects; the events come from hub.poll() as (tag, event)."""
    def set_timeouts(self, connect: float | None = None, handshake: float | None = None) -> None:
        """Limits in seconds on connecting and on the server's answer to the
        upgrade, kept by the Core (an extension of the Core); only before
        connect()."""

@final
class PyEventHub:
    """Delivers the events of many requests and WebSockets to one asyncio
    loop, scheduling `notify` on it at most once per poll cycle."""

    def __init__(self, loop: _Loop, notify: Callable[[], object]) -> None: ...
    def poll(self, limit: SupportsIndex = 256) -> list[tuple[object, RequestEvent | WebSocketEvent]]:
        """(tag, event) pairs of the attached objects, the object ready first
        first; an object whose terminal event is returned is detached.  A
        request's body is not among them (READABLE says when to take it)."""
    def detach(self, tag_owner: PyRequest | PyWebSocket) -> bool: ...
    def close(self) -> None: ...
    def pending_count(self) -> int: ...
    def is_closed(self) -> bool: ...
