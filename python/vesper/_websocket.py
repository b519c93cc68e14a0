"""WebSocket (blocking) and AsyncWebSocket (asyncio) over the native connection."""

from __future__ import annotations

import asyncio
import urllib.parse
from typing import (TYPE_CHECKING, Any, AsyncIterator, Awaitable, Coroutine, Generator, Iterator, Mapping, Optional,
                    Sequence, Tuple, Union)

from . import _native
from ._config import UNSET, Timeout, TimeoutTypes, to_timeout
from ._content import merge_url
from ._exceptions import (Error, UnsupportedProtocol, WebSocketClosed, WebSocketError, failure_kind, from_native,
                          websocket_failure)
from ._headers import Headers, HeaderTypes
from ._models import Request
from ._native import PendingMessage, WebSocketEvent
from ._request_checks import check_headers, check_origin, check_subprotocols
from ._url import URL

if TYPE_CHECKING:
    from ._base import BaseClient
    from ._hub import Channel, LoopHub

__all__ = ["WebSocket", "AsyncWebSocket", "AsyncWebSocketConnect", "connect_websocket", "connect_async_websocket"]

Message = Union[str, bytes]
# The permessage-deflate offer: True (the browser's), False (none), or its
# parameters: client_no_context_takeover, server_no_context_takeover (bool),
# client_max_window_bits, server_max_window_bits (8..15).
DeflateOffer = Union[bool, Mapping[str, Union[bool, int]]]
# How long close() waits for the peer's close frame (the Core gives up after 10 s).
_CLOSE_WAIT = 11.0
# Close codes that end iteration quietly: normal, going away, no status.
_QUIET = frozenset((1000, 1001, 1005))
# Whether the Core keeps the connect and handshake limits itself; without
# it the package bounds its own wait for the handshake (Timeout.head) and
# cancels.
CORE_KEEPS_WEBSOCKET_PHASES = _native.core_has("hy_websocket_set_timeouts")
_OPEN = WebSocketEvent.OPEN
_TEXT = WebSocketEvent.TEXT
_BINARY = WebSocketEvent.BINARY
_CLOSED = WebSocketEvent.CLOSED
_ERROR = WebSocketEvent.ERROR


def _open_native(client: "BaseClient", url: str, subprotocols: Optional[Sequence[str]], headers: HeaderTypes,
                 origin: Optional[str], timeout: TimeoutTypes,
                 deflate: "DeflateOffer" = True, proxy: Optional[str] = None) -> Tuple[Any, Request, Timeout, Any]:
    full = merge_url(url)
    if urllib.parse.urlsplit(full).scheme.lower() not in ("ws", "wss"):
        raise UnsupportedProtocol(f"WebSocket URLs start with ws:// or wss://, not {full!r}")
    limits = to_timeout(timeout, client.timeout)
    merged = Headers(headers)
    check_headers(merged.multi_items())
    if subprotocols:
        check_subprotocols(subprotocols)
    if origin:
        check_origin(origin)
    request = Request("GET", full, merged)
    engine = client._engine(client._settings_for(full, proxy))
    kwargs: dict[str, Any] = {"headers": merged.multi_items()}
    if origin:
        kwargs["origin"] = origin
    if subprotocols:
        kwargs["protocols"] = list(subprotocols)
    if limits.total is not None:
        kwargs["timeout"] = limits.total
    if deflate is not True:
        kwargs["deflate"] = deflate if isinstance(deflate, bool) else dict(deflate)
    try:
        socket = engine.websocket(full, **kwargs)
        if CORE_KEEPS_WEBSOCKET_PHASES:
            # connect: until the connection stands; read: the server's
            # answer to the upgrade.  Nothing limits the open connection:
            # a quiet socket stays open (recv(timeout=...) bounds a wait).
            socket.set_timeouts(limits.connect, limits.read)
    except RuntimeError as exc:
        raise from_native(exc, request) from None
    return socket, request, limits, engine


