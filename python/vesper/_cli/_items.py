"""Request items on the command line, read as httpie reads them.

    Name:value     a request header (``Name:`` sends it empty)
    name==value    a query parameter
    name=value     a JSON string field (a form field with --form)
    name:=json     a raw JSON field: numbers, booleans, lists, objects
    name@path      a file field (sends a multipart form)

The first separator in the item wins; at one position the longer one
(``:=`` before ``:``, ``==`` before ``=``).  A backslash before a separator
character makes it literal.
"""

from __future__ import annotations

import json
import pathlib
from dataclasses import dataclass, field
from typing import Any, Dict, List, Tuple

__all__ = ["ItemError", "RequestItems", "parse_items"]

_SEPARATORS = (":=", "==", "=", ":", "@")


class ItemError(ValueError):
    """An item that is not one of the forms above."""


@dataclass
class RequestItems:
    """The items of one command line, sorted by what they become."""

    headers: List[Tuple[str, str]] = field(default_factory=list)
    params: List[Tuple[str, str]] = field(default_factory=list)
    fields: Dict[str, Any] = field(default_factory=dict)
    files: List[Tuple[str, pathlib.Path]] = field(default_factory=list)

    @property
    def has_body(self) -> bool:
        return bool(self.fields or self.files)


def _split(item: str) -> Tuple[str, str, str]:
    key: List[str] = []
    i = 0
    while i < len(item):
        char = item[i]
        if char == "\\" and i + 1 < len(item):
            key.append(item[i + 1])
            i += 2
            continue
        for separator in _SEPARATORS:
            if item.startswith(separator, i):
                return "".join(key), separator, item[i + len(separator):]
        key.append(char)
        i += 1
    raise ItemError(f"{item!r} is not a request item (Name:value, name==value, name=value, "
                    "name:=json or name@file)")


def parse_items(items: List[str]) -> RequestItems:
    """Sorts the items; raises ItemError on a malformed one."""
    result = RequestItems()
    for item in items:
        key, separator, value = _split(item)
        if not key:
            raise ItemError(f"{item!r} has no name before {separator!r}")
        if separator == ":":
            result.headers.append((key, value.strip()))
        elif separator == "==":
            result.params.append((key, value))
        elif separator == "=":
            result.fields[key] = value
        elif separator == ":=":
            try:
                result.fields[key] = json.loads(value)
            except ValueError as exc:
                raise ItemError(f"{item!r}: the value is not JSON ({exc})") from None
        else:
            path = pathlib.Path(value).expanduser()
            if not path.is_file():
                raise ItemError(f"{item!r}: no such file {value!r}")
            result.files.append((key, path))
    return result
