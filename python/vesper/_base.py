"""The option and request-building model that Client and AsyncClient share;
they add only the waiting."""

from __future__ import annotations

import base64
import collections
import contextlib
import datetime
import http.cookiejar
import os
import threading
import time
import weakref
import urllib.parse
from typing import Any, Callable, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple, TypeVar, Union

from . import _config
from ._config import UNSET, EngineSettings, Timeout, TimeoutTypes, VerifyTypes
from ._engine_options import Limits, dns_options, limit_options
from ._cookies import CookieJarBackend, Cookies, CookieSource, EngineJar, JarBackend
from ._content import Body, ParamTypes, body_length, query_pairs, encode_body, join_url, merge_url
from ._exceptions import InvalidHeader, TooManyRedirects, failure_kind, from_native
from ._headers import Headers, HeaderTypes
from ._mock import MockTransport
from ._models import Request, Response, build_history
from ._native import RedirectRecord, core_has, core_records_sent_heads, native
from ._request_checks import check_framing_headers, check_headers, check_method, proxy_text
from ._retry import RetryTypes, to_retry
from ._sent_heads import SentHeads

__all__ = ["BaseClient", "Prepared", "AuthTypes", "CookieTypes", "EventHooks", "final_request",
           "redirect_response", "redirect_step", "HopHeads", "RedirectHop", "WalkSteps", "upload_guard"]

AuthTypes = Union[Tuple[str, str], None]
CookieTypes = Union[Mapping[str, str], Sequence[Tuple[str, str]], None]
EventHooks = Mapping[str, Sequence[Callable[..., Any]]]
# The Core follows at most this many redirects by itself.
CORE_REDIRECT_LIMIT = 20
# Whether the Core keeps the connect, read, write and pool limits itself.
CORE_KEEPS_PHASES = core_has("hy_request_set_timeouts")
# Engines kept for per-request proxies; past it the least recently used is
# let go (its running requests keep it alive until they end).
PROXY_ENGINES = 64
_T = TypeVar("_T")
# The package's waits when the Core keeps every phase: none (shared, never changed).
_NO_WAITS = Timeout(None)


class Prepared:
    """One request ready for the engine."""

    __slots__ = ("request", "settings", "body", "streamed", "timeout", "waits", "follow", "max_redirects", "cache",
                 "priority", "record_heads", "upload_length", "core_redirects")

    def __init__(self, request: Request, settings: EngineSettings, body: Body, timeout: Timeout, follow: bool,
                 max_redirects: int, cache: Optional[str], priority: Optional[str],
                 record_heads: bool = False, upload_length: Optional[int] = None) -> None:
        self.request = request
        self.settings = settings
        self.body = body
        # Whether the body goes out piece by piece.
        self.streamed = body is not None and not isinstance(body, bytes)
        self.timeout = timeout
        # The limits of the package's own waits: none when the Core keeps
        # every phase itself (it then ends a stalled request with the
        # phase's own failure); else the package waits at most read (or
        # connect) for the head and for each body chunk, and cancels.
        self.waits = _NO_WAITS if CORE_KEEPS_PHASES else timeout
        self.follow = follow
        self.max_redirects = max_redirects
        # Whether the Core follows redirects itself (else the package walks them).
        self.core_redirects = follow and max_redirects >= CORE_REDIRECT_LIMIT
        self.cache = cache
        self.priority = priority
        self.record_heads = record_heads
        # The Content-Length a streamed body goes out with (None: chunked).
        self.upload_length = upload_length


    @property
    def replayable(self) -> bool:
        """Whether the request can be sent again (retries)."""
        return not self.streamed

    def native_kwargs(self, manual: bool = False) -> Dict[str, Any]:
        """The keyword arguments of the engine's ``request``."""
        kwargs: Dict[str, Any] = {}
        headers = self.request.headers._items  # read by the engine, not kept
        if headers:
            kwargs["headers"] = headers
        if self.streamed:
            kwargs["chunked"] = True
        elif self.body is not None:
            kwargs["body"] = self.body
        if self.timeout.total is not None:
            kwargs["timeout"] = self.timeout.total
        if manual or not self.core_redirects:
            kwargs["redirect"] = "manual"  # the engine's default is to follow
        if self.cache is not None:
            kwargs["cache"] = self.cache
        if self.priority is not None:
            kwargs["priority"] = self.priority
        return kwargs


