"""The exception tree and the one table from native failures to classes.

The native module raises a Core failure as ``CoreFailure`` (a
``RuntimeError``) whose attributes carry the numbers: ``kind`` (the Core's
code, named by the module's ``failure_kinds``), ``net_error`` (the Chromium
network error number), ``timeout_phase`` (the phase whose limit ran out:
"connect", "read", "write", "pool", "total", and for a WebSocket
"handshake") and, for WebSockets, ``status``
(the handshake's HTTP status); asyncio "error" events carry the same value.
``from_native`` picks the class from those values, never from the text.
"""

from __future__ import annotations

import builtins
from typing import TYPE_CHECKING, Dict, Optional, Tuple, Type

from ._native import native

if TYPE_CHECKING:
    from ._models import Request, Response

__all__ = [
    "Error", "RequestError", "TransportError", "NetworkError", "ConnectError", "ReadError",
    "WriteError", "TimeoutError", "ConnectTimeout", "ReadTimeout", "WriteTimeout", "PoolTimeout",
    "ProxyError", "ProxyAuthError", "TLSError", "CertificateError", "CertificateUnknownAuthority",
    "CertificateExpired", "CertificateNameMismatch", "ProtocolError", "RemoteProtocolError",
    "DecodingError", "RedirectError", "TooManyRedirects", "RequestCancelled", "CacheMiss",
    "InvalidURL", "UnsupportedProtocol", "CoreError", "NetworkThreadError", "HTTPStatusError", "StreamConsumed",
    "StreamClosed", "WebSocketError", "WebSocketHandshakeError", "WebSocketClosed",
    "NET_ERROR_NAMES", "from_native", "class_for", "failure_kind", "websocket_failure",
]

# Chromium's names for the numbers the Core produces.
NET_ERROR_NAMES: Dict[int, str] = {
    -2: "FAILED", -3: "ABORTED", -4: "INVALID_ARGUMENT", -7: "TIMED_OUT", -13: "OUT_OF_MEMORY",
    -14: "UPLOAD_FILE_CHANGED", -25: "UPLOAD_STREAM_REWIND_NOT_SUPPORTED", -100: "CONNECTION_CLOSED", -101: "CONNECTION_RESET",
    -102: "CONNECTION_REFUSED", -104: "CONNECTION_FAILED", -105: "NAME_NOT_RESOLVED",
    -107: "SSL_PROTOCOL_ERROR", -109: "ADDRESS_UNREACHABLE", -111: "TUNNEL_CONNECTION_FAILED",
    -113: "SSL_VERSION_OR_CIPHER_MISMATCH", -115: "PROXY_AUTH_UNSUPPORTED",
    -118: "CONNECTION_TIMED_OUT", -120: "SOCKS_CONNECTION_FAILED",
    -121: "SOCKS_CONNECTION_HOST_UNREACHABLE", -127: "PROXY_AUTH_REQUESTED",
    -130: "PROXY_CONNECTION_FAILED", -136: "PROXY_CERTIFICATE_INVALID", -145: "WS_PROTOCOL_ERROR",
    -200: "CERT_COMMON_NAME_INVALID", -201: "CERT_DATE_INVALID", -202: "CERT_AUTHORITY_INVALID",
    -207: "CERT_INVALID", -300: "INVALID_URL", -301: "DISALLOWED_URL_SCHEME",
    -302: "UNKNOWN_URL_SCHEME", -303: "INVALID_REDIRECT", -310: "TOO_MANY_REDIRECTS",
    -311: "UNSAFE_REDIRECT", -320: "INVALID_RESPONSE", -321: "INVALID_CHUNKED_ENCODING",
    -324: "EMPTY_RESPONSE", -325: "RESPONSE_HEADERS_TOO_BIG", -330: "CONTENT_DECODING_FAILED",
    -337: "HTTP2_PROTOCOL_ERROR", -346: "RESPONSE_HEADERS_MULTIPLE_CONTENT_LENGTH",
    -354: "CONTENT_LENGTH_MISMATCH", -355: "INCOMPLETE_CHUNKED_ENCODING",
    -370: "INVALID_HTTP_RESPONSE", -400: "CACHE_MISS",
}


