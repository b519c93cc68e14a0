"""The module-level calls: one request with a throw-away Client."""

from __future__ import annotations

import contextlib
from typing import Any, Iterator, Optional, Tuple

from ._base import AuthTypes, CookieTypes
from ._client import Client
from ._config import UNSET, TimeoutTypes, VerifyTypes
from ._content import ContentTypes, DataTypes, FilesTypes, ParamTypes
from ._headers import HeaderTypes
from ._models import Response

__all__ = ["request", "stream", "get", "head", "options", "post", "put", "patch", "delete"]

_CLIENT_OPTIONS = ("verify", "proxy", "proxy_auth", "impersonate", "trust_env", "http_version", "retries",
                   "user_agent", "accept_language")


def _split(arguments: dict[str, Any]) -> Tuple[dict[str, Any], dict[str, Any]]:
    """(Client options, request arguments) from a call's arguments."""
    options = {name: arguments.pop(name) for name in _CLIENT_OPTIONS}
    return options, arguments


def request(
        method: str, url: str,
        *, params: ParamTypes = None, headers: HeaderTypes = None, cookies: CookieTypes = None,
        content: Optional[ContentTypes] = None, data: Optional[DataTypes] = None, files: Optional[FilesTypes] = None,
        json: Any = None, auth: AuthTypes = None, timeout: TimeoutTypes = UNSET,
        follow_redirects: Optional[bool] = None, max_redirects: Optional[int] = None, priority: Optional[str] = None,
        verify: VerifyTypes = True, proxy: Optional[str] = None, proxy_auth: Optional[Tuple[str, str]] = None,
        impersonate: Optional[str] = None, trust_env: bool = True, http_version: Optional[str] = None,
        retries: int = 0, user_agent: Optional[str] = None, accept_language: Optional[str] = None) -> Response:
    """Sends one request with a throw-away ``Client`` (no HTTP cache, no
    cookies kept) and returns the response, its body read.

    The request arguments are those of ``Client.request``; ``verify``,
    ``proxy``, ``proxy_auth``, ``impersonate``, ``trust_env``,
    ``http_version``, ``retries``, ``user_agent`` and ``accept_language``
    are the Client's options.  For several requests make a ``Client``: it
    keeps connections, cookies and TLS sessions.
    """
    options, arguments = _split(dict(
        params=params, headers=headers, cookies=cookies, content=content, data=data, files=files,
        json=json, auth=auth, timeout=timeout, follow_redirects=follow_redirects, max_redirects=max_redirects,
        priority=priority, verify=verify, proxy=proxy, proxy_auth=proxy_auth, impersonate=impersonate,
        trust_env=trust_env, http_version=http_version, retries=retries, user_agent=user_agent,
        accept_language=accept_language))
    with Client(**options) as client:
        return client.request(method, url, **arguments)


@contextlib.contextmanager
def stream(
        method: str, url: str,
        *, params: ParamTypes = None, headers: HeaderTypes = None, cookies: CookieTypes = None,
        content: Optional[ContentTypes] = None, data: Optional[DataTypes] = None, files: Optional[FilesTypes] = None,
        json: Any = None, auth: AuthTypes = None, timeout: TimeoutTypes = UNSET,
        follow_redirects: Optional[bool] = None, max_redirects: Optional[int] = None, priority: Optional[str] = None,
        verify: VerifyTypes = True, proxy: Optional[str] = None, proxy_auth: Optional[Tuple[str, str]] = None,
        impersonate: Optional[str] = None, trust_env: bool = True, http_version: Optional[str] = None,
        retries: int = 0, user_agent: Optional[str] = None, accept_language: Optional[str] = None) -> Iterator[Response]:
    """As ``request``, but the body is left to read inside the ``with``
    block (``iter_bytes()``, ``iter_lines()``, ``download_to()`` ...); the
    response and its throw-away client are closed when the block ends::

        with vesper.stream("GET", url) as response:
            response.download_to("file.bin")
    """
    options, arguments = _split(dict(
        params=params, headers=headers, cookies=cookies, content=content, data=data, files=files,
        json=json, auth=auth, timeout=timeout, follow_redirects=follow_redirects, max_redirects=max_redirects,
        priority=priority, verify=verify, proxy=proxy, proxy_auth=proxy_auth, impersonate=impersonate,
        trust_env=trust_env, http_version=http_version, retries=retries, user_agent=user_agent,
        accept_language=accept_language))
    with Client(**options) as client, client.stream(method, url, **arguments) as response:
        yield response



