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

from typing import Optional

import vesper

__all__ = ["OK", "ERROR", "USAGE", "REDIRECTS", "NETWORK", "TIMEOUT", "TLS", "INTERRUPTED",
           "EXIT_CODES_HELP", "exit_for_status", "exit_for_error", "describe_error"]

OK, ERROR, USAGE, REDIRECTS, NETWORK, TIMEOUT, TLS, INTERRUPTED = 0, 1, 2, 6, 7, 8, 9, 130

EXIT_CODES_HELP = """exit status:
  0  success            3/4/5  3xx not followed / 4xx / 5xx (with --check-status)
  1  other error        6      redirect error (too many, unsafe, broken)
  2  usage error        7      network error    8  timeout    9  TLS error
  130 interrupted"""



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
    # The package's texts already start with the plain sentence, then the
    # Chromium name and number, then the request.
    text = str(error) or type(error).__name__
    return f"{type(error).__name__}: {text}"
