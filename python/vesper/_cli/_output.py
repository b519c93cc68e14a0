"""What the command line prints: heads, bodies and notices.

On a terminal the heads are coloured and bodies are formatted by their
content type (JSON indented and highlighted, text as text, binary replaced
by a one-line notice); on a pipe everything is written as it came.
"""

from __future__ import annotations

import json
import sys
from typing import IO, Iterable, List, Optional, Tuple

from rich.console import Console
from rich.json import JSON
from rich.text import Text

__all__ = ["Output", "is_binary", "media_type"]

# A terminal body is held in memory to be formatted; beyond this much it is
# printed as it comes.
_FORMAT_LIMIT = 4 << 20


def media_type(content_type: Optional[str]) -> str:
    return (content_type or "").split(";", 1)[0].strip().lower()


def _is_json(content_type: Optional[str]) -> bool:
    kind = media_type(content_type)
    return kind == "application/json" or kind.endswith("+json") or kind == "text/json"


def is_binary(sample: bytes, content_type: Optional[str]) -> bool:
    """Whether a body should not be shown on a terminal: a NUL byte or bytes
    that are not UTF-8 in its first piece, unless the type says text."""
    kind = media_type(content_type)
    if kind.startswith("text/") or _is_json(content_type) or kind.endswith(("+xml", "/xml", "javascript")):
        return b"\x00" in sample
    if b"\x00" in sample:
        return True
    try:
        sample.decode("utf-8")
    except UnicodeDecodeError as exc:
        # A multi-byte character cut at the end of the sample is still text.
        return exc.start < len(sample) - 3
    return False


class Output:
    """stdout and stderr of one run, each a terminal or not."""

    def __init__(self, pretty: str = "auto", stdout: Optional[IO[str]] = None,
                 stderr: Optional[IO[str]] = None) -> None:
        self.stdout = stdout or sys.stdout
        self.stderr = stderr or sys.stderr
        self.stdout_tty = self.stdout.isatty()
        self.stderr_tty = self.stderr.isatty()
        colour = {"always": True, "never": False}.get(pretty, self.stdout_tty)
        self.pretty = colour
        self.out = Console(file=self.stdout, force_terminal=colour, no_color=not colour,
                           highlight=False, soft_wrap=True)
        err_colour = {"always": True, "never": False}.get(pretty, self.stderr_tty)
        self.err = Console(file=self.stderr, force_terminal=err_colour, no_color=not err_colour,
                           highlight=False, soft_wrap=True)

    # --- heads ----------------------------------------------------------
    def request_head(self, method: str, target: str, version: str,
                     headers: Iterable[Tuple[str, str]]) -> None:
        line = Text()
        line.append(method, "bold green")
        line.append(f" {target} ", "cyan")
        line.append(version, "blue")
        self._head(line, headers)

    def sent_head(self, head: bytes) -> None:
        """A request head as it went on the wire: byte for byte on a pipe,
        coloured line by line on a terminal."""
        if not self.pretty:
            self.out.file.flush()
            binary = getattr(self.stdout, "buffer", None)
            if binary is not None:
                binary.write(head)
                binary.flush()
            else:
                self.stdout.write(head.decode("latin-1"))
            return
        lines = head.decode("latin-1").split("\r\n")
        first = Text(lines[0], "bold green")
        pairs = [line.partition(":")[::2] for line in lines[1:] if line]
        self._head(first, [(name, value.lstrip()) for name, value in pairs])

    def response_head(self, version: str, status: int, reason: str,
                      headers: Iterable[Tuple[str, str]]) -> None:
        style = "bold green" if status < 300 else "bold yellow" if status < 400 else "bold red"
        line = Text()
        line.append(version, "blue")
        line.append(f" {status}", style)
        if reason:
            line.append(f" {reason}", style)
        self._head(line, headers)

    def _head(self, first: Text, headers: Iterable[Tuple[str, str]]) -> None:
        lines: List[Text] = [first]
        for name, value in headers:
            text = Text()
            text.append(name, "cyan")
            text.append(": ")
            text.append(value)
            lines.append(text)
        for text in lines:
            self.out.print(text)
        self.out.print()
        self.out.file.flush()

    # --- bodies ---------------------------------------------------------
    def raw_body(self, chunks: Iterable[bytes]) -> int:
        """Writes the body as it came; returns the byte count."""
        self.out.file.flush()
        binary = getattr(self.stdout, "buffer", None)
        total = 0
        for chunk in chunks:
            total += len(chunk)
            if binary is not None:
                binary.write(chunk)
                binary.flush()
            else:
                self.stdout.write(chunk.decode("utf-8", "replace"))
        return total

    def terminal_body(self, chunks: Iterable[bytes], content_type: Optional[str],
                      length: Optional[int]) -> None:
        """Formats a body for the terminal, or prints the binary notice."""
        iterator = iter(chunks)
        held = bytearray()
        for chunk in iterator:
            held += chunk
            if len(held) >= 1024:
                break
        if not held:
            return
        if is_binary(bytes(held[:1024]), content_type):
            size = f"{length} bytes" if length is not None else "unknown size"
            kind = media_type(content_type) or "no content type"
            self.out.print(Text(f"[binary body not shown: {size}, {kind}; use -o FILE or a pipe]",
                                "bold magenta"))
            return
        for chunk in iterator:
            held += chunk
            if len(held) > _FORMAT_LIMIT:
                self.out.print(Text(held.decode("utf-8", "replace")), end="")
                self.raw_body(iterator)
                self.out.print()
                return
        text = held.decode("utf-8", "replace")
        if _is_json(content_type):
            try:
                json.loads(text)
            except ValueError:
                pass
            else:
                self.out.print(JSON(text, indent=2))
                return
        self.out.print(Text(text), end="" if text.endswith("\n") else "\n")

    # --- notices --------------------------------------------------------
    def notice(self, message: str, style: str = "dim") -> None:
        self.err.print(Text(message, style))

    def error(self, message: str) -> None:
        line = Text()
        line.append("vesper: error: ", "bold red")
        line.append(message)
        self.err.print(line)
