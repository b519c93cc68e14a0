"""``vesper ws URL``: a WebSocket session on a terminal or in a script.

Lines read from stdin are sent as text messages; messages received are
printed as they arrive, text as it is and binary as a short hex preview.
The end of stdin (Ctrl-D) closes with code 1000, unless --count still
waits for messages; --count N closes after the Nth message received.
"""

from __future__ import annotations

import queue
import sys
import threading
import time
from typing import Any, Callable, Dict, List, Optional, Tuple, Union

from rich.text import Text

import vesper

from . import _exit
from ._args import WsCommand
from ._http import client_options, parse_header_option
from ._output import Output

__all__ = ["run_ws", "hex_preview"]

_PREVIEW = 32
_SLICE = 0.05


def hex_preview(data: bytes) -> str:
    """``binary 5 bytes: 00 01 02 03 04``; long payloads end with an ellipsis."""
    shown = " ".join(f"{b:02x}" for b in data[:_PREVIEW])
    more = " ..." if len(data) > _PREVIEW else ""
    return f"binary {len(data)} bytes: {shown}{more}"


def _stdin_lines(lines: "queue.Queue[Optional[str]]") -> None:
    """Feeds lines of stdin to the session; None marks its end."""
    try:
        for line in sys.stdin:
            lines.put(line.rstrip("\r\n"))
    except (OSError, ValueError):
        pass
    lines.put(None)


class Session:
    def __init__(self, command: WsCommand, output: Output) -> None:
        self.command = command
        self.options = command.options
        self.output = output
        self.received = 0

    def _print_message(self, message: Union[str, bytes]) -> None:
        self.received += 1
        if isinstance(message, bytes):
            self.output.out.print(Text(hex_preview(message), "magenta"))
        else:
            self.output.out.print(Text("< ", "green") + Text(str(message)) if self.output.pretty
                                  else Text(str(message)))
        self.output.out.file.flush()

    def _done(self) -> bool:
        count = self.options.count
        return count is not None and self.received >= count

    def run(self, ws: vesper.WebSocket) -> int:
        options = self.options
        for text in options.send:
            ws.send(text)
        lines: "queue.Queue[Optional[str]]" = queue.Queue()
        reading = not options.send or sys.stdin.isatty()
        if reading:
            threading.Thread(target=_stdin_lines, args=(lines,), daemon=True).start()
        stdin_open = reading
        deadline = None if options.timeout is None else time.monotonic() + options.timeout
        while not self._done():
            while stdin_open:
                try:
                    line = lines.get_nowait()
                except queue.Empty:
                    break
                if line is None:
                    stdin_open = False
                else:
                    ws.send(line)
            if not stdin_open and options.count is None:
                break
            if deadline is not None and time.monotonic() > deadline:
                raise vesper.TimeoutError(f"no more messages within {options.timeout} s")
            try:
                message = ws.recv(_SLICE)
            except vesper.WebSocketClosed as closed:
                code = getattr(closed, "code", None)
                reason = getattr(closed, "reason", "") or ""
                self.output.notice(f"closed by the server: {code} {reason}".rstrip())
                return _exit.OK if code in (1000, 1001, None) or self.options.count is None else _exit.NETWORK
            except TimeoutError:
                continue
            self._print_message(message)
        ws.close(1000)
        return _exit.OK


def run_ws(command: WsCommand, output: Output, make_client: Callable[..., vesper.Client]) -> int:
    """Runs the session; returns its exit status."""
    options = command.options
    kwargs = client_options(options)
    headers: List[Tuple[str, str]] = [parse_header_option(h) for h in options.header]
    ws_kwargs: Dict[str, Any] = {}
    if headers:
        ws_kwargs["headers"] = headers
    if options.subprotocol:
        ws_kwargs["subprotocols"] = options.subprotocol
    session = Session(command, output)
    with make_client(**kwargs) as client, client.websocket(command.url, **ws_kwargs) as ws:
        return session.run(ws)
