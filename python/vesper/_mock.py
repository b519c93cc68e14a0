"""MockTransport: clients whose requests are answered by a function, with
no socket and no engine, for testing code that uses vesper.

The package's own logic runs as over the network: retries, hooks, cookies
(kept per client in a standard-library jar), redirects with the browser
rules and the client's limits, ``raise_for_status`` and streamed bodies."""

from __future__ import annotations

import datetime
import email.message
import http.cookiejar
import inspect
import json as jsonlib
import time
import urllib.parse
import urllib.request
from typing import (TYPE_CHECKING, Any, AsyncIterable, AsyncIterator, Awaitable, Callable, Iterable, Iterator,
                    List, Optional, Tuple, Union)

from ._exceptions import Error, TooManyRedirects
from ._headers import Headers, HeaderTypes
from ._models import Request, Response, aread_to_end, read_to_end

if TYPE_CHECKING:
    from ._base import BaseClient, Prepared

__all__ = ["MockTransport", "Handler", "fill_response", "send_mock", "asend_mock"]

Handler = Callable[[Request], Union[Response, Awaitable[Response]]]
REDIRECT_STATUSES = (301, 302, 303, 307, 308)
# Headers that describe the body: dropped when a redirect turns the request into a GET.
_BODY_HEADERS = ("content-type", "content-length", "content-encoding", "content-language", "content-location",
                 "transfer-encoding")


class MockTransport:
    """Answers a client's requests with ``handler(request)`` instead of the
    network: ``vesper.Client(transport=vesper.MockTransport(handler))``.

    The handler gets a ``vesper.Request`` (``method``, ``url``,
    ``headers``, ``content``: the body bytes, a streamed body read whole)
    and returns a ``vesper.Response``::

        def handler(request):
            if request.url.endswith("/login"):
                return vesper.Response(302, headers={"Location": "/home", "Set-Cookie": "s=1"})
            return vesper.Response(200, json={"cookie": request.headers.get("cookie")})

        with vesper.Client(transport=vesper.MockTransport(handler)) as client:
            assert client.get("https://app.test/login").json() == {"cookie": "s=1"}

    With an ``AsyncClient`` the handler may also be a coroutine function.
    Raising ``vesper.ConnectError`` (or any ``vesper.Error``) plays a
    network failure.  Everything above the network behaves as it does over
    it: redirects (browser rules, ``follow_redirects``, ``max_redirects``,
    ``history``), cookies set by answers and sent back by domain and path,
    retries, event hooks, ``raise_for_status()``, and streaming
    (``content=`` may be an iterator of bytes, async for an AsyncClient,
    read as the caller streams).  WebSockets and ``walk_redirects`` need a
    network client.
    """

    def __init__(self, handler: Handler) -> None:
        if not callable(handler):
            raise TypeError("MockTransport needs a callable handler(request) -> vesper.Response")
        self.handler = handler

    def handle_request(self, request: Request) -> Response:
        """The handler's answer for a blocking client."""
        result = self.handler(request)
        if inspect.isawaitable(result):
            if inspect.iscoroutine(result):
                result.close()
            raise TypeError("an async MockTransport handler needs AsyncClient")
        return _checked(result)

    async def handle_async_request(self, request: Request) -> Response:
        """The handler's answer for an AsyncClient (the handler may be async)."""
        result = self.handler(request)
        if inspect.isawaitable(result):
            result = await result
        return _checked(result)

    def __repr__(self) -> str:
        return f"MockTransport({self.handler!r})"


def _checked(result: Any) -> Response:
    if not isinstance(result, Response):
        raise TypeError(f"a MockTransport handler must return a vesper.Response, not {type(result).__name__}")
    return result


# --- responses built by hand ----------------------------------------------

class _IterBody:
    """A blocking body read from an iterator of bytes."""

    def __init__(self, chunks: Iterable[bytes]) -> None:
        self._chunks: Optional[Iterator[bytes]] = iter(chunks)

    def read_chunk(self) -> bytes:
        while self._chunks is not None:
            try:
                chunk = next(self._chunks)
            except StopIteration:
                self._chunks = None
                break
            if chunk:
                return _as_bytes(chunk)
        return b""

    def read_exact(self, size: int) -> bytes:
        gathered = bytearray()
        while len(gathered) < size and (chunk := self.read_chunk()):
            gathered += chunk
        if len(gathered) > size:
            self._chunks = _prepend(bytes(gathered[size:]), self._chunks)
            del gathered[size:]
        return bytes(gathered)

    def read_some(self, size: int) -> bytes:
        chunk = self.read_chunk()
        if len(chunk) > size:
            self._chunks = _prepend(chunk[size:], self._chunks)
            chunk = chunk[:size]
        return chunk

    def readinto(self, buffer: Any) -> int:
        chunk = self.read_chunk()
        # A chunk larger than the buffer is cut; the rest is read next time.
        view = memoryview(buffer)
        if len(chunk) > len(view):
            rest = chunk[len(view):]
            chunk = chunk[:len(view)]
            remaining = self._chunks
            self._chunks = _prepend(rest, remaining)
        view[:len(chunk)] = chunk
        return len(chunk)

    def read_all(self) -> bytes:
        return read_to_end(self.read_chunk)

    def close(self) -> None:
        chunks, self._chunks = self._chunks, None
        close = getattr(chunks, "close", None)
        if close is not None:
            close()

    abort = close


