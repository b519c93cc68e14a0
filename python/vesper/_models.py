"""Request and Response, and the redirect history built from the Core's records."""

from __future__ import annotations

import codecs
import datetime
import http.cookies
import json as jsonlib
import os
from typing import (IO, Any, AsyncIterator, Awaitable, Callable, Dict, Iterator, List, Optional, Protocol, Sequence,
                    Tuple, Union)

from ._exceptions import DecodingError, HTTPStatusError, StreamClosed, StreamConsumed
from ._headers import Headers, HeaderTypes, header_value_params, parse_head
from ._native import RedirectRecord
from ._url import URL
from ._sse import ServerSentEvent, aiter_events, iter_events

__all__ = ["Request", "Response", "ProgressCallback", "build_history"]

# download_to's progress callback: (bytes written so far, total or None).
ProgressCallback = Callable[[int, Optional[int]], None]
_DOWNLOAD_BUFFER = 1 << 20
# The most a reader of the body as it arrives (iter_bytes(), aiter_bytes())
# takes at once: runs of queued pieces are joined up to it.  Larger pieces
# came out slower: allocations past 256 KiB fault fresh pages in on every
# piece.
JOINED_PIECES = 256 << 10


class Request:
    """What was sent: ``method``, ``url`` (a ``URL``), ``headers`` (as given)
    and ``content``, the body when it was given whole (b"" for none or for a
    body streamed from a file or an iterator; a MockTransport handler gets
    every body whole)."""

    def __init__(self, method: str, url: Union[str, URL], headers: Optional[Headers] = None,
                 extensions: Optional[Dict[str, Any]] = None, *, content: bytes = b"") -> None:
        self.method = method
        self.url = URL(url)
        self.headers = headers if headers is not None else Headers()
        self.extensions: Dict[str, Any] = extensions or {}
        self.content = content

    def __repr__(self) -> str:
        return f"<Request [{self.method} {self.url}]>"


class SyncBody(Protocol):
    """The body source of a blocking response."""

    def read_chunk(self) -> bytes: ...
    def readinto(self, buffer: Any) -> int: ...
    def read_exact(self, size: int) -> bytes: ...
    def read_some(self, size: int) -> bytes: ...
    def read_all(self) -> bytes: ...
    def close(self) -> None: ...


class AsyncBody(Protocol):
    """The body source of an asyncio response."""

    async def read_chunk(self) -> bytes: ...
    async def read_all(self) -> bytes: ...
    async def close(self) -> None: ...


def read_to_end(read_chunk: Callable[[], bytes]) -> bytes:
    """The rest of a body, chunk by chunk up to the empty chunk that ends it."""
    parts: List[bytes] = []
    while chunk := read_chunk():
        parts.append(chunk)
    return b"".join(parts)


async def aread_to_end(read_chunk: Callable[[], Awaitable[bytes]]) -> bytes:
    """read_to_end for an asyncio body."""
    parts: List[bytes] = []
    while chunk := await read_chunk():
        parts.append(chunk)
    return b"".join(parts)


def _decode_fallback(content: bytes) -> str:
    try:
        return "utf-8" if not content else (content.decode("utf-8") and "utf-8")
    except UnicodeDecodeError:
        pass
    try:
        import charset_normalizer
        best = charset_normalizer.from_bytes(content).best()
        if best is not None:
            return str(best.encoding)
    except ImportError:  # pragma: no cover - a declared dependency
        pass
    return "latin-1"


