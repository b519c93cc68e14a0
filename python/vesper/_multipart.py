"""multipart/form-data (RFC 7578) streamed from file objects.

The framing is written here: the well-kept encoders either build the whole
body in memory (urllib3's ``encode_multipart_formdata``) or come with a
whole HTTP client (requests-toolbelt needs requests).  Only the framing is
ours; content types are guessed by ``mimetypes``.
"""

from __future__ import annotations

import binascii
import mimetypes
import os
from typing import IO, Any, Iterator, List, Mapping, Optional, Sequence, Tuple, Union

__all__ = ["MultipartEncoder", "FileTypes"]

FileContent = Union[IO[bytes], bytes, str]
FileTypes = Union[
    FileContent,
    Tuple[Optional[str], FileContent],
    Tuple[Optional[str], FileContent, Optional[str]],
    Tuple[Optional[str], FileContent, Optional[str], Mapping[str, str]],
]
_CHUNK = 64 * 1024


def _quote(value: str) -> str:
    # As browsers write form-data names and file names.
    return value.replace("\\", "\\\\").replace('"', "%22").replace("\r", "%0D").replace("\n", "%0A")


class _Part:
    def __init__(self, name: str, value: Any, filename: Optional[str], content_type: Optional[str],
                 headers: Optional[Mapping[str, str]]) -> None:
        disposition = f'form-data; name="{_quote(name)}"'
        if filename is not None:
            disposition += f'; filename="{_quote(filename)}"'
        lines = [f"Content-Disposition: {disposition}"]
        extra = dict(headers or {})
        if content_type is not None and not any(k.lower() == "content-type" for k in extra):
            lines.append(f"Content-Type: {content_type}")
        lines.extend(f"{k}: {v}" for k, v in extra.items())
        self.head = ("\r\n".join(lines) + "\r\n\r\n").encode("utf-8")
        self.value = value.encode("utf-8") if isinstance(value, str) else value

    def size(self) -> Optional[int]:
        if isinstance(self.value, (bytes, bytearray)):
            return len(self.value)
        try:
            fileno = self.value.fileno()
            position = self.value.tell()
            return int(os.fstat(fileno).st_size - position)
        except (AttributeError, OSError, ValueError):
            return None

    def body(self) -> Iterator[bytes]:
        if isinstance(self.value, (bytes, bytearray)):
            if self.value:
                yield bytes(self.value)
            return
        while True:
            piece = self.value.read(_CHUNK)
            if not piece:
                return
            yield piece.encode("utf-8") if isinstance(piece, str) else bytes(piece)


class MultipartEncoder:
    """Form fields and files as one streamed multipart body."""

    def __init__(self, data: Optional[Mapping[str, Any]], files: Any, boundary: Optional[bytes] = None) -> None:
        self.boundary = boundary or binascii.hexlify(os.urandom(16))
        self.parts: List[_Part] = []
        for name, value in (data or {}).items():
            values = value if isinstance(value, (list, tuple)) else [value]
            for item in values:
                if not isinstance(item, (str, bytes, int, float)):
                    raise TypeError(f"form field {name!r} must be str, bytes or a number")
                text = item if isinstance(item, (str, bytes)) else str(item)
                self.parts.append(_Part(str(name), text, None, None, None))
        pairs: Sequence[Tuple[str, Any]] = list(files.items()) if isinstance(files, Mapping) else list(files)
        for name, spec in pairs:
            self.parts.append(self._file_part(str(name), spec))

    @staticmethod
    def _file_part(name: str, spec: Any) -> _Part:
        headers: Optional[Mapping[str, str]] = None
        content_type: Optional[str] = None
        if isinstance(spec, tuple):
            if not 2 <= len(spec) <= 4:
                raise ValueError("a file tuple is (filename, content[, content_type[, headers]])")
            filename = spec[0]
            value = spec[1]
            if len(spec) > 2:
                content_type = spec[2]
            if len(spec) > 3:
                headers = spec[3]
        else:
            value = spec
            raw_name = getattr(spec, "name", None)
            filename = os.path.basename(raw_name) if isinstance(raw_name, str) else "upload"
        if not isinstance(value, (bytes, bytearray, str)) and not hasattr(value, "read"):
            raise TypeError(f"file {name!r} must be bytes, str or a file object opened for reading")
        if content_type is None and filename is not None:
            content_type = mimetypes.guess_type(filename)[0] or "application/octet-stream"
        return _Part(name, value, filename, content_type, headers)

    @property
    def content_type(self) -> str:
        """The Content-Type header value, with the boundary."""
        return f"multipart/form-data; boundary={self.boundary.decode('ascii')}"

    def length(self) -> Optional[int]:
        """The body's size when every part's size is known beforehand."""
        total = 0
        for part in self.parts:
            size = part.size()
            if size is None:
                return None
            total += 4 + len(self.boundary) + len(part.head) + size + 2
        return total + 6 + len(self.boundary)

    def __iter__(self) -> Iterator[bytes]:
        for part in self.parts:
            yield b"--" + self.boundary + b"\r\n" + part.head
            yield from part.body()
            yield b"\r\n"
        yield b"--" + self.boundary + b"--\r\n"
