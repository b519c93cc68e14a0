"""Request bodies and URLs: params, json, form data, raw content, streams."""

from __future__ import annotations

import functools
import io
import json as jsonlib
import os
import stat
import urllib.parse
from typing import (IO, Any, AsyncIterable, AsyncIterator, Iterable, Iterator, List, Mapping, Optional, Sequence,
                    Tuple, Union)

from ._exceptions import InvalidURL, UnsupportedProtocol
from ._multipart import FileTypes, MultipartEncoder
from ._request_checks import browser_url, shown_url

__all__ = ["ParamTypes", "Body", "encode_body", "merge_url", "join_url", "read_pieces", "FileTypes", "SizedPieces",
           "body_length", "ContentTypes", "DataTypes", "FilesTypes"]

Primitive = Union[str, int, float, bool, None]
ParamTypes = Union[Mapping[str, Union[Primitive, Sequence[Primitive]]], Sequence[Tuple[str, Primitive]], str, None]
# A request body: None, bytes handed over whole, or a stream of pieces
# (a SizedPieces when its length is known beforehand).
Body = Union[None, bytes, Iterable[bytes], AsyncIterable[bytes]]
# What content= takes: text (sent as UTF-8), bytes-like, a binary file
# object, or an iterable (or async iterable) of bytes pieces.
ContentTypes = Union[str, bytes, bytearray, memoryview, IO[bytes], Iterable[bytes], AsyncIterable[bytes]]
# What data= takes: a form (mapping of field names to values), or a raw body as content=.
DataTypes = Union[Mapping[str, Any], ContentTypes]
# What files= takes: {field name: file} or (field name, file) pairs.
FilesTypes = Union[Mapping[str, FileTypes], Sequence[Tuple[str, FileTypes]]]

_CHUNK = 64 * 1024


def _text(value: Primitive) -> str:
    if value is True:
        return "true"
    if value is False:
        return "false"
    if value is None:
        return ""
    return str(value)


def query_pairs(params: ParamTypes) -> List[Tuple[str, str]]:
    """(key, value) texts of params in any accepted form, repeated keys kept."""
    if params is None:
        return []
    if isinstance(params, str):
        return urllib.parse.parse_qsl(params, keep_blank_values=True)
    items: Iterable[Tuple[str, Any]] = params.items() if isinstance(params, Mapping) else params
    out: List[Tuple[str, str]] = []
    for key, value in items:
        if isinstance(value, (list, tuple)):
            out.extend((str(key), _text(v)) for v in value)
        else:
            out.append((str(key), _text(value)))
    return out


@functools.lru_cache(maxsize=1024)
def _split_checked(url: str, http_only: bool) -> urllib.parse.SplitResult:
    """The URL's parts once it passed the checks (cached: a client sends to
    few distinct URLs; failures are not cached and raise again)."""
    try:
        parts = urllib.parse.urlsplit(url)
        parts.port  # noqa: B018 - validates the port
    except ValueError as exc:
        raise InvalidURL(f"url {shown_url(url)!r} cannot be used: {exc}") from None
    schemes = ("http", "https") if http_only else ("http", "https", "ws", "wss")
    if parts.scheme.lower() not in schemes:
        if not parts.scheme:
            raise InvalidURL(f"url {shown_url(url)!r} has no scheme (expected http:// or https://)")
        raise UnsupportedProtocol(f"url {shown_url(url)!r}: scheme {parts.scheme!r} is not supported here "
                                  f"(expected {' or '.join(s + '://' for s in schemes)})")
    if not parts.hostname:
        raise InvalidURL(f"url {shown_url(url)!r} has no host")
    return parts


def merge_url(url: str, params: ParamTypes = None, http_only: bool = False) -> str:
    """The URL, percent-encoded as browsers do, with ``params`` added to its
    query (repeated keys kept).  Raises InvalidURL / UnsupportedProtocol
    before anything is sent; ``http_only`` refuses ws:// and wss://."""
    if not isinstance(url, str):
        raise TypeError(f"url must be str, not {type(url).__name__}")
    url = browser_url(url)
    parts = _split_checked(url, http_only)
    if params is None:
        return url
    extra = query_pairs(params)
    if not extra:
        return url
    query = parts.query + ("&" if parts.query else "") + urllib.parse.urlencode(extra)
    return urllib.parse.urlunsplit((parts.scheme, parts.netloc, parts.path or "/", query, parts.fragment))


def join_url(base: Optional[str], url: str) -> str:
    """``url`` resolved against ``base_url`` (a relative path keeps the
    base's path as a prefix, as httpx does)."""
    if not base or "://" in url:
        return url
    if url.startswith("/"):
        url = url[1:]
    return base.rstrip("/") + "/" + url if url else base