class Response:
    """An HTTP response.

    The head is there at once; the body is read by ``content``/``text``/
    ``json()``/``read()`` or streamed with ``iter_bytes()`` and friends
    (``aiter_*`` and ``aread()`` on an AsyncClient), or written to a file
    with ``download_to()``.  ``history`` holds one response per redirect
    hop, oldest first.

    A Response can be built by hand, as a ``MockTransport`` handler does:
    ``Response(200, headers={...}, content=b"..." | "..." | iterator of
    bytes (streamed))``, or ``text="..."`` (text/plain, UTF-8) or
    ``json=value`` (application/json) instead of ``content``.

    ``attempts`` is how many times the request was sent (see
    ``vesper.Retry``) and ``retry_history`` what the earlier attempts got.

    ``sent_heads`` (with ``record_sent_heads=True`` on the client) holds the
    request heads the Core put on the wire for this response, each as bytes
    ending with its blank line, a proxy's CONNECT included: those of its hop
    when the hops are seen one by one (a redirect walk, or ``max_redirects``
    below 20), else every hop's on the final response; empty when not
    recorded or answered from the cache.

    ``from_cache`` is True when the client's HTTP cache gave this answer
    (fresh, or validated by a 304) and no new response was fetched, False
    when the network did (always False on a client without ``cache=``), and
    None when the cache is on but the loaded Core cannot report it.
    """

    # Defaults every response starts with (immutable: set on the instance
    # when they change).  The head is parsed when a header, the version or
    # the reason is first asked for.
    _parsed: Optional[Tuple[str, str, Headers]] = None
    next_request: Optional[Request] = None
    from_cache: Optional[bool] = False
    attempts = 1
    _encoding: Optional[str] = None
    _sync: Optional[SyncBody] = None
    _async: Optional[AsyncBody] = None
    _streamed = False
    # Seconds as a float until ``elapsed`` is first read (a timedelta costs
    # more to make than most requests spend in the package).
    _elapsed: Union[float, datetime.timedelta] = 0.0

    def __init__(self, status_code: int, head: bytes = b"", *, headers: HeaderTypes = None, content: Any = None,
                 text: Optional[str] = None, json: Any = None, request: Optional[Request] = None,
                 url: Union[str, URL, None] = None, history: Optional[List["Response"]] = None,
                 elapsed: Optional[datetime.timedelta] = None) -> None:
        self.status_code = status_code
        self.raw_head = head
        self.request = request if request is not None else Request("GET", url or "")
        # Where the answer came from (after the redirects followed).
        self.url = URL(url) if url is not None else self.request.url
        self.history: List[Response] = history or []
        if elapsed is not None:
            self._elapsed = elapsed
        self._content: Optional[bytes] = content if isinstance(content, bytes) else None
        self.sent_heads: List[bytes] = []
        # Set by the client's retries: attempts made (``attempts``), and what the earlier ones got.
        self.retry_history: List[Union["Response", Exception]] = []
        self._closed = self._content is not None
        if not head or headers is not None or text is not None or json is not None or not (
                content is None or isinstance(content, bytes)):
            # Built by hand (the Core's responses always come with their head).
            from ._mock import fill_response
            fill_response(self, headers, content, text, json)

    def __repr__(self) -> str:
        return f"<Response [{self.status_code} {self.reason_phrase}]>"

    @property
    def elapsed(self) -> datetime.timedelta:
        """The time from sending the request to the response head."""
        value = self._elapsed
        if not isinstance(value, datetime.timedelta):
            value = self._elapsed = datetime.timedelta(seconds=value)
        return value

    @elapsed.setter
    def elapsed(self, value: datetime.timedelta) -> None:
        self._elapsed = value

    def _head(self) -> Tuple[str, str, Headers]:
        if self._parsed is None:
            if self.raw_head:
                version, status, reason, headers = parse_head(self.raw_head)
                if not self.status_code:
                    self.status_code = status
            else:
                version, reason, headers = "HTTP/1.1", "", Headers()
            self._parsed = (version or "HTTP/1.1", reason or _REASONS.get(self.status_code, ""), headers)
        return self._parsed

    @property
    def headers(self) -> Headers:
        """The response headers (case-insensitive, order and duplicates kept)."""
        return self._head()[2]

    @property
    def http_version(self) -> str:
        """"HTTP/1.1", "HTTP/2" ... as in the status line."""
        return self._head()[0]

    @property
    def reason_phrase(self) -> str:
        """The status line's reason (HTTP/2 has none: the standard phrase is given)."""
        return self._head()[1]

    # --- status -------------------------------------------------------
    @property
    def is_informational(self) -> bool:
        """1xx."""
        return 100 <= self.status_code < 200

    @property
    def is_success(self) -> bool:
        """2xx."""
        return 200 <= self.status_code < 300

    @property
    def is_redirect(self) -> bool:
        """A 301, 302, 303, 307 or 308 with a Location header."""
        return self.status_code in (301, 302, 303, 307, 308) and "location" in self.headers

    @property
    def is_client_error(self) -> bool:
        """4xx."""
        return 400 <= self.status_code < 500

    @property
    def is_server_error(self) -> bool:
        """5xx."""
        return 500 <= self.status_code < 600

    @property
    def is_error(self) -> bool:
        """4xx or 5xx."""
        return 400 <= self.status_code < 600

    @property
    def ok(self) -> bool:
        """Not an error (as requests' ``ok``)."""
        return not self.is_error

    def raise_for_status(self) -> "Response":
        """Raises HTTPStatusError for a 4xx or 5xx answer; returns self otherwise."""
        if self.is_error:
            kind = "Client error" if self.is_client_error else "Server error"
            raise HTTPStatusError(f"{kind} '{self.status_code} {self.reason_phrase}' for url '{self.url}'",
                                  request=self.request, response=self)
        return self

    # --- head-derived values --------------------------------------------
    @property
    def charset_encoding(self) -> Optional[str]:
        """The charset of the Content-Type header, or None."""
        value = self.headers.get("content-type")
        if value is None:
            return None
        charset = header_value_params(value)[1].get("charset")
        if not charset:
            return None
        try:
            return codecs.lookup(charset).name
        except LookupError:
            return None

    @property
    def encoding(self) -> str:
        """The text encoding: set by the user, else the header's charset,
        else UTF-8 when the body decodes as UTF-8, else a guess from the bytes."""
        if self._encoding is None:
            charset = self.charset_encoding
            if charset is not None:
                self._encoding = charset
            elif self._content is not None:
                self._encoding = _decode_fallback(self._content)
            else:
                return "utf-8"
        return self._encoding

    @encoding.setter
    def encoding(self, value: str) -> None:
        self._encoding = value

    @property
    def cookies(self) -> Dict[str, str]:
        """The cookies this response set (name to value)."""
        jar: Dict[str, str] = {}
        for line in self.headers.get_list("set-cookie"):
            parsed: http.cookies.SimpleCookie = http.cookies.SimpleCookie()
            try:
                parsed.load(line)
            except http.cookies.CookieError:
                name, _, rest = line.partition("=")
                jar[name.strip()] = rest.split(";", 1)[0].strip()
                continue
            for name, morsel in parsed.items():
                jar[name] = morsel.value
        return jar

    @property
    def links(self) -> Dict[str, Dict[str, str]]:
        """The Link header parsed by rel."""
        out: Dict[str, Dict[str, str]] = {}
        for value in self.headers.get_list("link"):
            for item in value.split(","):
                url, _, params = item.partition(";")
                entry = {"url": url.strip().strip("<>")}
                for param in params.split(";"):
                    key, sep, val = param.partition("=")
                    if sep:
                        entry[key.strip()] = val.strip().strip('"')
                out[entry.get("rel", entry["url"])] = entry
        return out

    # --- whole body ---------------------------------------------------
    @property
    def content(self) -> bytes:
        """The body.  On a streamed response call read() / aread() first."""
        if self._content is None:
            if self._sync is not None and not self._streamed:
                return self.read()
            raise StreamConsumed("the body was not read: call read() (or await aread()) first")
        return self._content

    @property
    def text(self) -> str:
        """The body decoded with ``encoding`` (bad sequences replaced)."""
        return self.content.decode(self.encoding, "replace")

    def json(self, **kwargs: Any) -> Any:
        """The body parsed as JSON."""
        content = self.content
        if self.charset_encoding is None or self.charset_encoding.replace("_", "-") in ("utf-8", "utf8"):
            return jsonlib.loads(content, **kwargs)
        return jsonlib.loads(self.text, **kwargs)

    def _attach_sync(self, body: SyncBody) -> None:
        self._sync = body
        self._closed = False

    def _attach_async(self, body: AsyncBody) -> None:
        self._async = body
        self._closed = False

    @property
    def is_closed(self) -> bool:
        """Whether the body was read to its end or the response closed."""
        return self._closed

    @property
    def is_stream_consumed(self) -> bool:
        """Whether a streaming iterator has read the body."""
        return self._streamed

    def read(self) -> bytes:
        """Reads the rest of the body and returns the whole of it."""
        if self._content is None:
            if self._sync is None:
                raise StreamClosed("this response has no blocking body: use await aread()")
            self._check_stream()
            self._content = self._sync.read_all()
            self._closed = True
        return self._content

    def _text_decoder(self) -> codecs.IncrementalDecoder:
        return codecs.getincrementaldecoder(self.charset_encoding or "utf-8")("replace")

    def _check_stream(self) -> None:
        if self._content is None and self._streamed:
            raise StreamConsumed("the body was already streamed")
        if self._content is None and self._closed:
            raise StreamClosed("the response was closed before its body was read")

    def iter_raw(self) -> Iterator[bytes]:
        """The body in the chunks the Core delivered."""
        if self._content is not None:
            if self._content:
                yield self._content
            return
        if self._sync is None:
            raise StreamClosed("this response has no blocking body: use aiter_bytes()")
        self._check_stream()
        self._streamed = True
        try:
            while True:
                chunk = self._sync.read_chunk()
                if not chunk:
                    break
                yield chunk
        finally:
            self._closed = True

    def iter_bytes(self, chunk_size: Optional[int] = None) -> Iterator[bytes]:
        """The body in pieces of ``chunk_size`` bytes (the last may be
        shorter), or as it arrives when None: each piece is what has
        arrived since the last one (the network's pieces, or several of
        them joined, up to 256 KiB), and only an empty queue is waited for.
        A streamed body's pieces are filled natively: each byte is copied
        once, however the network cut it."""
        if chunk_size is None:
            if self._content is not None or self._sync is None:
                yield from self.iter_raw()
                return
            self._check_stream()
            self._streamed = True
            try:
                while piece := self._sync.read_some(JOINED_PIECES):
                    yield piece
            finally:
                self._closed = True
            return
        if chunk_size <= 0:
            raise ValueError("chunk_size must be positive")
        if self._content is not None or self._sync is None:
            pending = bytearray()
            for chunk in self.iter_raw():
                yield from _cut(pending, chunk, chunk_size)
            if pending:
                yield bytes(pending)
            return
        # Streamed: each piece is filled natively, one copy per byte.
        self._check_stream()
        self._streamed = True
        try:
            while piece := self._sync.read_exact(chunk_size):
                yield piece
                if len(piece) < chunk_size:
                    break
        finally:
            self._closed = True

    def iter_text(self, chunk_size: Optional[int] = None) -> Iterator[str]:
        """The body decoded incrementally."""
        decoder = self._text_decoder()
        for chunk in self.iter_bytes(chunk_size):
            text = decoder.decode(chunk)
            if text:
                yield text
        tail = decoder.decode(b"", True)
        if tail:
            yield tail

    def iter_lines(self) -> Iterator[str]:
        """The body's lines, without their line ends."""
        yield from _lines(self.iter_text())

    def iter_sse(self) -> Iterator[ServerSentEvent]:
        """The body as server-sent events (``text/event-stream``), each
        yielded as soon as its block has arrived: use it on a streamed
        response (``client.stream(...)``).  See ``vesper.ServerSentEvent``."""
        return iter_events(self.iter_raw())

    def download_to(self, target: Union[str, "os.PathLike[str]", IO[bytes]],
                    progress: Optional[ProgressCallback] = None) -> int:
        """Writes the body to a path or a binary file object through a 1 MiB
        buffer (never holding the body); calls ``progress(done, total)``
        after each write.  Returns the number of bytes written."""
        if self._sync is None and self._content is None:
            raise StreamClosed("this response has no blocking body: use await adownload_to()")
        total = _length(self.headers)
        if isinstance(target, (str, os.PathLike)):
            with open(target, "wb") as handle:
                return self._download(handle, total, progress)
        return self._download(target, total, progress)

    def _download(self, handle: IO[bytes], total: Optional[int], progress: Optional[ProgressCallback]) -> int:
        done = 0
        if self._content is not None:
            handle.write(self._content)
            done = len(self._content)
            if progress is not None:
                progress(done, total)
            return done
        assert self._sync is not None
        self._check_stream()
        self._streamed = True
        buffer = bytearray(_DOWNLOAD_BUFFER)
        view = memoryview(buffer)
        try:
            while True:
                n = self._sync.readinto(buffer)
                if n == 0:
                    break
                handle.write(view[:n])
                done += n
                if progress is not None:
                    progress(done, total)
        finally:
            self._closed = True
        return done

    def close(self) -> None:
        """Stops reading the body; the request is cancelled if it was still running."""
        if not self._closed:
            self._closed = True
            if self._sync is not None:
                self._sync.close()

    def __enter__(self) -> "Response":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # --- asyncio twins --------------------------------------------------
    async def aread(self) -> bytes:
        """Reads the rest of the body (AsyncClient)."""
        if self._content is None:
            if self._async is None:
                return self.read()
            self._check_stream()
            self._content = await self._async.read_all()
            self._closed = True
        return self._content

    async def aiter_raw(self) -> AsyncIterator[bytes]:
        """The body in the chunks the Core delivered (AsyncClient)."""
        if self._content is not None:
            if self._content:
                yield self._content
            return
        if self._async is None:
            raise StreamClosed("this response has no asyncio body: use iter_bytes()")
        self._check_stream()
        self._streamed = True
        try:
            while True:
                chunk = await self._async.read_chunk()
                if not chunk:
                    break
                yield chunk
        finally:
            self._closed = True

    async def aiter_bytes(self, chunk_size: Optional[int] = None) -> AsyncIterator[bytes]:
        """As iter_bytes (AsyncClient)."""
        if chunk_size is not None and chunk_size <= 0:
            raise ValueError("chunk_size must be positive")
        pending = bytearray()
        async for chunk in self.aiter_raw():
            if chunk_size is None:
                yield chunk
                continue
            for piece in _cut(pending, chunk, chunk_size):
                yield piece
        if pending:
            yield bytes(pending)

    async def aiter_text(self, chunk_size: Optional[int] = None) -> AsyncIterator[str]:
        """As iter_text (AsyncClient)."""
        decoder = self._text_decoder()
        async for chunk in self.aiter_bytes(chunk_size):
            text = decoder.decode(chunk)
            if text:
                yield text
        tail = decoder.decode(b"", True)
        if tail:
            yield tail

    async def aiter_lines(self) -> AsyncIterator[str]:
        """As iter_lines (AsyncClient)."""
        lines = _LineBuffer()
        async for text in self.aiter_text():
            for line in lines.feed(text):
                yield line
        rest = lines.rest()
        if rest is not None:
            yield rest

    def aiter_sse(self) -> AsyncIterator[ServerSentEvent]:
        """As iter_sse (AsyncClient)."""
        return aiter_events(self.aiter_raw())

    async def adownload_to(self, target: Union[str, "os.PathLike[str]", IO[bytes]],
                           progress: Optional[ProgressCallback] = None) -> int:
        """As download_to (AsyncClient); file writes are plain blocking writes."""
        total = _length(self.headers)
        if isinstance(target, (str, os.PathLike)):
            with open(target, "wb") as handle:
                return await self._adownload(handle, total, progress)
        return await self._adownload(target, total, progress)

    async def _adownload(self, handle: IO[bytes], total: Optional[int], progress: Optional[ProgressCallback]) -> int:
        done = 0
        async for chunk in self.aiter_raw():
            handle.write(chunk)
            done += len(chunk)
            if progress is not None:
                progress(done, total)
        return done

    async def aclose(self) -> None:
        """As close (AsyncClient)."""
        if not self._closed:
            self._closed = True
            if self._async is not None:
                await self._async.close()
            elif self._sync is not None:
                self._sync.close()

    async def __aenter__(self) -> "Response":
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.aclose()


