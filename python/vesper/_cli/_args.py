"""The command line's options, read with argparse."""

from __future__ import annotations

import argparse
import re
from dataclasses import dataclass
from typing import List, Optional, Sequence

from ._exit import EXIT_CODES_HELP

__all__ = ["HttpCommand", "WsCommand", "parse_command", "normalize_url"]

_METHOD = re.compile(r"^[A-Z][A-Z-]*$")
CACHE_MODES = ("default", "validate", "bypass", "no_store", "force", "only_if_cached")


@dataclass
class HttpCommand:
    """One HTTP request to make, as the command line asked for it."""

    method: Optional[str]
    url: str
    items: List[str]
    options: argparse.Namespace


@dataclass
class WsCommand:
    """One WebSocket session."""

    url: str
    options: argparse.Namespace


def normalize_url(url: str, default_scheme: str = "http") -> str:
    """Adds what a terminal user leaves out: ``:8000/x`` means
    ``http://localhost:8000/x`` and a URL without a scheme gets ``http://``."""
    if re.match(r"^[A-Za-z][A-Za-z0-9+.-]*://", url):
        return url
    if url.startswith(":"):
        rest = url[1:]
        port, slash, path = rest.partition("/")
        return f"{default_scheme}://localhost{':' + port if port else ''}/{path if slash else ''}"
    return f"{default_scheme}://{url}"


def _transport_options(parser: argparse.ArgumentParser) -> None:
    net = parser.add_argument_group("connection")
    net.add_argument("--impersonate", metavar="BROWSER",
                     help="send the request as this browser would (e.g. chrome_156, firefox_153)")
    version = net.add_mutually_exclusive_group()
    version.add_argument("--http1.1", dest="http_version", action="store_const", const="1.1",
                         help="speak HTTP/1.1 only")
    version.add_argument("--http2", dest="http_version", action="store_const", const="2",
                         help="prefer HTTP/2 (over TLS by ALPN)")
    version.add_argument("--http3", dest="http_version", action="store_const", const="3",
                         help="prefer HTTP/3 (QUIC), falling back to TCP; the output says which was used")
    net.add_argument("--proxy", metavar="URL", help="proxy URL, credentials in it (http://user:pw@host:port)")
    net.add_argument("--cacert", metavar="FILE", help="verify TLS against the CA certificates in this PEM file")
    net.add_argument("-k", "--insecure", action="store_true", help="do not verify TLS certificates")
    net.add_argument("--timeout", type=float, metavar="SECONDS", help="give up after this many seconds")


def _http_parser(prog: str) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=prog,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="HTTP and WebSocket from a terminal, sent as a browser would send it.\n\n"
                    "  vesper [METHOD] URL [ITEM ...]\n"
                    "  vesper ws URL [--send TEXT ...] [--count N]\n\n"
                    "METHOD is upper case (GET, POST, ...); without it the request is a GET,\n"
                    "or a POST when it carries data.  ITEMs:\n"
                    "  Name:value    header          name==value   query parameter\n"
                    "  name=value    JSON string     name:=json    raw JSON value\n"
                    "  name@file     file field (multipart form)",
        epilog=EXIT_CODES_HELP)
    parser.add_argument("--version", action="store_true",
                        help="show the versions of the package, the native module and the Core")
    parser.add_argument("target", nargs="*", metavar="[METHOD] URL [ITEM]",
                        help="the request: method, URL and items")
    body = parser.add_argument_group("request body")
    kind = body.add_mutually_exclusive_group()
    kind.add_argument("-j", "--json", action="store_true",
                      help="send the fields as a JSON object (the default)")
    kind.add_argument("-f", "--form", action="store_true",
                      help="send the fields as a form (multipart when there is a file field)")
    source = body.add_mutually_exclusive_group()
    source.add_argument("-d", "--data", metavar="TEXT|@FILE",
                        help="send this raw body; @FILE sends the file's bytes, @- reads stdin")
    source.add_argument("--upload", metavar="FILE", help="stream this file as the body")
    parser.add_argument("-H", "--header", action="append", default=[], metavar="'NAME: VALUE'",
                        help="add a request header (repeatable)")

    out = parser.add_argument_group("output")
    out.add_argument("-i", "--include", action="store_true", help="print the response head too")
    out.add_argument("-v", "--verbose", action="store_true",
                     help="print the request head (method, target, the headers given) and every redirect hop")
    out.add_argument("-o", "--output", metavar="FILE", help="write the body to FILE (streamed)")
    out.add_argument("--download", action="store_true",
                     help="save the body to a file named after the URL or Content-Disposition")
    out.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no notices")
    out.add_argument("--check-status", action="store_true",
                     help="exit with 3, 4 or 5 on a 3xx (not followed), 4xx or 5xx answer")
    out.add_argument("--pretty", choices=("auto", "always", "never"), default="auto",
                     help="colour and format the output (auto: when it goes to a terminal)")

    follow = parser.add_argument_group("redirects and cache")
    follow.add_argument("-F", "--follow", action="store_true", help="follow redirects")
    follow.add_argument("--max-redirects", type=int, default=20, metavar="N",
                        help="follow at most N redirects (default 20)")
    follow.add_argument("--step", action="store_true",
                        help="stop at each redirect and ask (on a terminal), else print each hop")
    follow.add_argument("--cache", choices=CACHE_MODES, metavar="MODE",
                        help="use the HTTP cache in this mode: " + ", ".join(CACHE_MODES))
    _transport_options(parser)
    return parser


def _ws_parser(prog: str) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=f"{prog} ws",
        description="An interactive WebSocket session: each line typed is sent as a text "
                    "message, messages received are printed as they arrive; Ctrl-D closes "
                    "with code 1000.",
        epilog=EXIT_CODES_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("url", help="ws:// or wss:// URL (http(s):// is accepted too)")
    parser.add_argument("--send", action="append", default=[], metavar="TEXT",
                        help="send this text message first (repeatable)")
    parser.add_argument("--count", type=int, metavar="N",
                        help="close after N messages are received")
    parser.add_argument("--subprotocol", action="append", default=[], metavar="NAME",
                        help="offer this subprotocol (repeatable)")
    parser.add_argument("-H", "--header", action="append", default=[], metavar="'NAME: VALUE'",
                        help="add a handshake header (repeatable)")
    parser.add_argument("--pretty", choices=("auto", "always", "never"), default="auto",
                        help="colour the output (auto: when it goes to a terminal)")
    _transport_options(parser)
    return parser


def parse_command(argv: Sequence[str], prog: str = "vesper") -> "HttpCommand | WsCommand | None":
    """Reads argv; None means --version.  argparse exits with 2 on a usage error."""
    args = list(argv)
    if args and args[0] == "ws":
        options = _ws_parser(prog).parse_args(args[1:])
        if options.count is not None and options.count < 0:
            _ws_parser(prog).error("--count must not be negative")
        return WsCommand(normalize_url(options.url, "ws"), options)
    parser = _http_parser(prog)
    options = parser.parse_intermixed_args(args)
    if options.version:
        return None
    target: List[str] = options.target
    if not target:
        parser.error("a URL is needed")
    method: Optional[str] = None
    if len(target) >= 2 and _METHOD.match(target[0]):
        method, target = target[0], target[1:]
    if options.max_redirects < 0:
        parser.error("--max-redirects must not be negative")
    if options.output and options.download:
        parser.error("-o/--output and --download do not go together")
    return HttpCommand(method, normalize_url(target[0]), target[1:], options)