def _handshake_wait(limits: Timeout) -> Optional[float]:
    """The limit of the package's own wait for the open: none when the Core
    keeps the phases (it fails the connection with the phase's own
    failure), else read (or connect), after which the package cancels."""
    return None if CORE_KEEPS_WEBSOCKET_PHASES else limits.head


class _State:
    """What both wrappers know of a connection."""

    def __init__(self, request: Request) -> None:
        self.request = request
        self.subprotocol: Optional[str] = None
        self.close_code: Optional[int] = None
        self.close_reason: Optional[str] = None
        self.failure: Optional[Error] = None
        self.opened = False

    def take(self, event: Optional[WebSocketEvent]) -> Optional[Message]:
        """The message of an event; raises for the end of the connection;
        None for events that carry no message (OPEN, CLOSING)."""
        if event is None:
            raise self.ended()
        kind = event.kind
        if kind == _TEXT or kind == _BINARY:
            payload = event.payload
            if isinstance(payload, PendingMessage):
                # The hub hands large messages over unmade: each is made
                # when it is asked for.
                return payload.take()
            assert payload is not None
            return payload
        if kind == _OPEN:
            self.opened = True
            name = event.payload
            self.subprotocol = name.decode("utf-8", "replace") if isinstance(name, bytes) and name else None
            return None
        if kind == _CLOSED:
            self.close_code = event.code if event.code is not None else 1005
            self.close_reason = event.reason or ""
            raise self.ended()
        if kind == _ERROR:
            assert event.failure is not None
            self.failure = websocket_failure(event.failure, self.request, self.opened)
            raise self.failure
        return None

    def ended(self) -> Error:
        if self.failure is not None:
            return self.failure
        return WebSocketClosed(self.close_code if self.close_code is not None else 1006, self.close_reason or "")

    def send_failure(self, exc: RuntimeError) -> Error:
        if self.close_code is not None or self.failure is not None or failure_kind(exc) == "InvalidState":
            return self.ended() if (self.close_code is not None or self.failure is not None) else \
                WebSocketError("the connection is not open for sending (closing or closed)", kind="InvalidState",
                               request=self.request)
        return from_native(exc, self.request)


def _send(native_socket: Any, state: _State, message: Union[str, bytes, bytearray, memoryview]) -> None:
    try:
        if isinstance(message, str):
            native_socket.send_text(message)
        elif isinstance(message, (bytes, bytearray, memoryview)):
            native_socket.send_bytes(message)
        else:
            raise TypeError(f"a message is str or bytes-like, not {type(message).__name__}")
    except RuntimeError as exc:
        raise state.send_failure(exc) from None


def _text(text: str) -> str:
    if not isinstance(text, str):
        raise TypeError("send_text takes str")
    return text


def _binary(data: Union[bytes, bytearray, memoryview]) -> Union[bytes, bytearray, memoryview]:
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError("send_bytes takes a bytes-like object")
    return data


def _begin_close(native_socket: Any, state: _State, code: int, reason: str) -> bool:
    """Sends the closing frame; False when there is no answer to wait for
    (already ended, or the Core refused and the connection was dropped)."""
    if state.close_code is not None or state.failure is not None:
        return False
    try:
        native_socket.close(code, reason)
    except RuntimeError:
        native_socket.cancel()
        return False
    return True


