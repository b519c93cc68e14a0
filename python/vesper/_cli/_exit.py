"""Exit statuses, and the one line an error prints.

    0   success (any status without --check-status)
    1   another error (a bad file, an unexpected failure)
    2   the command line was wrong
    3   --check-status: a 3xx answer that was not followed
    4   --check-status: a 4xx answer
    5   --check-status: a 5xx answer
    6   too many redirects, or an unsafe or broken redirect
    7   a network error: no connection, reset, proxy failure, bad answer
    8   a time limit ran out
    9   TLS: the handshake failed or the certificate was not accepted

A WebSocket handshake answered with a 4xx or 5xx exits with 4 or 5.
    130 interrupted (Ctrl-C)
"""

from __future__ import annotations

from typing import Dict, Optional

import vesper

__all__ = ["OK", "ERROR", "USAGE", "REDIRECTS", "NETWORK", "TIMEOUT", "TLS", "INTERRUPTED",
           "EXIT_CODES_HELP", "exit_for_status", "exit_for_error", "describe_error"]

OK, ERROR, USAGE, REDIRECTS, NETWORK, TIMEOUT, TLS, INTERRUPTED = 0, 1, 2, 6, 7, 8, 9, 130

EXIT_CODES_HELP = """exit status:
  0  success            3/4/5  3xx not followed / 4xx / 5xx (with --check-status)
  1  other error        6      redirect error (too many, unsafe, broken)
  2  usage error        7      network error    8  timeout    9  TLS error
  130 interrupted"""

# What a Chromium network error number means, in a few words, for the
# error line; the names come with the exceptions.
_MEANINGS: Dict[int, str] = {
    -2: "the request failed", -3: "the request was cancelled",
    -7: "the request's time limit ran out", -100: "the server closed the connection",
    -101: "the connection was reset", -102: "the server refused the connection",
    -104: "the connection could not be made", -105: "the host name could not be resolved",
    -107: "the TLS handshake failed", -109: "the address is unreachable",
    -111: "the proxy could not open a tunnel", -113: "no TLS version or cipher in common",
    -115: "the proxy wants an unsupported authentication scheme",
    -118: "connecting took too long", -120: "the SOCKS handshake failed",
    -121: "the SOCKS proxy could not reach the host", -127: "the proxy asked for credentials",
    -130: "the proxy could not be reached", -136: "the proxy's certificate is not valid",
    -145: "the WebSocket peer broke the protocol",
    -200: "the certificate does not name this host", -201: "the certificate has expired or is not yet valid",
    -202: "the certificate is not signed by a trusted authority", -207: "the certificate is not valid",
    -300: "the URL is not valid", -301: "the URL's scheme is not allowed", -302: "the URL's scheme is unknown",
    -303: "the redirect's Location is not valid", -310: "there were too many redirects",
    -311: "the redirect goes to a scheme that must not be followed",
    -320: "the answer was not acceptable", -321: "the chunked body is broken",
    -324: "the server closed the connection without answering",
    -325: "the response head is too large", -330: "the body could not be decoded",
    -337: "HTTP/2 protocol error", -354: "the body is shorter than its Content-Length",
    -355: "the chunked body ended early", -370: "the answer is not HTTP",
    -400: "the cache holds no usable answer",
}


def exit_for_status(status: int, followed: bool) -> int:
    """The --check-status exit code of a final status."""
    if 300 <= status < 400 and not followed:
        return 3
    if 400 <= status < 500:
        return 4
    if status >= 500:
        return 5
    return OK


def exit_for_error(error: BaseException) -> int:
    """The exit code of a failure."""
    if isinstance(error, KeyboardInterrupt):
        return INTERRUPTED
    if isinstance(error, vesper.TimeoutError):
        return TIMEOUT
    if isinstance(error, vesper.TLSError):
        return TLS
    if isinstance(error, vesper.RedirectError):
        return REDIRECTS
    if isinstance(error, vesper.WebSocketHandshakeError) and getattr(error, "status_code", 0) >= 400:
        return exit_for_status(error.status_code, True)
    if isinstance(error, (vesper.TransportError, vesper.WebSocketError)):
        return NETWORK
    return ERROR


def describe_error(error: BaseException) -> str:
    """The error line: what failed, and the Chromium error number, name and meaning."""
    number: Optional[int] = getattr(error, "net_error", None)
    name: Optional[str] = getattr(error, "net_error_name", None)
    text = str(error) or type(error).__name__
    if number:
        meaning = _MEANINGS.get(number)
        code = f"net::ERR_{name or 'UNKNOWN'}, Chromium net error {number}"
        lead = f"{meaning} ({code})" if meaning else code
        return f"{type(error).__name__}: {lead} [{text}]"
    return f"{type(error).__name__}: {text}"