def get(
        url: str,
        *, params: ParamTypes = None, headers: HeaderTypes = None, cookies: CookieTypes = None,
        content: Optional[ContentTypes] = None, data: Optional[DataTypes] = None, files: Optional[FilesTypes] = None,
        json: Any = None, auth: AuthTypes = None, timeout: TimeoutTypes = UNSET,
        follow_redirects: Optional[bool] = None, max_redirects: Optional[int] = None, priority: Optional[str] = None,
        verify: VerifyTypes = True, proxy: Optional[str] = None, proxy_auth: Optional[Tuple[str, str]] = None,
        impersonate: Optional[str] = None, trust_env: bool = True, http_version: Optional[str] = None,
        retries: int = 0, user_agent: Optional[str] = None, accept_language: Optional[str] = None) -> Response:
    """GET ``url`` with a throw-away ``Client``; the parameters are those of ``vesper.request``."""
    return request("GET", url, params=params, headers=headers, cookies=cookies, content=content, data=data, files=files,
        json=json, auth=auth, timeout=timeout, follow_redirects=follow_redirects, max_redirects=max_redirects,
        priority=priority, verify=verify, proxy=proxy, proxy_auth=proxy_auth, impersonate=impersonate,
        trust_env=trust_env, http_version=http_version, retries=retries, user_agent=user_agent,
        accept_language=accept_language)


def head(
        url: str,
        *, params: ParamTypes = None, headers: HeaderTypes = None, cookies: CookieTypes = None,
        content: Optional[ContentTypes] = None, data: Optional[DataTypes] = None, files: Optional[FilesTypes] = None,
        json: Any = None, auth: AuthTypes = None, timeout: TimeoutTypes = UNSET,
        follow_redirects: Optional[bool] = None, max_redirects: Optional[int] = None, priority: Optional[str] = None,
        verify: VerifyTypes = True, proxy: Optional[str] = None, proxy_auth: Optional[Tuple[str, str]] = None,
        impersonate: Optional[str] = None, trust_env: bool = True, http_version: Optional[str] = None,
        retries: int = 0, user_agent: Optional[str] = None, accept_language: Optional[str] = None) -> Response:
    """HEAD ``url`` with a throw-away ``Client``; the parameters are those of ``vesper.request``."""
    return request("HEAD", url, params=params, headers=headers, cookies=cookies, content=content, data=data, files=files,
        json=json, auth=auth, timeout=timeout, follow_redirects=follow_redirects, max_redirects=max_redirects,
        priority=priority, verify=verify, proxy=proxy, proxy_auth=proxy_auth, impersonate=impersonate,
        trust_env=trust_env, http_version=http_version, retries=retries, user_agent=user_agent,
        accept_language=accept_language)


def options(
        url: str,
        *, params: ParamTypes = None, headers: HeaderTypes = None, cookies: CookieTypes = None,
        content: Optional[ContentTypes] = None, data: Optional[DataTypes] = None, files: Optional[FilesTypes] = None,
        json: Any = None, auth: AuthTypes = None, timeout: TimeoutTypes = UNSET,
        follow_redirects: Optional[bool] = None, max_redirects: Optional[int] = None, priority: Optional[str] = None,
        verify: VerifyTypes = True, proxy: Optional[str] = None, proxy_auth: Optional[Tuple[str, str]] = None,
        impersonate: Optional[str] = None, trust_env: bool = True, http_version: Optional[str] = None,
        retries: int = 0, user_agent: Optional[str] = None, accept_language: Optional[str] = None) -> Response:
    """OPTIONS ``url`` with a throw-away ``Client``; the parameters are those of ``vesper.request``."""
    return request("OPTIONS", url, params=params, headers=headers, cookies=cookies, content=content, data=data, files=files,
        json=json, auth=auth, timeout=timeout, follow_redirects=follow_redirects, max_redirects=max_redirects,
        priority=priority, verify=verify, proxy=proxy, proxy_auth=proxy_auth, impersonate=impersonate,
        trust_env=trust_env, http_version=http_version, retries=retries, user_agent=user_agent,
        accept_language=accept_language)


def post(
        url: str,
        *, params: ParamTypes = None, headers: HeaderTypes = None, cookies: CookieTypes = None,
        content: Optional[ContentTypes] = None, data: Optional[DataTypes] = None, files: Optional[FilesTypes] = None,
        json: Any = None, auth: AuthTypes = None, timeout: TimeoutTypes = UNSET,
        follow_redirects: Optional[bool] = None, max_redirects: Optional[int] = None, priority: Optional[str] = None,
        verify: VerifyTypes = True, proxy: Optional[str] = None, proxy_auth: Optional[Tuple[str, str]] = None,
        impersonate: Optional[str] = None, trust_env: bool = True, http_version: Optional[str] = None,
        retries: int = 0, user_agent: Optional[str] = None, accept_language: Optional[str] = None) -> Response:
    """POST ``url`` with a throw-away ``Client``; the parameters are those of ``vesper.request``."""
    return request("POST", url, params=params, headers=headers, cookies=cookies, content=content, data=data, files=files,
        json=json, auth=auth, timeout=timeout, follow_redirects=follow_redirects, max_redirects=max_redirects,
        priority=priority, verify=verify, proxy=proxy, proxy_auth=proxy_auth, impersonate=impersonate,
        trust_env=trust_env, http_version=http_version, retries=retries, user_agent=user_agent,
        accept_language=accept_language)