class WebSocket:
    """A connected WebSocket (blocking).

    ``recv()`` returns ``str`` for text and ``bytes`` for binary messages;
    iterating yields messages until the peer closes normally.  The end of
    the connection is raised as ``WebSocketClosed`` (with ``code`` and
    ``reason``) and failures as ``WebSocketError``.
    """

    def __init__(self, native_socket: Any, request: Request, timeout: Timeout) -> None:
        self._native = native_socket
        self._state = _State(request)
        self._timeout = timeout

    @property
    def subprotocol(self) -> Optional[str]:
        """The subprotocol the server selected, or None."""
        return self._state.subprotocol

    @property
    def close_code(self) -> Optional[int]:
        """The close code once the connection closed, else None."""
        return self._state.close_code

    @property
    def close_reason(self) -> Optional[str]:
        """The close reason once the connection closed, else None."""
        return self._state.close_reason

    @property
    def url(self) -> URL:
        """The URL connected to."""
        return self._state.request.url

    def _connect(self) -> None:
        try:
            self._native.connect()
        except RuntimeError as exc:
            raise from_native(exc, self._state.request) from None
        self._wait_open(_handshake_wait(self._timeout))

    def _wait_open(self, timeout: Optional[float]) -> None:
        while not self._state.opened:
            try:
                event = _native.ws_recv(self._native, timeout)
            except TimeoutError:
                self._native.cancel()
                raise from_native(TimeoutError("timed out waiting for the WebSocket handshake"),
                                  self._state.request) from None
            self._state.take(event)

    def recv(self, timeout: Optional[float] = None) -> Message:
        """The next message; waits at most ``timeout`` seconds (None: no limit)
        and raises ``vesper.ReadTimeout`` when none came."""
        while True:
            try:
                event = _native.ws_recv(self._native, timeout)
            except TimeoutError:
                raise from_native(TimeoutError("timed out waiting for a WebSocket message"),
                                  self._state.request) from None
            message = self._state.take(event)
            if message is not None:
                return message

    def send(self, message: Message) -> None:
        """Sends a text (str) or binary (bytes-like) message."""
        _send(self._native, self._state, message)

    def send_text(self, text: str) -> None:
        """Sends a text message."""
        _send(self._native, self._state, _text(text))

    def send_bytes(self, data: Union[bytes, bytearray, memoryview]) -> None:
        """Sends a binary message."""
        _send(self._native, self._state, _binary(data))

    def close(self, code: int = 1000, reason: str = "") -> None:
        """Closes with ``code`` and ``reason`` and waits (up to 11 s) for the
        peer's answer; messages still arriving meanwhile are dropped."""
        if not _begin_close(self._native, self._state, code, reason):
            return
        try:
            while True:
                self._state.take(_native.ws_recv(self._native, _CLOSE_WAIT))
        except TimeoutError:
            self._native.cancel()
        except Error:
            pass

    def abort(self) -> None:
        """Drops the connection at once, without a closing handshake."""
        if not self._native.is_finished():
            self._native.cancel()

    def __iter__(self) -> Iterator[Message]:
        while True:
            try:
                yield self.recv()
            except WebSocketClosed as closed:
                if closed.code in _QUIET:
                    return
                raise

    def __enter__(self) -> "WebSocket":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def connect_websocket(client: "BaseClient", url: str, subprotocols: Optional[Sequence[str]], headers: HeaderTypes,
                      origin: Optional[str], timeout: TimeoutTypes = UNSET,
                      deflate: "DeflateOffer" = True, proxy: Optional[str] = None) -> WebSocket:
    """Creates, connects and waits for the handshake of a blocking WebSocket."""
    native_socket, request, limits, _ = _open_native(client, url, subprotocols, headers, origin, timeout, deflate,
                                                     proxy)
    socket = client._track(WebSocket(native_socket, request, limits))
    socket._connect()
    return socket


