"""One HTTP exchange from the command line: build it, send it, print it."""

from __future__ import annotations

import argparse
import contextlib
import email.message
import json
import os
import pathlib
import sys
import urllib.parse
from typing import IO, Any, Callable, Dict, Iterator, List, Optional, Tuple

import vesper

from .. import _native
from .._content import SizedPieces
from . import _exit
from ._args import HttpCommand
from ._items import ItemError, RequestItems, parse_items
from ._output import Output
from ._progress import Transfer

__all__ = ["run_http", "UsageError", "client_options", "parse_header_option"]

_CHUNK = 64 * 1024


class UsageError(Exception):
    """The command line asks for something that cannot be done (exit 2)."""


def parse_header_option(value: str) -> Tuple[str, str]:
    name, colon, rest = value.partition(":")
    if not colon or not name.strip():
        raise UsageError(f"-H {value!r}: a header is 'Name: value'")
    return name.strip(), rest.strip()


def client_options(options: argparse.Namespace) -> Dict[str, Any]:
    """The Client's keyword arguments for the connection options."""
    verify: Any = True
    if options.insecure:
        verify = False
    elif options.cacert:
        path = pathlib.Path(options.cacert).expanduser()
        if not path.is_file():
            raise UsageError(f"--cacert {options.cacert!r}: no such file")
        verify = str(path)
    kwargs: Dict[str, Any] = {"verify": verify}
    for name in ("impersonate", "proxy", "http_version", "timeout"):
        value = getattr(options, name, None)
        if value is not None:
            kwargs[name] = value
    return kwargs


class Body:
    """The request body and the headers it brings, as Client arguments."""

    def __init__(self, options: argparse.Namespace, items: RequestItems, output: Output) -> None:
        self._options = options
        self._items = items
        self._output = output
        self.headers: List[Tuple[str, str]] = []
        self._data: Optional[bytes] = None
        self._upload: Optional[pathlib.Path] = None
        self.present = bool(items.has_body or options.data is not None or options.upload)
        if (options.data is not None or options.upload) and items.has_body:
            raise UsageError("--data and --upload do not go with data fields or file fields")
        if options.data is not None:
            self._data = self._read_data(options.data)
        if options.upload:
            path = pathlib.Path(options.upload).expanduser()
            if not path.is_file():
                raise UsageError(f"--upload {options.upload!r}: no such file")
            # Streamed from the file with its size as Content-Length.
            self._upload = path
        if items.has_body and not items.files and not options.form:
            self.headers.append(("Accept", "application/json, */*;q=0.5"))
        self._open: List[IO[bytes]] = []

    @staticmethod
    def _read_data(value: str) -> bytes:
        if value == "@-":
            return sys.stdin.buffer.read()
        if value.startswith("@"):
            path = pathlib.Path(value[1:]).expanduser()
            if not path.is_file():
                raise UsageError(f"--data {value!r}: no such file")
            return path.read_bytes()
        return value.encode("utf-8")

    def _upload_chunks(self, path: pathlib.Path) -> Iterator[bytes]:
        size = path.stat().st_size
        with open(path, "rb") as handle, Transfer(self._output.err, f"upload {path.name}", size,
                                                   self._progress_enabled()) as transfer:
            while True:
                piece = handle.read(_CHUNK)
                if not piece:
                    return
                yield piece
                transfer.advance(len(piece))

    def _progress_enabled(self) -> bool:
        return self._output.stderr_tty and not self._options.quiet

    def arguments(self) -> Dict[str, Any]:
        """Keyword arguments for Client.stream carrying the body; file
        fields are opened here and closed by close()."""
        options, items = self._options, self._items
        if self._data is not None:
            return {"content": self._data}
        if self._upload is not None:
            return {"content": SizedPieces(self._upload_chunks(self._upload), self._upload.stat().st_size)}
        if items.files:
            for handle in self._open:
                handle.close()
            self._open = [open(path, "rb") for _, path in items.files]
            files = [(name, (path.name, handle)) for (name, path), handle in zip(items.files, self._open)]
            return {"data": {k: _form_text(v) for k, v in items.fields.items()}, "files": files}
        if items.fields and options.form:
            return {"data": {k: _form_text(v) for k, v in items.fields.items()}}
        if items.fields:
            return {"json": items.fields}
        return {}

    def close(self) -> None:
        for handle in self._open:
            handle.close()
        self._open = []


def _form_text(value: Any) -> str:
    return value if isinstance(value, str) else json.dumps(value)


def _target(url: str) -> str:
    parts = urllib.parse.urlsplit(url)
    return (parts.path or "/") + (f"?{parts.query}" if parts.query else "")


def download_name(url: str, content_disposition: Optional[str]) -> str:
    """The file --download writes: the Content-Disposition name, else the
    URL's last path segment, else index.html; a number is added rather than
    overwrite a file that is there."""
    name = ""
    if content_disposition:
        message = email.message.Message()
        message["content-disposition"] = content_disposition
        name = os.path.basename(message.get_filename() or "")
    if not name:
        name = os.path.basename(urllib.parse.unquote(urllib.parse.urlsplit(url).path))
    if not name or name in (".", ".."):
        name = "index.html"
    candidate, n = name, 0
    while os.path.exists(candidate):
        n += 1
        candidate = f"{name}.{n}"
    return candidate