def _declared_length(headers: Headers, body: Body) -> Optional[int]:
    """Checks a caller's Content-Length against the body and takes it out of
    the headers (the Core writes the header itself); returns the length a
    streamed body goes out with, None for chunked."""
    values = headers.get_list("content-length")
    known = body_length(body)
    streamed = body is not None and not isinstance(body, bytes)
    if not values:
        return known if streamed else None
    texts = [value.strip() for value in values]
    if not all(text.isdigit() and text.isascii() for text in texts) or len({int(t) for t in texts}) != 1:
        raise InvalidHeader(f"headers: Content-Length must be one whole number of bytes, not {values!r}")
    declared = int(texts[0])
    if known is not None and declared != known:
        raise InvalidHeader(f"headers: Content-Length is {declared} but the body has {known} bytes")
    del headers["content-length"]
    return declared if streamed else None


def _declare_length(native_request: Any, prepared: Prepared) -> None:
    """Hands a streamed body's length to the Core, which then sends it with
    Content-Length and fails the request if the bytes written differ.  A
    Core without that extension streams sized bodies chunked."""
    if core_has("hy_request_set_upload_length"):
        native_request.set_upload_length(prepared.upload_length)
        return
    if prepared.body is not None and body_length(prepared.body) is None:
        native_request.cancel()
        raise InvalidHeader("headers: a Content-Length for a body of unknown size needs a Core that takes a "
                            "declared upload length (hy_request_set_upload_length); leave it out to send "
                            "the body chunked")


def _join_params(first: ParamTypes, second: ParamTypes) -> ParamTypes:
    if first is None:
        return second
    if second is None:
        return first
    return query_pairs(first) + query_pairs(second)


def _basic(auth: Tuple[str, str]) -> str:
    user, password = auth
    return "Basic " + base64.b64encode(f"{user}:{password}".encode("utf-8")).decode("ascii")


def _cookie_header(cookies: Mapping[str, str]) -> str:
    return "; ".join(f"{name}={value}" for name, value in cookies.items())


def split_proxy(proxy: Optional[str]) -> Tuple[Optional[str], Optional[Tuple[str, str]]]:
    """(proxy URL without credentials, (user, password) or None)."""
    proxy = proxy_text(proxy)
    if proxy is None:
        return None, None
    parts = urllib.parse.urlsplit(proxy)
    if parts.username is None:
        return proxy, None
    host = parts.hostname or ""
    if ":" in host:
        host = f"[{host}]"
    netloc = host + (f":{parts.port}" if parts.port else "")
    clean = urllib.parse.urlunsplit((parts.scheme, netloc, parts.path, parts.query, parts.fragment))
    return clean, (urllib.parse.unquote(parts.username), urllib.parse.unquote(parts.password or ""))


@contextlib.contextmanager
def upload_guard(native_request: Any, prepared: Prepared) -> Iterator[None]:
    """Around the writing of a request body: a failure cancels the request."""
    try:
        yield
    except RuntimeError as exc:
        # The Core refuses writes once the request ended; its own failure
        # (refused connection, 413 answer...) is read with the head.  A body
        # that left its declared length is refused the same way, and the
        # Core ends the request with that failure (net error -14).
        if native_request.is_finished() or (failure_kind(exc) == "InvalidArgument"
                                            and prepared.upload_length is not None):
            return
        native_request.cancel()
        raise from_native(exc, prepared.request) from None
    except BaseException:
        native_request.cancel()
        raise


def final_request(prepared: Prepared, records: Sequence[RedirectRecord]) -> Request:
    """The request that got the final answer: the last redirect's target, or the one sent."""
    if not records:
        return prepared.request
    _status, _raw, url, method = records[-1]
    return Request(method, url, prepared.request.headers)


def answered_from_cache(native_request: Any, prepared: Prepared) -> Optional[bool]:
    """Whether the engine's HTTP cache gave the final answer: False when the
    client has no cache, None when the Core cannot tell (it lacks the
    extension that reports it)."""
    if not prepared.settings.cache:
        return False
    if native_request is None or not core_has("hy_request_from_cache"):
        return None
    try:
        return bool(native_request.from_cache())
    except RuntimeError:
        return None