def encode_body(*, content: Any = None, data: Any = None, files: Any = None, json: Any = None,
                boundary: Optional[bytes] = None) -> Tuple[List[Tuple[str, str]], Body]:
    """(headers to add, body) for the body arguments of a request."""
    given = [name for name, value in (("content", content), ("json", json)) if value is not None]
    if (data is not None or files is not None) and given:
        raise TypeError(f"{given[0]}= cannot be combined with data= or files=")
    if len(given) > 1:
        raise TypeError("content= and json= cannot be combined")
    if json is not None:
        body = jsonlib.dumps(json, ensure_ascii=False, separators=(",", ":"), allow_nan=False).encode("utf-8")
        return [("Content-Type", "application/json")], body
    if content is not None:
        return [], _raw(content, "content")
    if files is not None:
        encoder = MultipartEncoder(data if isinstance(data, Mapping) else None, files, boundary)
        # Streamed from the files; with a Content-Length when every part's size is known.
        length = encoder.length()
        pieces = iter(encoder)
        return [("Content-Type", encoder.content_type)], pieces if length is None else SizedPieces(pieces, length)
    if data is not None:
        if isinstance(data, Mapping):
            text = urllib.parse.urlencode(query_pairs(data))
            return [("Content-Type", "application/x-www-form-urlencoded")], text.encode("ascii")
        return [], _raw(data, "data")
    return [], None


def _raw(value: Any, name: str) -> Body:
    if isinstance(value, str):
        return value.encode("utf-8")
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    if isinstance(value, SizedPieces):
        return value
    if hasattr(value, "read"):
        size = file_size(value)
        return read_pieces(value) if size is None else SizedPieces(read_pieces(value), size)
    if hasattr(value, "__aiter__"):
        return _checked_async(value)
    if hasattr(value, "__iter__"):
        return _checked(value)
    raise TypeError(f"{name}= must be bytes, str, a file object or an (async) iterable of bytes, "
                    f"not {type(value).__name__}")


def read_pieces(stream: Any, size: int = _CHUNK) -> Iterator[bytes]:
    """A file object read piece by piece, never whole."""
    while True:
        piece = stream.read(size)
        if not piece:
            return
        yield piece.encode("utf-8") if isinstance(piece, str) else bytes(piece)


def _checked_piece(piece: Any) -> bytes:
    """One piece a body iterator yielded, as bytes (b"" for an empty one)."""
    if isinstance(piece, str):
        piece = piece.encode("utf-8")
    if not isinstance(piece, (bytes, bytearray, memoryview)):
        raise TypeError(f"a body iterator must yield bytes, not {type(piece).__name__}")
    return bytes(piece)


def _checked(pieces: Iterable[Any]) -> Iterator[bytes]:
    for piece in pieces:
        if data := _checked_piece(piece):
            yield data


async def _checked_async(pieces: AsyncIterable[Any]) -> AsyncIterator[bytes]:
    async for piece in pieces:
        if data := _checked_piece(piece):
            yield data


class SizedPieces(Iterator[bytes]):
    """A streamed body whose length is known before it is sent (a file, a
    multipart body of sized parts): it goes out with that Content-Length."""

    __slots__ = ("_pieces", "length")

    def __init__(self, pieces: Iterator[bytes], length: int) -> None:
        self._pieces = pieces
        self.length = length

    def __iter__(self) -> "SizedPieces":
        return self

    def __next__(self) -> bytes:
        return next(self._pieces)


def file_size(stream: Any) -> Optional[int]:
    """The bytes left to read in a binary file object: from ``os.fstat``
    for a regular file, else from ``seek``/``tell``; None when neither
    tells (pipes, sockets, text files, objects without them)."""
    if isinstance(stream, io.TextIOBase):
        return None
    try:
        position = stream.tell()
    except (AttributeError, OSError, ValueError):
        return None
    try:
        info = os.fstat(stream.fileno())
        if stat.S_ISREG(info.st_mode):
            return max(int(info.st_size) - int(position), 0)
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
        pass
    try:
        if not stream.seekable():
            return None
        end = stream.seek(0, os.SEEK_END)
        stream.seek(position)
        return max(int(end) - int(position), 0)
    except (AttributeError, OSError, ValueError):
        return None


def body_length(body: Body) -> Optional[int]:
    """The body's size when known before sending (bytes or SizedPieces)."""
    if body is None:
        return 0
    if isinstance(body, bytes):
        return len(body)
    if isinstance(body, SizedPieces):
        return body.length
    return None
