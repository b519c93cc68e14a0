"""The option set shared by Client and AsyncClient: timeouts, TLS, proxies
(from the environment too), retries and the engine they configure."""

from __future__ import annotations

import os
import pathlib
import urllib.parse
from typing import Any, Dict, Optional, Tuple, Union

from ._version import __version__

__all__ = ["Timeout", "TimeoutTypes", "DEFAULT_TIMEOUT", "VerifyTypes", "proxy_from_env", "bypasses_proxy",
           "EngineSettings", "no_proxy_entries", "CACHE_MODES", "PRIORITIES", "HTTP_VERSIONS", "cache_choice",
           "DEFAULT_USER_AGENT"]

CACHE_MODES = ("default", "validate", "bypass", "no_store", "force", "only_if_cached")
PRIORITIES = ("default", "highest", "medium", "low", "lowest", "idle")
# Friendly names and the engine's own texts.
HTTP_VERSIONS = {None: None, "auto": "auto", "1.1": "h1", "http/1.1": "h1", "2": "h2", "http/2": "h2",
                 "3": "h3", "http/3": "h3", "h1": "h1", "h2": "h2", "h3": "h3"}


# What a client without a browser profile calls itself.
DEFAULT_USER_AGENT = f"vesper/{__version__}"


def cache_choice(cache: Any, cache_mode: Optional[str]) -> Tuple[bool, Optional[str]]:
    """(HTTP cache on, default per-request mode) from a client's ``cache``
    and ``cache_mode`` options.  The cache is off unless asked for:
    ``cache=True``, ``cache="<mode>"`` or a ``cache_mode``."""
    if cache_mode is not None and cache_mode not in CACHE_MODES:
        raise ValueError(f"cache_mode must be one of {', '.join(CACHE_MODES)}, not {cache_mode!r}")
    if isinstance(cache, str):
        if cache not in CACHE_MODES:
            raise ValueError(f"cache must be True, False or one of {', '.join(CACHE_MODES)}, not {cache!r}")
        if cache_mode is not None and cache_mode != cache:
            raise ValueError(f"cache={cache!r} and cache_mode={cache_mode!r} disagree: give one of them")
        return True, cache
    if not isinstance(cache, bool):
        raise TypeError(f"cache must be True, False or a cache mode, not {type(cache).__name__}")
    return cache or cache_mode is not None, cache_mode


class Timeout:
    """Time limits of one request, in seconds (None: no limit).

    Each is kept by the Core on the request itself, and each raises its own
    exception when it runs out:

    - ``connect``: from the moment a connection is opened until it can carry
      the request (TCP, a proxy's tunnel and TLS included; a reused
      connection takes none of it).  ``ConnectTimeout``.
    - ``read``: once the request is sent, no response byte (head or body)
      for that long.  Each byte starts it again: a long download that keeps
      moving is never cut.  Time your code spends not reading a streamed
      response does not count.  ``ReadTimeout``.
    - ``write``: while the body goes out, the server taking no byte of it
      for that long.  Time a streamed body waits for your next piece does
      not count.  ``WriteTimeout``.
    - ``pool``: waiting for a connection slot when the client's limits
      (6 per host, or ``Limits``) are all in use.  ``PoolTimeout``.
    - ``total``: the whole request, from start to the last body byte
      (redirects, waiting and connecting included).  ``TimeoutError``, or
      ``ConnectTimeout`` when it ran out while still connecting.

    Each redirect hop runs connect, read and write afresh.  With a Core
    that lacks phase limits (``vesper_native36.core_extensions`` without
    ``hy_request_set_timeouts``) the package keeps ``read`` (or
    ``connect`` when read is None) as the limit of its wait for the head
    and for each body chunk, cancels the request and raises
    ``ReadTimeout``; ``write`` and ``pool`` then count only against
    ``total``.

    A WebSocket takes ``connect`` (``ConnectTimeout``) and ``read`` (the
    server's answer to the upgrade: ``ReadTimeout``) and ``total`` (both
    together), each kept by the Core; nothing times out an open WebSocket
    for being quiet.  With a Core that lacks them
    (``hy_websocket_set_timeouts``) the package waits at most ``read`` (or
    ``connect``) for the open, cancels and raises ``ReadTimeout``.

    ``Timeout(5)`` sets connect, read, write and pool to 5 s and leaves total
    off.
    """

    __slots__ = ("connect", "read", "write", "pool", "total")

    def __init__(self, timeout: Optional[float] = None, *, connect: Optional[float] = None,
                 read: Optional[float] = None, write: Optional[float] = None, pool: Optional[float] = None,
                 total: Optional[float] = None) -> None:
        def pick(part: Optional[float]) -> Optional[float]:
            value = timeout if part is None else part
            if value is not None and (not isinstance(value, (int, float)) or value != value or value < 0):
                raise ValueError(f"timeouts must be non-negative numbers, not {value!r}")
            return None if value is None else float(value)
        self.connect = pick(connect)
        self.read = pick(read)
        self.write = pick(write)
        self.pool = pick(pool)
        if total is not None and (total != total or total < 0):
            raise ValueError(f"timeouts must be non-negative numbers, not {total!r}")
        self.total = None if total is None else float(total)

    @property
    def head(self) -> Optional[float]:
        """The limit of the package's own wait for the response head (with
        a Core that lacks phase limits)."""
        return self.read if self.read is not None else self.connect

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Timeout):
            return NotImplemented
        return all(getattr(self, k) == getattr(other, k) for k in self.__slots__)

    def __repr__(self) -> str:
        parts = ", ".join(f"{k}={getattr(self, k)!r}" for k in self.__slots__)
        return f"Timeout({parts})"