def final_response(prepared: Prepared, records: Sequence[RedirectRecord], status: int, head: bytes,
                   started: float, heads: Optional["HopHeads"] = None, native_request: Any = None) -> Response:
    """The final answer, with the redirect hops that led to it as its history."""
    if records:
        final = final_request(prepared, records)
        history = build_history(prepared.request.method, str(prepared.request.url), records)
        response = Response(status, head, request=final, url=final.url, history=history)
    else:
        response = Response(status, head, request=prepared.request)
    response._elapsed = time.monotonic() - started
    if prepared.settings.cache:
        response.from_cache = answered_from_cache(native_request, prepared)
    if heads is not None:
        heads.finish(response)
    return response


class HopHeads:
    """The sent heads of one exchange, hop by hop: ``hop()`` after each
    redirect seen, ``finish()`` on the response that ends it."""

    __slots__ = ("_sent", "_per_hop")

    def __init__(self, native_request: Any, prepared: Prepared) -> None:
        self._sent = SentHeads(native_request, prepared.record_heads)
        self._per_hop: List[List[bytes]] = []

    def hop(self) -> None:
        self._per_hop.append(self._sent.take())

    def finish(self, response: Response) -> None:
        SentHeads.attach(response.history, self._per_hop)
        response.sent_heads = self._sent.take()


def redirect_response(prepared: Prepared, records: List[RedirectRecord], started: float) -> Response:
    """The 3xx itself when redirects are not followed."""
    last = records[-1]
    history = build_history(prepared.request.method, str(prepared.request.url), records)
    answered = history[-1]
    answered.history = history[:-1]
    answered.elapsed = datetime.timedelta(seconds=time.monotonic() - started)
    answered.next_request = Request(last[3], last[2], prepared.request.headers)
    return answered


def redirect_step(native_request: Any, prepared: Prepared, records: List[RedirectRecord],
                  started: float, heads: Optional[HopHeads] = None) -> Optional[Response]:
    """After the redirect ``records[-1]`` of a request whose redirects the
    package walks: the 3xx as the answer when redirects are not followed,
    TooManyRedirects past the limit, else None once the Core follows it."""
    if not prepared.follow:
        native_request.cancel()
        answered = redirect_response(prepared, records, started)
        if heads is not None:
            heads.finish(answered)
        return answered
    if heads is not None:
        heads.hop()
    if len(records) > prepared.max_redirects:
        native_request.cancel()
        raise TooManyRedirects(f"there were more than {prepared.max_redirects} redirects (net::ERR_TOO_MANY_REDIRECTS, "
                               f"Chromium net error -310) ({prepared.request.method} {prepared.request.url})",
                               kind="Redirect", net_error=-310,
                               request=prepared.request)
    try:
        native_request.follow_redirect()
    except RuntimeError as exc:
        raise from_native(exc, prepared.request) from None
    return None


class RedirectHop:
    """One redirect met in a walk: the 3xx that answered and where it leads.

    ``status_code``, ``url`` (that answered), ``location`` (the absolute
    next URL, without credentials), ``method`` (of the next hop, after the
    browser rules: 301/302 POST and 303 become GET), ``headers`` (of the
    3xx) and ``response`` (the 3xx as a Response).  Call ``follow()`` to go
    on; a hop left unfollowed ends the walk."""

    def __init__(self, walk: "WalkSteps", response: Response, location: str, method: str) -> None:
        self._walk = walk
        self.response = response
        self.status_code = response.status_code
        self.url = response.url
        self.headers: Headers = response.headers
        self.location = location
        self.method = method
        self.followed = False

    def follow(self) -> None:
        """Continues with the next hop."""
        if self.followed:
            return
        self._walk._follow(self)
        self.followed = True

    def __repr__(self) -> str:
        return f"<RedirectHop [{self.status_code} -> {self.method} {self.location}]>"