def _length(headers: Headers) -> Optional[int]:
    value = headers.get("content-length")
    if value is None or "content-encoding" in headers:
        return None
    try:
        return int(value)
    except ValueError:
        return None


def _split(text: str) -> List[str]:
    """Complete lines of ``text`` and, last, the unfinished rest (a trailing
    CR waits for a possible LF)."""
    parts = text.splitlines(keepends=True)
    if parts and parts[-1].endswith("\r"):
        return [p.rstrip("\r\n") for p in parts[:-1]] + [parts[-1]]
    if parts and not parts[-1].endswith(("\n", "\r")):
        return [p.rstrip("\r\n") for p in parts[:-1]] + [parts[-1]]
    return [p.rstrip("\r\n") for p in parts] + [""]


class _LineBuffer:
    """Cuts decoded text arriving in pieces into lines."""

    def __init__(self) -> None:
        self._pending = ""

    def feed(self, text: str) -> List[str]:
        """The lines completed by ``text``."""
        *complete, self._pending = _split(self._pending + text)
        return complete

    def rest(self) -> Optional[str]:
        """The unfinished last line at the end, or None."""
        return self._pending.rstrip("\r") if self._pending else None


def _lines(texts: Iterator[str]) -> Iterator[str]:
    lines = _LineBuffer()
    for text in texts:
        yield from lines.feed(text)
    rest = lines.rest()
    if rest is not None:
        yield rest


