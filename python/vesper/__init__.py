"""vesper: an HTTP and WebSocket client whose network work runs in native code.

    import vesper

    r = vesper.get("https://example.org/api", params={"q": "x"})
    r.raise_for_status()
    print(r.json())

    with vesper.Client(impersonate="chrome_120", timeout=10) as client:
        client.post(url, json={"a": 1})

    async with vesper.AsyncClient() as client:
        r = await client.get(url)

Every failure is a ``vesper.Error`` subclass carrying the Chromium network
error number (``net_error``, ``net_error_name``); see ``help(vesper.Error)``.
"""

from __future__ import annotations

from typing import Any

from ._async_client import AsyncClient, AsyncRedirectWalk
from ._client import Client, RedirectHop, RedirectWalk
from ._config import DEFAULT_TIMEOUT, Timeout
from ._exceptions import (CacheMiss, CertificateError, CertificateExpired, CertificateNameMismatch,
                          CertificateUnknownAuthority, ConnectError, ConnectTimeout, CoreError, DecodingError,
                          Error, HTTPStatusError, InvalidURL, NetworkError, PoolTimeout, ProtocolError,
                          ProxyAuthError, ProxyError, ReadError, ReadTimeout, RedirectError,
                          RemoteProtocolError, RequestCancelled, RequestError, StreamClosed, StreamConsumed,
                          TimeoutError, TLSError, TooManyRedirects, TransportError, UnsupportedProtocol,
                          WebSocketClosed, WebSocketError, WebSocketHandshakeError, WriteError, WriteTimeout)
from ._headers import Headers
from ._mock import MockTransport
from ._cookies import Cookie, Cookies
from ._engine_options import Limits
from ._models import Request, Response
from ._retry import Retry
from ._sse import ServerSentEvent
from ._websocket import AsyncWebSocket, WebSocket

__version__ = "0.1.0"

__all__ = [
    "AsyncClient", "AsyncRedirectWalk", "AsyncWebSocket", "CacheMiss", "CertificateError", "CertificateExpired",
    "CertificateNameMismatch", "CertificateUnknownAuthority", "Client", "ConnectError", "ConnectTimeout", "Cookie", "Cookies",
    "CoreError", "DEFAULT_TIMEOUT", "DecodingError", "Error", "HTTPStatusError", "Headers", "InvalidURL", "Limits", "MockTransport",
    "NetworkError", "PoolTimeout", "ProtocolError", "ProxyAuthError", "ProxyError", "ReadError", "ReadTimeout",
    "RedirectError", "RedirectHop", "RedirectWalk", "RemoteProtocolError", "Request", "RequestCancelled",
    "RequestError", "Response", "Retry", "ServerSentEvent", "StreamClosed", "StreamConsumed", "TLSError", "TimeoutError", "TooManyRedirects",
    "TransportError", "UnsupportedProtocol", "WebSocket", "WebSocketClosed", "WebSocketError",
    "WebSocketHandshakeError", "WriteError", "WriteTimeout", "Timeout", "__version__",
    "request", "get", "head", "options", "post", "put", "patch", "delete",
]


def request(method: str, url: str, **kwargs: Any) -> Response:
    """One request with a throw-away Client.  Client options (``verify``,
    ``proxy``, ``impersonate``, ``trust_env``, ``http_version``,
    ``retries``, ``resolve``, ``transport`` ...) and the request arguments
    of ``Client.request`` are both accepted."""
    client_keys = ("verify", "proxy", "proxy_auth", "impersonate", "trust_env", "http_version", "retries",
                   "user_agent", "accept_language", "limits", "resolve", "ip_version", "dns_over_https",
                   "transport")
    options = {k: kwargs.pop(k) for k in client_keys if k in kwargs}
    with Client(cache=False, **options) as client:
        return client.request(method, url, **kwargs)


def get(url: str, **kwargs: Any) -> Response:
    """GET with a throw-away Client (see ``vesper.request``)."""
    return request("GET", url, **kwargs)


def head(url: str, **kwargs: Any) -> Response:
    """HEAD with a throw-away Client (see ``vesper.request``)."""
    return request("HEAD", url, **kwargs)


def options(url: str, **kwargs: Any) -> Response:
    """OPTIONS with a throw-away Client (see ``vesper.request``)."""
    return request("OPTIONS", url, **kwargs)


def post(url: str, **kwargs: Any) -> Response:
    """POST with a throw-away Client (see ``vesper.request``)."""
    return request("POST", url, **kwargs)


def put(url: str, **kwargs: Any) -> Response:
    """PUT with a throw-away Client (see ``vesper.request``)."""
    return request("PUT", url, **kwargs)


def patch(url: str, **kwargs: Any) -> Response:
    """PATCH with a throw-away Client (see ``vesper.request``)."""
    return request("PATCH", url, **kwargs)


def delete(url: str, **kwargs: Any) -> Response:
    """DELETE with a throw-away Client (see ``vesper.request``)."""
    return request("DELETE", url, **kwargs)