class WalkSteps:
    """What a blocking and an asyncio redirect walk share: the hops met so
    far, following the latest one, and stopping at it."""

    _native: Any = None

    def __init__(self, prepared: Prepared) -> None:
        self._prepared = prepared
        self._started = time.monotonic()
        self._records: List[RedirectRecord] = []
        self._pending: Optional[RedirectHop] = None
        self._sent: Optional[SentHeads] = None
        self._hop_heads: List[List[bytes]] = []
        self.response: Optional[Response] = None

    def _take_heads(self) -> List[bytes]:
        """The heads sent since the last hop was handed out."""
        if self._sent is None:
            self._sent = SentHeads(self._native, self._prepared.record_heads)
        return self._sent.take()

    def _history(self) -> List[Response]:
        history = build_history(self._prepared.request.method, str(self._prepared.request.url), self._records)
        SentHeads.attach(history, self._hop_heads)
        return history

    def _final_response(self, status: int, head: bytes) -> Tuple[Request, Response]:
        """The request that got the final head and its Response (body not attached)."""
        final = final_request(self._prepared, self._records)
        response = Response(status, head, request=final, url=final.url, history=self._history(),
                            elapsed=datetime.timedelta(seconds=time.monotonic() - self._started))
        response.from_cache = answered_from_cache(self._native, self._prepared)
        response.sent_heads = self._take_heads()
        return final, response

    def _hop(self, record: RedirectRecord) -> RedirectHop:
        history = self._history()
        self._records.append(record)
        self._hop_heads.append(self._take_heads())
        answered = self._history()[-1]
        answered.history = history
        self._pending = RedirectHop(self, answered, record[2], record[3])
        return self._pending

    def _follow(self, hop: RedirectHop) -> None:
        if hop is not self._pending or self.response is not None:
            raise RuntimeError("only the latest hop of a running walk can be followed")
        try:
            self._native.follow_redirect()
        except RuntimeError as exc:
            raise from_native(exc, self._prepared.request) from None

    def stop(self) -> None:
        """Ends the walk at the current hop; ``response`` becomes that 3xx."""
        if self.response is None and self._native is not None:
            self._native.cancel()
            if self._pending is not None:
                self.response = self._pending.response
                self.response.elapsed = datetime.timedelta(seconds=time.monotonic() - self._started)