TimeoutTypes = Union[Timeout, float, int, None]

# 30 s without progress (no head, no body bytes) ends a request; a long
# download that keeps moving is never cut.  ``timeout=None`` turns it off.
DEFAULT_TIMEOUT = Timeout(30.0)


class _Unset:
    def __repr__(self) -> str:
        return "UNSET"


UNSET: Any = _Unset()


def to_timeout(value: Any, default: Timeout) -> Timeout:
    """A Timeout from the public forms; UNSET gives the default."""
    if value is UNSET:
        return default
    if value is None:
        return Timeout(None)
    if isinstance(value, Timeout):
        return value
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"timeout must be a number, a Timeout or None, not {type(value).__name__}")
    return Timeout(float(value))


VerifyTypes = Union[bool, str, "os.PathLike[str]", bytes]


def ca_settings(verify: VerifyTypes) -> Tuple[bool, Optional[bytes]]:
    """(verify flag, PEM bytes) for the engine: a path is read, bytes are PEM."""
    if isinstance(verify, bool):
        return verify, None
    if isinstance(verify, bytes):
        return True, verify
    if isinstance(verify, (str, os.PathLike)):
        return True, pathlib.Path(verify).read_bytes()
    raise TypeError("verify must be a bool, a CA file path or PEM bytes")


PemSource = Union[str, "os.PathLike[str]", bytes]
CertTypes = Union[PemSource, Tuple[PemSource, PemSource], Tuple[PemSource, PemSource, Union[str, bytes]]]


def _pem(source: PemSource, what: str) -> bytes:
    if isinstance(source, bytes):
        return source
    if isinstance(source, (str, os.PathLike)):
        return pathlib.Path(source).read_bytes()
    raise TypeError(f"{what} must be a PEM file path or PEM bytes")


def cert_settings(cert: Optional[CertTypes]) -> Optional[Tuple[bytes, Optional[bytes], Optional[bytes]]]:
    """(certificate chain, key, key password) for the engine from ``cert``:
    one PEM holding both, (chain, key) or (chain, key, password); each PEM
    a file path or the bytes themselves.  Files are read here."""
    if cert is None:
        return None
    if isinstance(cert, tuple):
        parts: Tuple[Any, ...] = cert
        if len(parts) not in (2, 3):
            raise ValueError("cert must be a PEM, (certificate, key) or (certificate, key, password)")
        chain, key = _pem(parts[0], "cert's certificate"), _pem(parts[1], "cert's key")
        password: Any = parts[2] if len(parts) == 3 else None
        if isinstance(password, str):
            password = password.encode()
        if password is not None and not isinstance(password, bytes):
            raise TypeError("cert's password must be str or bytes")
        return chain, key, password
    return _pem(cert, "cert"), None, None


def no_proxy_entries() -> Tuple[str, ...]:
    """The NO_PROXY entries of the environment, lower case."""
    raw = os.environ.get("NO_PROXY", os.environ.get("no_proxy", ""))
    return tuple(e.strip().lower() for e in raw.split(",") if e.strip())