def _prepend(first: bytes, rest: Optional[Iterator[bytes]]) -> Iterator[bytes]:
    yield first
    if rest is not None:
        yield from rest


class _AsyncIterBody:
    """An asyncio body read from an async iterator of bytes (or from a blocking body)."""

    def __init__(self, chunks: Union[AsyncIterable[bytes], _IterBody]) -> None:
        self._sync = chunks if isinstance(chunks, _IterBody) else None
        self._chunks: Optional[AsyncIterator[bytes]] = (
            None if isinstance(chunks, _IterBody) else chunks.__aiter__())

    async def read_chunk(self) -> bytes:
        if self._sync is not None:
            return self._sync.read_chunk()
        while self._chunks is not None:
            try:
                chunk = await self._chunks.__anext__()
            except StopAsyncIteration:
                self._chunks = None
                break
            if chunk:
                return _as_bytes(chunk)
        return b""

    async def read_all(self) -> bytes:
        return await aread_to_end(self.read_chunk)

    async def close(self) -> None:
        self.abort()

    def abort(self) -> None:
        if self._sync is not None:
            self._sync.close()
        self._chunks = None


def _as_bytes(chunk: Any) -> bytes:
    if isinstance(chunk, str):
        return chunk.encode("utf-8")
    if isinstance(chunk, (bytes, bytearray, memoryview)):
        return bytes(chunk)
    raise TypeError(f"a streamed Response content must yield bytes, not {type(chunk).__name__}")


def fill_response(response: Response, headers: HeaderTypes, content: Any, text: Optional[str],
                  json: Any) -> None:
    """Sets up a Response built by hand: its head from ``headers`` and its
    body from one of ``content`` (bytes, str, or an iterator of bytes,
    streamed), ``text`` or ``json``."""
    given = [name for name, value in (("content", content), ("text", text), ("json", json)) if value is not None]
    if len(given) > 1:
        raise TypeError(f"a Response takes one of content=, text= and json=, not {' and '.join(given)}")
    if response.raw_head and headers is not None:
        raise TypeError("a Response takes a raw head or headers=, not both")
    merged = Headers(headers)
    body: Optional[bytes] = None
    response._content = None
    if json is not None:
        body = jsonlib.dumps(json, ensure_ascii=False, separators=(",", ":"), allow_nan=False).encode("utf-8")
        _default(merged, "Content-Type", "application/json")
    elif text is not None:
        body = text.encode("utf-8")
        _default(merged, "Content-Type", "text/plain; charset=utf-8")
    elif isinstance(content, str):
        body = content.encode("utf-8")
    elif isinstance(content, (bytes, bytearray, memoryview)):
        body = bytes(content)
    elif content is None:
        body = b""
    else:
        if hasattr(content, "__aiter__"):
            response._attach_async(_AsyncIterBody(content))
        elif hasattr(content, "__iter__"):
            response._attach_sync(_IterBody(content))
        else:
            raise TypeError(f"Response content must be bytes, str or an iterator of bytes, not "
                            f"{type(content).__name__}")
    if body is not None:
        response._content = body
        response._closed = True
        if "content-length" not in merged and "transfer-encoding" not in merged:
            merged["Content-Length"] = str(len(body))
    if not response.raw_head:
        reason = _reason(response.status_code)
        lines = "".join(f"{name}: {value}\r\n" for name, value in merged.multi_items())
        response.raw_head = f"HTTP/1.1 {response.status_code} {reason}\r\n{lines}\r\n".encode("utf-8")
        response._parsed = ("HTTP/1.1", reason, merged)


def _reason(status: int) -> str:
    from ._models import _REASONS
    return _REASONS.get(status, "")


def _default(headers: Headers, name: str, value: str) -> None:
    if name not in headers:
        headers[name] = value


# --- the exchange -----------------------------------------------------------