# What a Chromium network error number means, as the plain sentence that
# starts an exception's text.
NET_ERROR_SENTENCES: Dict[int, str] = {
    -2: "the request failed", -3: "the request was cancelled",
    -14: "the request body's size differs from the Content-Length declared for it (nothing cut or padded was sent)",
    -25: "the redirect would send the streamed body again, which cannot be replayed",
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
    -202: "the server's certificate is not trusted (unknown authority)", -207: "the certificate is not valid",
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

class Error(Exception):
    """Base of every vesper exception.

    Attributes: ``kind`` (the Core's failure kind, e.g. ``"Tls"``, or None),
    ``net_error`` (Chromium network error number, or None) and
    ``net_error_name`` (its Chromium name, e.g. ``"CERT_DATE_INVALID"``).
    """

    def __init__(self, message: str, *, kind: Optional[str] = None, net_error: Optional[int] = None,
                 request: Optional["Request"] = None) -> None:
        super().__init__(message)
        self.kind = kind
        self.net_error = net_error
        self.net_error_name: Optional[str] = NET_ERROR_NAMES.get(net_error) if net_error is not None else None
        self._request = request

    @property
    def request(self) -> Optional["Request"]:
        """The request (method and URL) that failed, when there was one."""
        return self._request

    @request.setter
    def request(self, value: Optional["Request"]) -> None:
        self._request = value


class RequestError(Error):
    """A request could not be completed."""


class TransportError(RequestError):
    """The network exchange failed (connection, TLS, proxy, timing, framing)."""


class NetworkError(TransportError):
    """The connection failed or broke."""


class ConnectError(NetworkError):
    """No connection could be made (refused, name not resolved, unreachable)."""


class ReadError(NetworkError):
    """The connection closed or reset while the answer was read."""


class WriteError(NetworkError):
    """The connection broke while the request was sent."""


class TimeoutError(TransportError, builtins.TimeoutError):
    """A time limit ran out.  Also caught by ``except TimeoutError`` (builtin).

    Raised as such when the request's whole ``total`` limit (the Core's
    timeout) ran out; subclasses name a more precise phase."""


class ConnectTimeout(TimeoutError):
    """Connecting (TCP, a proxy's tunnel, TLS) took longer than the connect
    timeout, or the total timeout ran out while still connecting."""


class ReadTimeout(TimeoutError):
    """No response bytes (head or body) arrived within the read timeout."""


class WriteTimeout(TimeoutError):
    """The server took no bytes of the request body within the write timeout."""


class PoolTimeout(TimeoutError):
    """No connection slot came free within the pool timeout (the client's
    connections per host, or its total: ``Limits``)."""


class ProxyError(TransportError):
    """The proxy could not be reached or refused the request."""


class ProxyAuthError(ProxyError):
    """The proxy asked for credentials (407) or rejected those given."""


class TLSError(TransportError):
    """The TLS handshake failed."""


class CertificateError(TLSError):
    """The server's certificate was not accepted."""


class CertificateUnknownAuthority(CertificateError):
    """The certificate is not signed by a trusted root (self-signed, unknown CA)."""


class CertificateExpired(CertificateError):
    """The certificate is expired or not yet valid."""


class CertificateNameMismatch(CertificateError):
    """The certificate does not match the host name."""


class ProtocolError(TransportError):
    """The peer broke the HTTP protocol."""


class RemoteProtocolError(ProtocolError):
    """The server's answer was malformed, truncated or too large."""


class DecodingError(RequestError):
    """The response body failed to decode (gzip, brotli, zstd, deflate)."""


class RedirectError(RequestError):
    """A redirect could not be followed (unsafe scheme, bad Location, refused)."""


class TooManyRedirects(RedirectError):
    """More redirects than allowed."""


class RequestCancelled(RequestError):
    """The request was cancelled."""


class CacheMiss(RequestError):
    """``cache_mode="only_if_cached"`` found no usable entry."""


class InvalidURL(Error, ValueError):
    """The URL cannot be used (raised before anything is sent)."""


class InvalidHeader(Error, ValueError):
    """A header name is not a token, or a value holds CR, LF or NUL (raised
    before anything is sent)."""


class UnsupportedProtocol(InvalidURL):
    """The URL's scheme is not http/https (ws/wss for WebSockets)."""


class CoreError(Error):
    """The native Core refused an operation (invalid state, bad profile, ...)."""


class NetworkThreadError(CoreError, builtins.RuntimeError):
    """A blocking call was made on its engine's own network thread: from a
    callback of that engine (an event loop's ``call_soon_threadsafe``, a
    hook or a finalizer running there), where it would wait for ever and
    stop every other transfer of the engine.  Raised at once, before
    anything is sent; a mistake of the calling code, so also a
    ``RuntimeError``.  Schedule the call on another thread, or use the
    async API."""


class HTTPStatusError(Error):
    """Raised by ``raise_for_status()`` for a 4xx or 5xx answer."""

    def __init__(self, message: str, *, request: "Request", response: "Response") -> None:
        super().__init__(message, request=request)
        self.response = response


class StreamConsumed(Error):
    """The response body was already read by a streaming iterator."""


class StreamClosed(Error):
    """The response was closed before its body was read."""


class WebSocketError(Error):
    """A WebSocket failed.  ``status_code`` is the handshake's HTTP status
    (0 when none arrived)."""

    def __init__(self, message: str, *, kind: Optional[str] = None, net_error: Optional[int] = None,
                 status_code: int = 0, request: Optional["Request"] = None) -> None:
        super().__init__(message, kind=kind, net_error=net_error, request=request)
        self.status_code = status_code


class WebSocketHandshakeError(WebSocketError):
    """The server answered the upgrade with something other than 101."""


class WebSocketClosed(WebSocketError):
    """The connection is closed; ``code`` and ``reason`` are the close frame's."""

    def __init__(self, code: int, reason: str = "") -> None:
        super().__init__(f"WebSocket closed with code {code}" + (f": {reason}" if reason else ""))
        self.code = code
        self.reason = reason


# A timeout's phase, as the Core names it, picks the class first.
_BY_PHASE: Dict[str, Type[Error]] = {
    "connect": ConnectTimeout,
    "read": ReadTimeout,
    "write": WriteTimeout,
    "pool": PoolTimeout,
    # A WebSocket's upgrade unanswered: the read limit, as for a response head.
    "handshake": ReadTimeout,
}

# What ran out, as the sentence that starts the exception's text.
_PHASE_SENTENCES: Dict[str, str] = {
    "connect": "connecting took longer than the connect timeout",
    "read": "no response bytes arrived within the read timeout",
    "write": "the server took no body bytes within the write timeout",
    "pool": "no connection slot came free within the pool timeout",
    "total": "the request's total timeout ran out",
    "handshake": "the server did not answer the WebSocket upgrade within the read timeout",
}

# The one table: (kind, net error) first, then the kind alone.
_BY_NET_ERROR: Dict[Tuple[str, int], Type[Error]] = {
    ("Timeout", -118): ConnectTimeout,
    ("Timeout", -7): TimeoutError,
    ("Network", -102): ConnectError,
    ("Network", -104): ConnectError,
    ("Network", -105): ConnectError,
    ("Network", -109): ConnectError,
    ("Network", -100): ReadError,
    ("Network", -101): ReadError,
    ("Network", -324): RemoteProtocolError,
    ("Network", -354): RemoteProtocolError,
    ("Network", -355): RemoteProtocolError,
    ("Tls", -200): CertificateNameMismatch,
    ("Tls", -201): CertificateExpired,
    ("Tls", -202): CertificateUnknownAuthority,
    ("Tls", -207): CertificateError,
    ("Proxy", -127): ProxyAuthError,
    ("Proxy", -115): ProxyAuthError,
    ("Protocol", -330): DecodingError,
    ("Redirect", -310): TooManyRedirects,
    ("InvalidArgument", -301): UnsupportedProtocol,
    ("InvalidArgument", -302): UnsupportedProtocol,
    ("InvalidArgument", -300): InvalidURL,
}

_BY_KIND: Dict[str, Type[Error]] = {
    "Timeout": TimeoutError,
    "Canceled": RequestCancelled,
    "Network": NetworkError,
    "Tls": TLSError,
    "Proxy": ProxyError,
    "Protocol": RemoteProtocolError,
    "Redirect": RedirectError,
    "CacheMiss": CacheMiss,
    "InvalidArgument": CoreError,
}

# The module's names of the failure kinds, by code: the one table.
_KIND_NAMES: Dict[int, str] = dict(native.failure_kinds)


def failure_kind(exc: BaseException) -> Optional[str]:
    """The Core's failure kind of a native failure ("InvalidState"), None
    for any other exception."""
    if isinstance(exc, native.CoreFailure):
        return _KIND_NAMES.get(int(exc.kind))
    return None


def _describe(kind: Optional[str], net_error: Optional[int], text: str, phase: Optional[str] = None) -> str:
    """A plain sentence, then the Chromium name and number; the Core's kind
    stays in the exception's ``kind``."""
    if net_error is None:
        return text
    name = NET_ERROR_NAMES.get(net_error)
    sentence = _PHASE_SENTENCES.get(phase or "") or NET_ERROR_SENTENCES.get(net_error)
    if sentence is None:
        sentence = f"the request failed ({kind or 'unknown failure'})"
    code = f"net::ERR_{name}, " if name else ""
    return f"{sentence} ({code}Chromium net error {net_error})"


def class_for(kind: Optional[str], net_error: Optional[int], phase: Optional[str] = None) -> Type[Error]:
    """The exception class for a Core kind, network error number and, for
    a timeout, the phase that ran out."""
    if kind is None:
        return CoreError
    if kind == "Timeout" and phase in _BY_PHASE:
        return _BY_PHASE[phase]
    if net_error is not None:
        found = _BY_NET_ERROR.get((kind, net_error))
        if found is not None:
            return found
    return _BY_KIND.get(kind, CoreError)


def from_native(exc: BaseException, request: Optional["Request"] = None) -> Error:
    """The vesper exception for a failure raised by the native module."""
    if isinstance(exc, Error):
        if request is not None and exc.request is None:
            exc.request = request
        return exc
    if isinstance(exc, builtins.TimeoutError):
        return ReadTimeout(str(exc), request=request)
    if isinstance(exc, native.NetworkThreadError):
        return NetworkThreadError(str(exc), request=request)
    where = f" ({request.method} {request.url})" if request is not None else ""
    if not isinstance(exc, native.CoreFailure):
        return CoreError(str(exc) + where, request=request)
    kind = failure_kind(exc)
    net_error: Optional[int] = exc.net_error
    phase: Optional[str] = getattr(exc, "timeout_phase", None)
    cls = class_for(kind, net_error, phase)
    return cls(_describe(kind, net_error, str(exc), phase) + where, kind=kind, net_error=net_error,
               request=request)


def websocket_failure(failure: BaseException, request: Optional["Request"] = None, opened: bool = False) -> Error:
    """The exception for a WebSocket "error" event's failure.

    Before the connection opened a transport failure raises the same class
    as for HTTP (``ConnectError``, ``CertificateExpired`` ...); a refused
    handshake raises ``WebSocketHandshakeError``; a phase limit the Core
    kept raises its class (``ConnectTimeout``, ``ReadTimeout`` for the
    handshake); later failures raise ``WebSocketError``."""
    if not isinstance(failure, native.CoreFailure):
        return WebSocketError(str(failure), request=request)
    kind = failure_kind(failure)
    net_error: Optional[int] = failure.net_error
    status = int(failure.status or 0)
    phase: Optional[str] = getattr(failure, "timeout_phase", None)
    message = _describe(kind, net_error, str(failure), phase)
    if not opened and status > 0 and status != 101:
        return WebSocketHandshakeError(f"handshake answered {status}: {message}", kind=kind,
                                       net_error=net_error, status_code=status, request=request)
    if not opened and kind in ("Timeout", "Network", "Tls", "Proxy"):
        cls = class_for(kind, net_error, phase)
        return cls(message, kind=kind, net_error=net_error, request=request)
    return WebSocketError(message, kind=kind, net_error=net_error, status_code=max(status, 0), request=request)