class BaseClient:
    """The options of a client; see Client for their meaning."""

    def __init__(self, *, impersonate: Optional[str] = None, proxy: Optional[str] = None,
                 proxy_auth: Optional[Tuple[str, str]] = None, verify: VerifyTypes = True,
                 http_version: Optional[str] = None, cache: Union[bool, str] = False,
                 cache_mode: Optional[str] = None,
                 timeout: TimeoutTypes = UNSET, follow_redirects: bool = True, max_redirects: int = 20,
                 headers: HeaderTypes = None, cookies: CookieSource = None, auth: AuthTypes = None,
                 base_url: Optional[str] = None, params: ParamTypes = None,
                 profile_namespace: Optional[str] = None, user_agent: Optional[str] = None,
                 accept_language: Optional[str] = None, trust_env: bool = True, retries: RetryTypes = 0,
                 event_hooks: Optional[EventHooks] = None, record_sent_heads: bool = False,
                 transport: Optional[MockTransport] = None, limits: Optional[Limits] = None,
                 resolve: Optional[Mapping[str, str]] = None, ip_version: Optional[int] = None,
                 dns_over_https: Optional[str] = None, cert: Optional[_config.CertTypes] = None) -> None:
        if isinstance(max_redirects, bool) or not isinstance(max_redirects, int) or max_redirects < 0:
            raise ValueError(f"max_redirects must be a whole number, 0 or more, not {max_redirects!r}")
        use_cache, cache_mode = _config.cache_choice(cache, cache_mode)
        verify_flag, ca_pem = _config.ca_settings(verify)
        proxy_url, url_auth = split_proxy(proxy)
        self._settings = EngineSettings(
            impersonate=impersonate, proxy=proxy_url, proxy_auth=proxy_auth or url_auth, verify=verify_flag,
            ca_pem=ca_pem, http_version=http_version, cache=use_cache, profile_namespace=profile_namespace,
            user_agent=user_agent, accept_language=accept_language,
            options=tuple(limit_options(limits) + dns_options(resolve, ip_version, dns_over_https)),
            client_cert=_config.cert_settings(cert))
        self.limits = limits
        self._explicit_proxy = proxy is not None
        self.timeout = _config.to_timeout(timeout, _config.DEFAULT_TIMEOUT)
        self.follow_redirects = follow_redirects
        self.max_redirects = max_redirects
        self.headers = Headers(headers)
        self.cookies = Cookies(self._jar_backend)
        self.auth = auth
        self.base_url = base_url
        self.params = params
        self.cache_mode = cache_mode
        self.trust_env = trust_env
        self.retries = to_retry(retries)
        self.record_sent_heads = record_sent_heads
        hooks = event_hooks or {}
        unknown = set(hooks) - {"request", "response"}
        if unknown:
            raise ValueError(f"event_hooks takes 'request' and 'response', not {sorted(unknown)}")
        self.event_hooks: Dict[str, List[Callable[..., Any]]] = {
            "request": list(hooks.get("request", ())), "response": list(hooks.get("response", ()))}
        if transport is not None and not isinstance(transport, MockTransport):
            raise TypeError(f"transport must be a vesper.MockTransport, not {type(transport).__name__}")
        self._transport = transport
        # With a transport the cookies answers set are kept here, not in an engine.
        # (cookies without a Domain attribute go back to their host only, as in browsers).
        self._mock_jar = http.cookiejar.CookieJar(http.cookiejar.DefaultCookiePolicy(
            strict_ns_domain=http.cookiejar.DefaultCookiePolicy.DomainStrictNonDomain))
        self._read_environment()
        # Settings whose engine was made (the client's own, the environment's
        # and the per-request proxies).
        self._engines: List[EngineSettings] = []
        # Per-request proxies by URL, least recently used first.
        self._proxies: "collections.OrderedDict[str, EngineSettings]" = collections.OrderedDict()
        self._lock = threading.Lock()
        self._closed = False
        # Response bodies and WebSockets still open: close() cancels them.
        self._open: "weakref.WeakSet[Any]" = weakref.WeakSet()
        # Bodies being read whole inside a request call (held only for the
        # call: a plain set costs less per request than a weak one).
        self._reading: "set[Any]" = set()
        if isinstance(cookies, (str, os.PathLike)):
            self.cookies.load(cookies)
        elif cookies:
            self.cookies.own.update(cookies.items() if isinstance(cookies, Mapping) else cookies)

    @property
    def is_closed(self) -> bool:
        """Whether close() was called."""
        return self._closed

    def _read_environment(self) -> None:
        """Proxies from the environment, read once when the client is made."""
        self._env_proxies: Dict[str, EngineSettings] = {}
        self._no_proxy: Tuple[str, ...] = ()
        if self._explicit_proxy or not self.trust_env:
            return
        for scheme in ("http", "https", "ws", "wss"):
            proxy = _config.proxy_from_env(scheme)
            if proxy is None:
                continue
            clean, url_auth = split_proxy(proxy)
            settings = self._settings.with_proxy(clean)
            if settings.proxy_auth is None:
                settings.proxy_auth = url_auth
            self._env_proxies[scheme] = settings
        self._no_proxy = _config.no_proxy_entries()

    def _settings_for(self, url: str, proxy: Optional[str] = None) -> EngineSettings:
        if proxy is not None:
            return self._proxy_settings(proxy)
        if not self._env_proxies:
            return self._settings
        scheme = url.split(":", 1)[0].lower()
        settings = self._env_proxies.get(scheme)
        if settings is None or (self._no_proxy and _config.bypasses_proxy(url, self._no_proxy)):
            return self._settings
        return settings

    def _proxy_settings(self, proxy: str) -> EngineSettings:
        """The settings of a per-request proxy: the client's, with that
        proxy and the credentials in its URL."""
        if not isinstance(proxy, str) or not proxy:
            raise TypeError(f"proxy must be a proxy URL such as 'http://host:3128', not {proxy!r}")
        with self._lock:
            settings = self._proxies.get(proxy)
            if settings is not None:
                self._proxies.move_to_end(proxy)
                return settings
            clean, url_auth = split_proxy(proxy)
            settings = self._settings.with_proxy(clean)
            settings.proxy_auth = url_auth
            self._proxies[proxy] = settings
            if len(self._proxies) > PROXY_ENGINES:
                _, oldest = self._proxies.popitem(last=False)
                if oldest in self._engines:
                    self._engines.remove(oldest)
                oldest.engine = None
            return settings

    def _jar_backend(self) -> JarBackend:
        """Where ``cookies`` keeps the cookies with a domain: the client's
        engine's jar, or the MockTransport's jar."""
        if self._transport is not None:
            return CookieJarBackend(self._mock_jar)
        return EngineJar(self._engine(self._settings))

    def _engine(self, settings: EngineSettings) -> Any:
        engine = settings.engine
        if engine is not None:
            return engine
        if self._closed:
            raise RuntimeError("the client is closed")
        if self._transport is not None:
            raise TypeError("a client with a MockTransport sends requests only (no WebSocket, no walk_redirects)")
        with self._lock:
            if settings.engine is None:
                try:
                    settings.engine = native.PyEngine(**settings.engine_kwargs())
                except RuntimeError as exc:
                    raise from_native(exc) from None
                self._engines.append(settings)
            return settings.engine

    def build_request(self, method: str, url: str, *, params: ParamTypes = None, headers: HeaderTypes = None,
                      cookies: CookieTypes = None, content: Any = None, data: Any = None, files: Any = None,
                      json: Any = None, auth: AuthTypes = None, timeout: TimeoutTypes = UNSET,
                      follow_redirects: Optional[bool] = None, max_redirects: Optional[int] = None,
                      cache_mode: Optional[str] = None, priority: Optional[str] = None,
                      proxy: Optional[str] = None) -> Prepared:
        """Checks every argument and builds the request; nothing is sent."""
        method = check_method(method)
        if max_redirects is not None and (isinstance(max_redirects, bool) or not isinstance(max_redirects, int)
                                          or max_redirects < 0):
            raise ValueError(f"max_redirects must be a whole number, 0 or more, not {max_redirects!r}")
        if self.base_url:
            url = join_url(self.base_url, url)
        full = merge_url(url, params if self.params is None else _join_params(self.params, params), http_only=True)
        if cache_mode is not None and cache_mode not in _config.CACHE_MODES:
            raise ValueError(f"cache_mode must be one of {_config.CACHE_MODES}, not {cache_mode!r}")
        if priority is not None and priority not in _config.PRIORITIES:
            raise ValueError(f"priority must be one of {_config.PRIORITIES}, not {priority!r}")
        if content is None and data is None and files is None and json is None:
            body_headers: List[Tuple[str, str]] = []
            body: Body = None
        else:
            body_headers, body = encode_body(content=content, data=data, files=files, json=json)
        merged = self.headers.merged(headers)
        for name, value in body_headers:
            if name not in merged:
                merged[name] = value
        use_auth = auth if auth is not None else self.auth
        if use_auth is not None and "authorization" not in merged:
            if not (isinstance(use_auth, tuple) and len(use_auth) == 2):
                raise TypeError("auth must be a (user, password) pair; send a bearer token with headers=")
            merged["Authorization"] = _basic(use_auth)
        all_cookies: Mapping[str, str] = self.cookies.own
        if cookies:
            all_cookies = dict(all_cookies)
            all_cookies.update(cookies.items() if isinstance(cookies, Mapping) else cookies)
        if all_cookies:
            merged.add("Cookie", _cookie_header(all_cookies))
        items = merged._items
        if items:
            check_headers(items)
            check_framing_headers(items, body is not None and not isinstance(body, bytes))
        upload_length = _declared_length(merged, body) if body is not None or items else None
        request = Request(method, full, merged, content=body if isinstance(body, bytes) else b"")
        # Positional: this runs for every request.
        return Prepared(
            request, self._settings_for(full, proxy), body, _config.to_timeout(timeout, self.timeout),
            self.follow_redirects if follow_redirects is None else follow_redirects,
            self.max_redirects if max_redirects is None else max_redirects,
            cache_mode if cache_mode is not None else self.cache_mode, priority,
            self.record_sent_heads and core_records_sent_heads(), upload_length)

    def _native_request(self, prepared: Prepared, manual: bool = False) -> Any:
        engine = self._engine(prepared.settings)
        try:
            native_request = engine.request(prepared.request.method, prepared.request.url,
                                            **prepared.native_kwargs(manual))
            if prepared.streamed and prepared.upload_length is not None:
                _declare_length(native_request, prepared)
            if prepared.core_redirects and prepared.max_redirects > CORE_REDIRECT_LIMIT:
                # Without the extension the Core stops at its own limit.
                if core_has("hy_request_set_max_redirects"):
                    native_request.set_max_redirects(prepared.max_redirects)
            if prepared.record_heads:
                native_request.record_sent_heads()
            if CORE_KEEPS_PHASES:
                limits = prepared.timeout
                native_request.set_timeouts(limits.connect, limits.read, limits.write, limits.pool)
            return native_request
        except RuntimeError as exc:
            raise from_native(exc, prepared.request) from None

    def _track(self, item: _T) -> _T:
        """Registers an open body or WebSocket (it has ``abort()``)."""
        self._open.add(item)
        return item

    def _release_engines(self) -> None:
        """Cancels what is still open and releases the engines: their network
        threads end once nothing holds them."""
        for item in [*self._open, *self._reading]:
            item.abort()
        self._open.clear()
        self._closed = True
        with self._lock:
            for settings in self._engines:
                settings.engine = None
            self._engines.clear()
            self._proxies.clear()