def bypasses_proxy(url: str, entries: Optional[Tuple[str, ...]] = None) -> bool:
    """Whether NO_PROXY (or ``entries``) names the URL's host ("*", a host,
    ".suffix", "host:port")."""
    parts = urllib.parse.urlsplit(url)
    host = (parts.hostname or "").lower()
    port = parts.port
    for entry in no_proxy_entries() if entries is None else entries:
        if entry == "*":
            return True
        name, _, entry_port = entry.partition(":") if not entry.startswith("[") else (entry, "", "")
        name = name.strip("[]")
        if entry_port and port is not None and entry_port != str(port):
            continue
        name = name.lstrip(".")
        if host == name or host.endswith("." + name):
            return True
    return False


def proxy_from_env(scheme: str) -> Optional[str]:
    """The proxy the environment names for a scheme (HTTP_PROXY, HTTPS_PROXY,
    ALL_PROXY, lower case too); ws/wss use the http/https ones."""
    base = {"ws": "http", "wss": "https"}.get(scheme, scheme)
    for name in (f"{base}_proxy", "all_proxy"):
        for key in (name, name.upper()):
            value = os.environ.get(key)
            if value:
                return value if "://" in value else "http://" + value
    return None


class EngineSettings:
    """Everything that configures one native engine; engines are made per
    distinct settings (a client with environment proxies may need two)."""

    __slots__ = ("impersonate", "proxy", "proxy_auth", "verify", "ca_pem", "http_version", "cache",
                 "profile_namespace", "user_agent", "accept_language", "options", "client_cert", "engine")
    _FIELDS = __slots__[:-1]

    def __init__(self, *, impersonate: Optional[str], proxy: Optional[str], proxy_auth: Optional[Tuple[str, str]],
                 verify: bool, ca_pem: Optional[bytes], http_version: Optional[str], cache: bool,
                 profile_namespace: Optional[str], user_agent: Optional[str],
                 accept_language: Optional[str], options: Tuple[Tuple[str, str], ...] = (),
                 client_cert: Optional[Tuple[bytes, Optional[bytes], Optional[bytes]]] = None) -> None:
        if http_version not in HTTP_VERSIONS:
            raise ValueError(f"http_version must be one of 'auto', '1.1', '2', '3', not {http_version!r}")
        http_version = HTTP_VERSIONS[http_version]
        self.impersonate = impersonate
        self.proxy = proxy
        self.proxy_auth = proxy_auth
        self.verify = verify
        self.ca_pem = ca_pem
        self.http_version = http_version
        self.cache = cache
        self.profile_namespace = profile_namespace
        self.user_agent = user_agent
        self.accept_language = accept_language
        # Named engine options beyond the engine record (limits, name resolution).
        self.options = options
        self.client_cert = client_cert
        # The native engine made for these settings, once the first request needs it.
        self.engine: Any = None

    def with_proxy(self, proxy: Optional[str]) -> "EngineSettings":
        """A copy that uses another proxy."""
        copy = EngineSettings.__new__(EngineSettings)
        for name in self._FIELDS:
            setattr(copy, name, getattr(self, name))
        copy.proxy = proxy
        copy.engine = None
        return copy

    def engine_kwargs(self) -> Dict[str, Any]:
        """The keyword arguments of the native engine's constructor."""
        kwargs: Dict[str, Any] = {"verify": self.verify, "cache": self.cache}
        if self.impersonate:
            kwargs["impersonate"] = self.impersonate
        if self.proxy:
            kwargs["proxy"] = self.proxy
        if self.proxy_auth:
            kwargs["proxy_username"], kwargs["proxy_password"] = self.proxy_auth
        if self.ca_pem is not None:
            kwargs["ca_pem"] = self.ca_pem
        if self.http_version is not None:
            kwargs["http_version"] = self.http_version
        if self.user_agent is None and not self.impersonate:
            kwargs["user_agent"] = DEFAULT_USER_AGENT
        for name in ("profile_namespace", "user_agent", "accept_language"):
            value = getattr(self, name)
            if value is not None:
                kwargs[name] = value
        if self.options:
            kwargs["options"] = list(self.options)
        if self.client_cert is not None:
            chain, key, password = self.client_cert
            kwargs["client_cert"] = chain
            if key is not None:
                kwargs["client_key"] = key
            if password is not None:
                kwargs["key_password"] = password
        return kwargs

    def key(self) -> Tuple[Any, ...]:
        """A hashable identity of the settings."""
        return tuple(getattr(self, name) for name in self._FIELDS)
