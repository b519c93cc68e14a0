"""Request bodies and URLs: params, json, form data, raw content, streams."""

from __future__ import annotations

import functools
import json as jsonlib
import urllib.parse
from typing import Any, AsyncIterable, AsyncIterator, Iterable, Iterator, List, Mapping, Optional, Sequence, Tuple, Union

from ._exceptions import InvalidURL, UnsupportedProtocol
from ._multipart import FileTypes, MultipartEncoder

__all__ = ["ParamTypes", "Body", "encode_body", "merge_url", "join_url", "read_pieces", "FileTypes"]

Primitive = Union[str, int, float, bool, None]
ParamTypes = Union[Mapping[str, Union[Primitive, Sequence[Primitive]]], Sequence[Tuple[str, Primitive]], str, None]
# A request body: None, bytes handed over whole, or a stream of pieces.
Body = Union[None, bytes, Iterable[bytes], AsyncIterable[bytes]]

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
        raise InvalidURL(f"invalid URL {url!r}: {exc}") from None
    schemes = ("http", "https") if http_only else ("http", "https", "ws", "wss")
    if parts.scheme.lower() not in schemes:
        if not parts.scheme:
            raise InvalidURL(f"URL {url!r} has no scheme (expected http:// or https://)")
        raise UnsupportedProtocol(f"URL scheme {parts.scheme!r} is not supported here (expected "
                                  f"{' or '.join(s + '://' for s in schemes)})")
    if not parts.hostname:
        raise InvalidURL(f"URL {url!r} has no host")
    return parts


def merge_url(url: str, params: ParamTypes = None, http_only: bool = False) -> str:
    """The URL with ``params`` added to its query (repeated keys kept).
    Raises InvalidURL / UnsupportedProtocol before anything is sent;
    ``http_only`` refuses ws:// and wss://."""
    if not isinstance(url, str):
        raise TypeError(f"url must be str, not {type(url).__name__}")
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
        # Streamed (chunked): the Core frames the length itself.
        return [("Content-Type", encoder.content_type)], iter(encoder)
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
    if hasattr(value, "read"):
        return read_pieces(value)
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
