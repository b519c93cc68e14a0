"""Headers: an ordered, case-insensitive multi-mapping, and head-block parsing."""

from __future__ import annotations

from typing import Dict, Iterable, Iterator, List, Mapping, MutableMapping, Optional, Tuple, Union

__all__ = ["Headers", "HeaderTypes", "parse_head"]

HeaderTypes = Union["Headers", Mapping[str, str], Iterable[Tuple[str, str]], None]


class Headers(MutableMapping[str, str]):
    """HTTP headers: names match case-insensitively, order and duplicates are kept.

    ``headers["Set-Cookie"]`` joins repeated values with ", " (as httpx
    does); ``get_list(name)`` returns them one by one; ``multi_items()``
    returns every (name, value) pair in order with the names as given.
    """

    def __init__(self, headers: HeaderTypes = None) -> None:
        self._items: List[Tuple[str, str]] = []
        if headers is None:
            return
        if isinstance(headers, Headers):
            self._items = list(headers._items)
        elif isinstance(headers, Mapping):
            for name, value in headers.items():
                self._items.append(_pair(name, value))
        else:
            for item in headers:
                name, value = item
                self._items.append(_pair(name, value))

    def __getitem__(self, name: str) -> str:
        values = self.get_list(name)
        if not values:
            raise KeyError(name)
        return ", ".join(values)

    def __setitem__(self, name: str, value: str) -> None:
        """Replaces every value of ``name`` by one, kept at the first one's place."""
        name, value = _pair(name, value)
        lower = name.lower()
        out: List[Tuple[str, str]] = []
        placed = False
        for key, old in self._items:
            if key.lower() == lower:
                if not placed:
                    out.append((name, value))
                    placed = True
            else:
                out.append((key, old))
        if not placed:
            out.append((name, value))
        self._items = out

    def __delitem__(self, name: str) -> None:
        lower = name.lower()
        kept = [(k, v) for k, v in self._items if k.lower() != lower]
        if len(kept) == len(self._items):
            raise KeyError(name)
        self._items = kept

    def __contains__(self, name: object) -> bool:
        if not isinstance(name, str):
            return False
        lower = name.lower()
        return any(k.lower() == lower for k, _ in self._items)

    def __iter__(self) -> Iterator[str]:
        seen: Dict[str, None] = {}
        for key, _ in self._items:
            seen.setdefault(key.lower(), None)
        return iter(seen)

    def __len__(self) -> int:
        return len({k.lower() for k, _ in self._items})

    def __eq__(self, other: object) -> bool:
        if isinstance(other, (Mapping, list, tuple)):
            try:
                other_headers = Headers(other)
            except (TypeError, ValueError):
                return False
            return sorted((k.lower(), v) for k, v in self._items) == \
                sorted((k.lower(), v) for k, v in other_headers._items)
        return NotImplemented

    def __repr__(self) -> str:
        return f"Headers({self._items!r})"

    def get_list(self, name: str) -> List[str]:
        """Every value of ``name``, in order."""
        lower = name.lower()
        return [v for k, v in self._items if k.lower() == lower]

    def add(self, name: str, value: str) -> None:
        """Appends one more value for ``name``, keeping the others."""
        self._items.append(_pair(name, value))

    def multi_items(self) -> List[Tuple[str, str]]:
        """All (name, value) pairs in order, duplicates included."""
        return list(self._items)

    def copy(self) -> "Headers":
        """An independent copy."""
        copied = Headers.__new__(Headers)
        copied._items = list(self._items)
        return copied

    def merged(self, other: HeaderTypes) -> "Headers":
        """A copy where each name present in ``other`` takes ``other``'s values."""
        result = self.copy()
        if other is None:
            return result
        extra = other if isinstance(other, Headers) else Headers(other)
        for name in {k.lower() for k, _ in extra._items}:
            if name in result:
                del result[name]
        result._items.extend(extra._items)
        return result


def _pair(name: object, value: object) -> Tuple[str, str]:
    if not isinstance(name, str) or not isinstance(value, str):
        if isinstance(name, bytes) and isinstance(value, bytes):
            return name.decode("latin-1"), value.decode("latin-1")
        raise TypeError(f"header names and values must be str, not {type(name).__name__}/{type(value).__name__}")
    return name, value


def parse_head(block: bytes) -> Tuple[str, int, str, Headers]:
    """(http version, status, reason phrase, headers) from a head block.

    The block is the status line and header lines, each ending in CRLF; an
    HTTP/2 head has "HTTP/2 <code>" and no reason.  Obsolete folded lines
    continue the previous value."""
    text = block.decode("latin-1")
    lines = text.split("\r\n")
    status_line = lines[0] if lines else ""
    parts = status_line.split(" ", 2)
    version = parts[0] if parts else ""
    try:
        status = int(parts[1]) if len(parts) > 1 else 0
    except ValueError:
        status = 0
    reason = parts[2] if len(parts) > 2 else ""
    items: List[Tuple[str, str]] = []
    for line in lines[1:]:
        if not line:
            continue
        if line[0] in " \t" and items:
            name, value = items[-1]
            items[-1] = (name, (value + " " + line.strip()).strip())
            continue
        name, sep, value = line.partition(":")
        if sep:
            items.append((name.strip(), value.strip()))
    headers = Headers()
    headers._items = items
    return version, status, reason, headers


def header_value_params(value: str) -> Tuple[str, Dict[str, str]]:
    """("text/html", {"charset": "utf-8"}) from a Content-Type value."""
    main, _, rest = value.partition(";")
    params: Dict[str, str] = {}
    for piece in rest.split(";"):
        key, sep, val = piece.partition("=")
        if sep:
            params[key.strip().lower()] = val.strip().strip('"')
    return main.strip().lower(), params


def first(headers: Headers, name: str) -> Optional[str]:
    """The first value of ``name`` or None."""
    values = headers.get_list(name)
    return values[0] if values else None