def put(
        url: str,
        *, params: ParamTypes = None, headers: HeaderTypes = None, cookies: CookieTypes = None,
        content: Optional[ContentTypes] = None, data: Optional[DataTypes] = None, files: Optional[FilesTypes] = None,
        json: Any = None, auth: AuthTypes = None, timeout: TimeoutTypes = UNSET,
        follow_redirects: Optional[bool] = None, max_redirects: Optional[int] = None, priority: Optional[str] = None,
        verify: VerifyTypes = True, proxy: Optional[str] = None, proxy_auth: Optional[Tuple[str, str]] = None,
        impersonate: Optional[str] = None, trust_env: bool = True, http_version: Optional[str] = None,
        retries: int = 0, user_agent: Optional[str] = None, accept_language: Optional[str] = None) -> Response:
    """PUT ``url`` with a throw-away ``Client``; the parameters are those of ``vesper.request``."""
    return request("PUT", url, params=params, headers=headers, cookies=cookies, content=content, data=data, files=files,
        json=json, auth=auth, timeout=timeout, follow_redirects=follow_redirects, max_redirects=max_redirects,
        priority=priority, verify=verify, proxy=proxy, proxy_auth=proxy_auth, impersonate=impersonate,
        trust_env=trust_env, http_version=http_version, retries=retries, user_agent=user_agent,
        accept_language=accept_language)


def patch(
        url: str,
        *, params: ParamTypes = None, headers: HeaderTypes = None, cookies: CookieTypes = None,
        content: Optional[ContentTypes] = None, data: Optional[DataTypes] = None, files: Optional[FilesTypes] = None,
        json: Any = None, auth: AuthTypes = None, timeout: TimeoutTypes = UNSET,
        follow_redirects: Optional[bool] = None, max_redirects: Optional[int] = None, priority: Optional[str] = None,
        verify: VerifyTypes = True, proxy: Optional[str] = None, proxy_auth: Optional[Tuple[str, str]] = None,
        impersonate: Optional[str] = None, trust_env: bool = True, http_version: Optional[str] = None,
        retries: int = 0, user_agent: Optional[str] = None, accept_language: Optional[str] = None) -> Response:
    """PATCH ``url`` with a throw-away ``Client``; the parameters are those of ``vesper.request``."""
    return request("PATCH", url, params=params, headers=headers, cookies=cookies, content=content, data=data, files=files,
        json=json, auth=auth, timeout=timeout, follow_redirects=follow_redirects, max_redirects=max_redirects,
        priority=priority, verify=verify, proxy=proxy, proxy_auth=proxy_auth, impersonate=impersonate,
        trust_env=trust_env, http_version=http_version, retries=retries, user_agent=user_agent,
        accept_language=accept_language)


def delete(
        url: str,
        *, params: ParamTypes = None, headers: HeaderTypes = None, cookies: CookieTypes = None,
        content: Optional[ContentTypes] = None, data: Optional[DataTypes] = None, files: Optional[FilesTypes] = None,
        json: Any = None, auth: AuthTypes = None, timeout: TimeoutTypes = UNSET,
        follow_redirects: Optional[bool] = None, max_redirects: Optional[int] = None, priority: Optional[str] = None,
        verify: VerifyTypes = True, proxy: Optional[str] = None, proxy_auth: Optional[Tuple[str, str]] = None,
        impersonate: Optional[str] = None, trust_env: bool = True, http_version: Optional[str] = None,
        retries: int = 0, user_agent: Optional[str] = None, accept_language: Optional[str] = None) -> Response:
    """DELETE ``url`` with a throw-away ``Client``; the parameters are those of ``vesper.request``."""
    return request("DELETE", url, params=params, headers=headers, cookies=cookies, content=content, data=data, files=files,
        json=json, auth=auth, timeout=timeout, follow_redirects=follow_redirects, max_redirects=max_redirects,
        priority=priority, verify=verify, proxy=proxy, proxy_auth=proxy_auth, impersonate=impersonate,
        trust_env=trust_env, http_version=http_version, retries=retries, user_agent=user_agent,
        accept_language=accept_language)