class _Exchange:
    """One request through a MockTransport: cookies from the client's jar on
    the way out and into it on the way back, redirects followed by the
    client's rules, history built as the network path builds it."""

    def __init__(self, client: "BaseClient", prepared: "Prepared", content: bytes) -> None:
        self._jar: http.cookiejar.CookieJar = client._mock_jar
        self._prepared = prepared
        self._started = time.monotonic()
        self.history: List[Response] = []
        self.request = self._with_cookies(prepared.request.method, prepared.request.url,
                                          prepared.request.headers, content)

    def _with_cookies(self, method: str, url: str, headers: Headers, content: bytes) -> Request:
        headers = Headers(headers.multi_items())
        probe = urllib.request.Request(url, method=method)
        self._jar.add_cookie_header(probe)
        from_jar = probe.get_header("Cookie")
        if from_jar:
            own = headers.get("cookie")
            headers["Cookie"] = f"{own}; {from_jar}" if own else from_jar
        return Request(method, url, headers, content=content)

    def answered(self, response: Response) -> Optional[Request]:
        """Takes the handler's answer: the next request when it is a
        redirect to follow, else None."""
        sent = self.request
        response.request = sent
        response.url = sent.url
        self._store_cookies(sent, response)
        if response.status_code not in REDIRECT_STATUSES or "location" not in response.headers:
            return None
        location = urllib.parse.urljoin(sent.url, response.headers["location"])
        method = sent.method
        if (response.status_code == 303 and method != "HEAD") or (
                response.status_code in (301, 302) and method == "POST"):
            method = "GET"
        prepared = self._prepared
        if not prepared.follow:
            response.next_request = Request(method, location, prepared.request.headers)
            return None
        if len(self.history) + 1 > prepared.max_redirects:
            response.close()
            raise TooManyRedirects(f"more than {prepared.max_redirects} redirects ({prepared.request.method} "
                                   f"{prepared.request.url})", kind="Redirect", net_error=-310,
                                   request=prepared.request)
        response.close()
        if response._content is None:
            response._content = b""
        self.history.append(response)
        headers = Headers(prepared.request.headers.multi_items())
        content = sent.content
        if method != sent.method:
            for name in _BODY_HEADERS:
                if name in headers:
                    del headers[name]
            content = b""
        if _origin(location) != _origin(sent.url) and "authorization" in headers:
            del headers["authorization"]
        self.request = self._with_cookies(method, location, headers, content)
        return self.request

    def _store_cookies(self, sent: Request, response: Response) -> None:
        values = response.headers.get_list("set-cookie")
        if not values:
            return
        message = email.message.Message()
        for value in values:
            message["Set-Cookie"] = value
        source: Any = _CookieSource(message)
        self._jar.extract_cookies(source, urllib.request.Request(sent.url, method=sent.method))

    def finish(self, response: Response) -> Response:
        """The answer returned, with its history and timing."""
        for index, hop in enumerate(self.history):
            hop.history = self.history[:index]
        response.history = list(self.history)
        response.elapsed = datetime.timedelta(seconds=time.monotonic() - self._started)
        return response


class _CookieSource:
    """What http.cookiejar reads Set-Cookie headers from."""

    def __init__(self, message: email.message.Message) -> None:
        self._message = message

    def info(self) -> email.message.Message:
        return self._message


def _origin(url: str) -> Tuple[str, str, Optional[int]]:
    parts = urllib.parse.urlsplit(url)
    return parts.scheme.lower(), (parts.hostname or "").lower(), parts.port


def _body_bytes(prepared: "Prepared") -> bytes:
    body = prepared.body
    if body is None:
        return b""
    if isinstance(body, bytes):
        return body
    if hasattr(body, "__aiter__"):
        raise TypeError("an async iterable body needs AsyncClient")
    return b"".join(_as_bytes(piece) for piece in body)


async def _abody_bytes(prepared: "Prepared") -> bytes:
    body: Any = prepared.body
    if hasattr(body, "__aiter__"):
        return b"".join([_as_bytes(piece) async for piece in body])
    return _body_bytes(prepared)


def send_mock(client: "BaseClient", transport: MockTransport, prepared: "Prepared") -> Response:
    """One attempt of a blocking request through ``transport``: the final
    answer, body not yet read."""
    if client.is_closed:
        raise RuntimeError("the client is closed")
    exchange = _Exchange(client, prepared, _body_bytes(prepared))
    while True:
        response = _guarded(transport.handle_request, exchange.request)
        if response._async is not None and response._sync is None:
            raise TypeError("a Response with an async iterator as content needs AsyncClient")
        if exchange.answered(response) is None:
            if response._sync is not None:
                client._track(response._sync)
            return exchange.finish(response)


async def asend_mock(client: "BaseClient", transport: MockTransport, prepared: "Prepared") -> Response:
    """As ``send_mock`` for an AsyncClient."""
    if client.is_closed:
        raise RuntimeError("the client is closed")
    exchange = _Exchange(client, prepared, await _abody_bytes(prepared))
    while True:
        try:
            response = await transport.handle_async_request(exchange.request)
        except Error as exc:
            _with_request(exc, exchange.request)
            raise
        if response._sync is not None and response._async is None:
            response._attach_async(_AsyncIterBody(response._sync))  # type: ignore[arg-type]
        if exchange.answered(response) is None:
            if response._async is not None:
                client._track(response._async)
            return exchange.finish(response)


def _guarded(call: Callable[[Request], Response], request: Request) -> Response:
    try:
        return call(request)
    except Error as exc:
        _with_request(exc, request)
        raise


def _with_request(exc: Error, request: Request) -> None:
    """A failure the handler raised names the request, as the network's do."""
    if exc.request is None:
        exc.request = request