def _cut(pending: bytearray, chunk: bytes, size: int) -> Iterator[bytes]:
    """Adds ``chunk`` to ``pending`` and takes out the whole pieces of ``size`` bytes."""
    pending += chunk
    while len(pending) >= size:
        yield bytes(pending[:size])
        del pending[:size]


def build_history(method: str, url: str, records: Sequence[RedirectRecord]) -> List[Response]:
    """One Response per redirect hop: each carries the 3xx's head and the
    URL and method that answered it."""
    history: List[Response] = []
    for status, raw, next_url, next_method in records:
        history.append(Response(status, raw, request=Request(method, url), url=url, content=b""))
        method, url = next_method, next_url
    return history


def decoding_guard(exc: UnicodeDecodeError) -> DecodingError:
    """A DecodingError for a text that failed to decode."""
    return DecodingError(str(exc))


_REASONS: Dict[int, str] = {
    100: "Continue", 101: "Switching Protocols", 200: "OK", 201: "Created", 202: "Accepted",
    204: "No Content", 206: "Partial Content", 301: "Moved Permanently", 302: "Found", 303: "See Other",
    304: "Not Modified", 307: "Temporary Redirect", 308: "Permanent Redirect", 400: "Bad Request",
    401: "Unauthorized", 403: "Forbidden", 404: "Not Found", 405: "Method Not Allowed", 408: "Request Timeout",
    409: "Conflict", 410: "Gone", 413: "Content Too Large", 415: "Unsupported Media Type", 418: "I'm a teapot",
    422: "Unprocessable Content", 429: "Too Many Requests", 500: "Internal Server Error", 501: "Not Implemented",
    502: "Bad Gateway", 503: "Service Unavailable", 504: "Gateway Timeout",
}
