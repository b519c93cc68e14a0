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

from ._api import delete, get, head, options, patch, post, put, request, stream
from ._async_client import AsyncClient, AsyncRedirectWalk
from ._client import Client, RedirectHop, RedirectWalk
from ._config import DEFAULT_TIMEOUT, Timeout
from ._exceptions import (CacheMiss, CertificateError, CertificateExpired, CertificateNameMismatch,
                          CertificateUnknownAuthority, ConnectError, ConnectTimeout, CoreError, DecodingError,
                          Error, HTTPStatusError, InvalidHeader, InvalidURL, NetworkError, NetworkThreadError,
                          PoolTimeout, ProtocolError,
                          ProxyAuthError, ProxyError, ReadError, ReadTimeout, RedirectError,
                          RemoteProtocolError, RequestCancelled, RequestError, StreamClosed, StreamConsumed,
                          TimeoutError, TLSError, TooManyRedirects, TransportError, UnsupportedProtocol,
                          WebSocketClosed, WebSocketError, WebSocketHandshakeError, WriteError, WriteTimeout)
from ._headers import Headers
from ._models import Request, Response
from ._url import URL, QueryParams
from ._version import __version__
from ._websocket import AsyncWebSocket, WebSocket


__all__ = [
    "AsyncClient", "AsyncRedirectWalk", "AsyncWebSocket", "CacheMiss", "CertificateError", "CertificateExpired",
    "CertificateNameMismatch", "CertificateUnknownAuthority", "Client", "ConnectError", "ConnectTimeout",
    "CoreError", "DEFAULT_TIMEOUT", "DecodingError", "Error", "HTTPStatusError", "Headers", "InvalidHeader", "InvalidURL",
    "NetworkError", "NetworkThreadError", "PoolTimeout", "QueryParams", "ProtocolError", "ProxyAuthError", "ProxyError", "ReadError", "ReadTimeout",
    "RedirectError", "RedirectHop", "RedirectWalk", "RemoteProtocolError", "Request", "RequestCancelled",
    "RequestError", "Response", "StreamClosed", "StreamConsumed", "TLSError", "TimeoutError", "TooManyRedirects",
    "TransportError", "URL", "UnsupportedProtocol", "WebSocket", "WebSocketClosed", "WebSocketError",
    "WebSocketHandshakeError", "WriteError", "WriteTimeout", "Timeout", "__version__",
    "request", "stream", "get", "head", "options", "post", "put", "patch", "delete",
]