class AsyncWebSocket:
    """A connected WebSocket on asyncio; the twin of ``WebSocket`` with
    ``await recv()``, ``await close()`` and ``async for message in ws``.
    ``send*`` only queue the message and need no await (they are
    coroutines too, so ``await ws.send(...)`` works)."""

    def __init__(self, native_socket: Any, request: Request, timeout: Timeout, hub: "LoopHub",
                 engine: Any = None) -> None:
        self._native = native_socket
        self._engine = engine
        self._state = _State(request)
        self._timeout = timeout
        self._hub = hub
        self._channel: "Optional[Channel[WebSocketEvent]]" = None

    subprotocol = WebSocket.subprotocol
    close_code = WebSocket.close_code
    close_reason = WebSocket.close_reason
    url = WebSocket.url

    async def _connect(self) -> None:
        try:
            self._channel = self._hub.start_websocket(self._native, self._engine)
        except RuntimeError as exc:
            raise from_native(exc, self._state.request) from None
        while not self._state.opened:
            try:
                event = await self._channel.get(_handshake_wait(self._timeout))
            except TimeoutError:
                self._native.cancel()
                raise from_native(TimeoutError("timed out waiting for the WebSocket handshake"),
                                  self._state.request) from None
            self._state.take(event)

    async def recv(self, timeout: Optional[float] = None) -> Message:
        """The next message (see ``WebSocket.recv``)."""
        assert self._channel is not None
        while True:
            try:
                event = await self._channel.get(timeout)
            except TimeoutError:
                raise from_native(TimeoutError("timed out waiting for a WebSocket message"),
                                  self._state.request) from None
            message = self._state.take(event)
            if message is not None:
                return message

    async def send(self, message: Message) -> None:
        """Sends a text (str) or binary (bytes-like) message."""
        _send(self._native, self._state, message)

    async def send_text(self, text: str) -> None:
        """Sends a text message."""
        _send(self._native, self._state, _text(text))

    async def send_bytes(self, data: Union[bytes, bytearray, memoryview]) -> None:
        """Sends a binary message."""
        _send(self._native, self._state, _binary(data))

    async def close(self, code: int = 1000, reason: str = "") -> None:
        """Closes and waits (up to 11 s) for the peer's answer."""
        if self._channel is None or not _begin_close(self._native, self._state, code, reason):
            return
        try:
            while True:
                self._state.take(await self._channel.get(_CLOSE_WAIT))
        except TimeoutError:
            self._native.cancel()
        except Error:
            pass

    abort = WebSocket.abort

    def __aiter__(self) -> AsyncIterator[Message]:
        return self._messages()

    async def _messages(self) -> AsyncIterator[Message]:
        while True:
            try:
                yield await self.recv()
            except WebSocketClosed as closed:
                if closed.code in _QUIET:
                    return
                raise

    async def __aenter__(self) -> "AsyncWebSocket":
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()


async def connect_async_websocket(client: "BaseClient", url: str, subprotocols: Optional[Sequence[str]],
                                  headers: HeaderTypes, origin: Optional[str],
                                  timeout: TimeoutTypes = UNSET, deflate: "DeflateOffer" = True,
                                  proxy: Optional[str] = None) -> AsyncWebSocket:
    """Creates and connects an asyncio WebSocket on the running loop's hub."""
    from ._hub import hub_for
    native_socket, request, limits, engine = _open_native(client, url, subprotocols, headers, origin, timeout,
                                                          deflate, proxy)
    socket = client._track(AsyncWebSocket(native_socket, request, limits, hub_for(asyncio.get_running_loop()),
                                          engine))
    await socket._connect()
    return socket



class AsyncWebSocketConnect(Awaitable[AsyncWebSocket]):
    """What ``AsyncClient.websocket(...)`` returns: awaited, the connected
    ``AsyncWebSocket``; used as ``async with client.websocket(...) as ws``,
    the same, closed when the block ends (``async with await ...`` works
    too, as before)."""

    __slots__ = ("_opening", "_socket")

    def __init__(self, opening: Coroutine[Any, Any, AsyncWebSocket]) -> None:
        self._opening: Optional[Coroutine[Any, Any, AsyncWebSocket]] = opening
        self._socket: Optional[AsyncWebSocket] = None

    def __await__(self) -> Generator[Any, None, AsyncWebSocket]:
        if self._opening is None:
            raise RuntimeError("this WebSocket connection was already awaited")
        opening, self._opening = self._opening, None
        return opening.__await__()

    async def __aenter__(self) -> AsyncWebSocket:
        self._socket = await self
        return self._socket

    async def __aexit__(self, *exc: object) -> None:
        if self._socket is not None:
            await self._socket.close()

    def __del__(self) -> None:
        # Never awaited: close the coroutine quietly (no "never awaited" warning).
        if self._opening is not None:
            self._opening.close()