class Exchange:
    """The hops of one command, printed as asked."""

    def __init__(self, command: HttpCommand, output: Output) -> None:
        self.command = command
        self.options = command.options
        self.output = output
        try:
            self.items = parse_items(command.items)
        except ItemError as exc:
            raise UsageError(str(exc)) from None
        self.headers = [parse_header_option(h) for h in self.options.header] + self.items.headers
        self.body = Body(self.options, self.items, output)
        given = {name.lower() for name, _ in self.headers}
        self.headers += [(n, v) for n, v in self.body.headers if n.lower() not in given]
        self.method = command.method or ("POST" if self.body.present else "GET")
        self.followed = False

    def _print_request(self, response: vesper.Response) -> None:
        """-v: the heads the Core sent for this hop, byte for byte (the
        client records them), a proxy's CONNECT included."""
        if response.sent_heads:
            for head in response.sent_heads:
                self.output.sent_head(head)
            return
        if not _native.core_records_sent_heads():
            self.output.notice("this Core does not record the heads it sends; the request is not shown")
            return
        # Nothing went on the wire for this hop: the cache answered it.
        request = response.request
        self.output.notice(f"{request.method} {request.url}: answered from the cache, no request sent")

    def _print_response_head(self, response: vesper.Response) -> None:
        self.output.response_head(response.http_version, response.status_code, response.reason_phrase,
                                  response.headers.multi_items())

    def _ask(self, status: int, location: str) -> bool:
        """In --step mode on a terminal: whether to follow this hop."""
        if not (sys.stdin.isatty() and self.output.stderr_tty):
            return True
        self.output.err.print(f"follow {status} to {location}? [Y/n] ", end="")
        try:
            answer = input()
        except EOFError:
            return False
        return answer.strip().lower() in ("", "y", "yes")

    def _kwargs(self) -> Dict[str, Any]:
        kwargs: Dict[str, Any] = {"headers": self.headers, **self.body.arguments()}
        if self.items.params:
            kwargs["params"] = self.items.params
        return kwargs

    def run(self, client: vesper.Client) -> int:
        options = self.options
        # -v walks the redirects one by one, so that each hop's request head
        # is printed before the answer it got.
        if options.step or (options.verbose and options.follow):
            return self._walk(client)
        with client.stream(self.method, self.command.url, **self._kwargs()) as response:
            self.followed = bool(response.history)
            return self._finish(response)

    def _walk(self, client: vesper.Client) -> int:
        """--step: each redirect is shown, and followed when the user agrees
        (or always, off a terminal), up to --max-redirects.  -v with
        --follow: each hop is printed and followed.  The final body is
        streamed, never held."""
        options = self.options
        with client.walk_redirects(self.method, self.command.url, stream=True, **self._kwargs()) as walk:
            hops = 0
            for hop in walk:
                if options.verbose:
                    self._print_request(hop.response)
                if options.verbose or options.include:
                    self._print_response_head(hop.response)
                if options.step:
                    self.output.notice(f"redirect {hops + 1}: {hop.status_code} {hop.url} -> {hop.method} "
                                       f"{hop.location}", "yellow")
                if hops >= options.max_redirects:
                    raise vesper.TooManyRedirects(f"more than {options.max_redirects} redirects")
                if options.step and not self._ask(hop.status_code, hop.location):
                    walk.stop()
                    break
                hops += 1
                self.followed = True
                hop.follow()
            if walk.response is None:
                raise vesper.RedirectError("the redirect walk ended without an answer")
            return self._finish(walk.response)

    def _finish(self, response: vesper.Response) -> int:
        options, output = self.options, self.output
        if options.verbose:
            self._print_request(response)
        if options.verbose or options.include:
            self._print_response_head(response)
        length = _content_length(response)
        if self.method == "HEAD" or response.request.method == "HEAD":
            chunks: Iterator[bytes] = iter(())
        else:
            chunks = response.iter_raw()
        target = options.output
        if options.download:
            target = download_name(str(response.url), response.headers.get("content-disposition"))
        if target:
            progress = output.stderr_tty and not options.quiet
            with open(target, "wb") as handle, Transfer(output.err, f"download {os.path.basename(target)}",
                                                        length, progress) as transfer:
                for chunk in transfer.wrap(chunks):
                    handle.write(chunk)
            if not options.quiet:
                output.notice(f"saved {transfer.done} bytes to {target}")
        elif output.stdout_tty or options.pretty == "always":
            output.terminal_body(chunks, response.headers.get("content-type"), length)
        else:
            progress = output.stderr_tty and not options.quiet
            with Transfer(output.err, "download", length, progress) as transfer:
                output.raw_body(transfer.wrap(chunks))
        if options.check_status:
            code = _exit.exit_for_status(response.status_code, self.followed or options.follow)
            if code != _exit.OK:
                output.notice(f"vesper: warning: HTTP {response.status_code} {response.reason_phrase}".rstrip(),
                              "yellow")
            return code
        return _exit.OK


def _content_length(response: vesper.Response) -> Optional[int]:
    value = response.headers.get("content-length")
    if value is None or response.headers.get("content-encoding"):
        return None
    try:
        return int(value)
    except ValueError:
        return None


def run_http(command: HttpCommand, output: Output, make_client: Callable[..., vesper.Client]) -> int:
    """Runs the command; returns its exit status."""
    options = command.options
    exchange = Exchange(command, output)
    kwargs = client_options(options)
    kwargs["follow_redirects"] = bool(options.follow and not options.step)
    kwargs["max_redirects"] = options.max_redirects
    kwargs["record_sent_heads"] = bool(options.verbose)
    if options.cache:
        kwargs["cache_mode"] = options.cache
    with contextlib.ExitStack() as stack:
        stack.callback(exchange.body.close)
        try:
            client = make_client(**kwargs)
        except ValueError as exc:
            raise UsageError(str(exc)) from None
        stack.enter_context(client)
        return exchange.run(client)
