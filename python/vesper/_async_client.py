"""AsyncClient: the asyncio HTTP client."""

from __future__ import annotations

import asyncio
import contextlib
import inspect
import time
from typing import TYPE_CHECKING, Any, AsyncIterator, List, Mapping, Optional, Sequence, Tuple, Union

from . import _native
from ._base import (AuthTypes, BaseClient, CookieTypes, HopHeads, Prepared, RedirectHop, WalkSteps,
                    final_response, redirect_step, upload_guard)
from ._config import UNSET, Timeout, TimeoutTypes
from ._content import ContentTypes, DataTypes, FilesTypes, ParamTypes
from ._exceptions import (ConnectError, ConnectTimeout, Error, ReadTimeout, RemoteProtocolError, RequestCancelled,
                          from_native)
from ._headers import HeaderTypes
from ._hub import Channel, forget_engines, hub_for
from ._models import JOINED_PIECES, Request, Response, aread_to_end
from ._mock import asend_mock
from ._native import RedirectRecord, RequestEvent, core_has
from ._retry import RetryRun

if TYPE_CHECKING:
    from ._websocket import AsyncWebSocketConnect

__all__ = ["AsyncClient", "AsyncRedirectWalk"]


def _record(event: RequestEvent) -> RedirectRecord:
    return int(event.status or 0), event.head or b"", event.location or "", event.method or ""


class _AsyncBody:
    """Reads one request's body: taken from the request itself, the channel
    awaited only when nothing is there (its READABLE and ENDED events say
    when to take again)."""

    def __init__(self, channel: "Channel[RequestEvent]", native_request: Any, timeout: Timeout,
                 request: Request) -> None:
        self._channel = channel
        self._native = native_request
        self._timeout = timeout.read
        self._request = request
        self._aborted = False

    async def read_chunk(self) -> bytes:
        while True:
            try:
                chunk: Optional[bytes] = self._native.take_available(JOINED_PIECES)
            except RuntimeError as exc:
                raise from_native(exc, self._request) from None
            if chunk is not None:
                return chunk
            if self._channel.finished and not self._channel.pending:
                if self._aborted:
                    # Closed (the client or the response) while a reader
                    # waited: what came is not the whole body.
                    raise RequestCancelled(f"the body was cancelled before its end ({self._request.method} "
                                           f"{self._request.url})", kind="Canceled", net_error=-3,
                                           request=self._request)
                # Cancelled while running: nothing more comes.
                return b""
            try:
                await self._channel.get(self._timeout)
            except TimeoutError:
                self._native.cancel()
                raise ReadTimeout(f"no body bytes within {self._timeout} s ({self._request.method} "
                                  f"{self._request.url})", request=self._request) from None

    async def read_all(self) -> bytes:
        return await aread_to_end(self.read_chunk)

    async def close(self) -> None:
        self.abort()

    def abort(self) -> None:
        if not self._native.is_finished():
            self._aborted = True
            self._native.cancel()
            self._channel.end()


async def _call_hook(hook: Any, value: Any) -> None:
    result = hook(value)
    if inspect.isawaitable(result):
        await result


class AsyncClient(BaseClient):
    """The asyncio twin of ``Client``: the same options, every request
    method a coroutine.  All requests of one event loop share one native
    event hub, which wakes the loop at most once per batch of events."""

    async def __aenter__(self) -> "AsyncClient":
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.aclose()

    async def aclose(self) -> None:
        """Cancels what is still open and releases the engines (see ``Client.close``)."""
        forget_engines(settings.engine for settings in self._engines if settings.engine is not None)
        self._release_engines()

    async def request(self, method: str, url: str, *, params: ParamTypes = None, headers: HeaderTypes = None,
                      cookies: CookieTypes = None, content: Optional[ContentTypes] = None,
                      data: Optional[DataTypes] = None, files: Optional[FilesTypes] = None, json: Any = None, auth: AuthTypes = None, timeout: TimeoutTypes = UNSET,
                      follow_redirects: Optional[bool] = None, max_redirects: Optional[int] = None,
                      cache_mode: Optional[str] = None, priority: Optional[str] = None,
                      proxy: Optional[str] = None) -> Response:
        """Sends one request and reads the whole response (see ``Client.request``)."""
        prepared = self.build_request(method, url, params=params, headers=headers, cookies=cookies,
                                      content=content, data=data, files=files, json=json, auth=auth,
                                      timeout=timeout, follow_redirects=follow_redirects,
                                      max_redirects=max_redirects, cache_mode=cache_mode, priority=priority,
                                      proxy=proxy)
        return await self.send(prepared)

    async def send(self, prepared: Prepared, *, stream: bool = False) -> Response:
        """Sends a request made by ``build_request``."""
        if not self.retries.total:
            return await self._send_once(prepared, stream)
        run = RetryRun(self.retries, prepared.request.method, prepared.replayable)
        while True:
            try:
                response = await self._send_once(prepared, stream)
            except Error as exc:
                pause = run.after_error(exc)
                if pause is None:
                    raise
                await asyncio.sleep(pause)
                continue
            pause = run.after_response(response)
            if pause is None:
                return run.finish(response)
            await response.aclose()
            await asyncio.sleep(pause)

    @contextlib.asynccontextmanager
    async def stream(
            self, method: str, url: str, *, params: ParamTypes = None, headers: HeaderTypes = None,
            cookies: CookieTypes = None, content: Optional[ContentTypes] = None, data: Optional[DataTypes] = None,
            files: Optional[FilesTypes] = None, json: Any = None, auth: AuthTypes = None,
            timeout: TimeoutTypes = UNSET, follow_redirects: Optional[bool] = None,
            max_redirects: Optional[int] = None, cache_mode: Optional[str] = None,
            priority: Optional[str] = None, proxy: Optional[str] = None) -> AsyncIterator[Response]:
        """As ``request``, leaving the body to ``aiter_bytes()``/``aread()``
        inside the ``async with`` block."""
        prepared = self.build_request(
            method, url, params=params, headers=headers, cookies=cookies, content=content, data=data,
            files=files, json=json, auth=auth, timeout=timeout, follow_redirects=follow_redirects,
            max_redirects=max_redirects, cache_mode=cache_mode, priority=priority, proxy=proxy)
        response = await self.send(prepared, stream=True)
        try:
            yield response
        finally:
            await response.aclose()

    async def get(
            self, url: str, *, params: ParamTypes = None, headers: HeaderTypes = None, cookies: CookieTypes = None,
            content: Optional[ContentTypes] = None, data: Optional[DataTypes] = None,
            files: Optional[FilesTypes] = None, json: Any = None, auth: AuthTypes = None,
            timeout: TimeoutTypes = UNSET, follow_redirects: Optional[bool] = None,
            max_redirects: Optional[int] = None, cache_mode: Optional[str] = None,
            priority: Optional[str] = None, proxy: Optional[str] = None) -> Response:
        """GET ``url``; the parameters are those of ``request``."""
        return await self.request("GET", url, params=params, headers=headers, cookies=cookies, content=content,
            data=data, files=files, json=json, auth=auth, timeout=timeout, follow_redirects=follow_redirects,
            max_redirects=max_redirects, cache_mode=cache_mode, priority=priority, proxy=proxy)

    async def head(
            self, url: str, *, params: ParamTypes = None, headers: HeaderTypes = None, cookies: CookieTypes = None,
            content: Optional[ContentTypes] = None, data: Optional[DataTypes] = None,
            files: Optional[FilesTypes] = None, json: Any = None, auth: AuthTypes = None,
            timeout: TimeoutTypes = UNSET, follow_redirects: Optional[bool] = None,
            max_redirects: Optional[int] = None, cache_mode: Optional[str] = None,
            priority: Optional[str] = None, proxy: Optional[str] = None) -> Response:
        """HEAD ``url``; the parameters are those of ``request``."""
        return await self.request("HEAD", url, params=params, headers=headers, cookies=cookies, content=content,
            data=data, files=files, json=json, auth=auth, timeout=timeout, follow_redirects=follow_redirects,
            max_redirects=max_redirects, cache_mode=cache_mode, priority=priority, proxy=proxy)

    async def options(
            self, url: str, *, params: ParamTypes = None, headers: HeaderTypes = None, cookies: CookieTypes = None,
            content: Optional[ContentTypes] = None, data: Optional[DataTypes] = None,
            files: Optional[FilesTypes] = None, json: Any = None, auth: AuthTypes = None,
            timeout: TimeoutTypes = UNSET, follow_redirects: Optional[bool] = None,
            max_redirects: Optional[int] = None, cache_mode: Optional[str] = None,
            priority: Optional[str] = None, proxy: Optional[str] = None) -> Response:
        """OPTIONS ``url``; the parameters are those of ``request``."""
        return await self.request("OPTIONS", url, params=params, headers=headers, cookies=cookies, content=content,
            data=data, files=files, json=json, auth=auth, timeout=timeout, follow_redirects=follow_redirects,
            max_redirects=max_redirects, cache_mode=cache_mode, priority=priority, proxy=proxy)

    async def post(
            self, url: str, *, params: ParamTypes = None, headers: HeaderTypes = None, cookies: CookieTypes = None,
            content: Optional[ContentTypes] = None, data: Optional[DataTypes] = None,
            files: Optional[FilesTypes] = None, json: Any = None, auth: AuthTypes = None,
            timeout: TimeoutTypes = UNSET, follow_redirects: Optional[bool] = None,
            max_redirects: Optional[int] = None, cache_mode: Optional[str] = None,
            priority: Optional[str] = None, proxy: Optional[str] = None) -> Response:
        """POST ``url``; the parameters are those of ``request``."""
        return await self.request("POST", url, params=params, headers=headers, cookies=cookies, content=content,
            data=data, files=files, json=json, auth=auth, timeout=timeout, follow_redirects=follow_redirects,
            max_redirects=max_redirects, cache_mode=cache_mode, priority=priority, proxy=proxy)

    async def put(
            self, url: str, *, params: ParamTypes = None, headers: HeaderTypes = None, cookies: CookieTypes = None,
            content: Optional[ContentTypes] = None, data: Optional[DataTypes] = None,
            files: Optional[FilesTypes] = None, json: Any = None, auth: AuthTypes = None,
            timeout: TimeoutTypes = UNSET, follow_redirects: Optional[bool] = None,
            max_redirects: Optional[int] = None, cache_mode: Optional[str] = None,
            priority: Optional[str] = None, proxy: Optional[str] = None) -> Response:
        """PUT ``url``; the parameters are those of ``request``."""
        return await self.request("PUT", url, params=params, headers=headers, cookies=cookies, content=content,
            data=data, files=files, json=json, auth=auth, timeout=timeout, follow_redirects=follow_redirects,
            max_redirects=max_redirects, cache_mode=cache_mode, priority=priority, proxy=proxy)

    async def patch(
            self, url: str, *, params: ParamTypes = None, headers: HeaderTypes = None, cookies: CookieTypes = None,
            content: Optional[ContentTypes] = None, data: Optional[DataTypes] = None,
            files: Optional[FilesTypes] = None, json: Any = None, auth: AuthTypes = None,
            timeout: TimeoutTypes = UNSET, follow_redirects: Optional[bool] = None,
            max_redirects: Optional[int] = None, cache_mode: Optional[str] = None,
            priority: Optional[str] = None, proxy: Optional[str] = None) -> Response:
        """PATCH ``url``; the parameters are those of ``request``."""
        return await self.request("PATCH", url, params=params, headers=headers, cookies=cookies, content=content,
            data=data, files=files, json=json, auth=auth, timeout=timeout, follow_redirects=follow_redirects,
            max_redirects=max_redirects, cache_mode=cache_mode, priority=priority, proxy=proxy)

    async def delete(
            self, url: str, *, params: ParamTypes = None, headers: HeaderTypes = None, cookies: CookieTypes = None,
            content: Optional[ContentTypes] = None, data: Optional[DataTypes] = None,
            files: Optional[FilesTypes] = None, json: Any = None, auth: AuthTypes = None,
            timeout: TimeoutTypes = UNSET, follow_redirects: Optional[bool] = None,
            max_redirects: Optional[int] = None, cache_mode: Optional[str] = None,
            priority: Optional[str] = None, proxy: Optional[str] = None) -> Response:
        """DELETE ``url``; the parameters are those of ``request``."""
        return await self.request("DELETE", url, params=params, headers=headers, cookies=cookies, content=content,
            data=data, files=files, json=json, auth=auth, timeout=timeout, follow_redirects=follow_redirects,
            max_redirects=max_redirects, cache_mode=cache_mode, priority=priority, proxy=proxy)

    def walk_redirects(
            self, method: str, url: str, *, stream: bool = False,
            params: ParamTypes = None, headers: HeaderTypes = None,
            cookies: CookieTypes = None, content: Optional[ContentTypes] = None, data: Optional[DataTypes] = None,
            files: Optional[FilesTypes] = None, json: Any = None, auth: AuthTypes = None,
            timeout: TimeoutTypes = UNSET, follow_redirects: Optional[bool] = None,
            max_redirects: Optional[int] = None, cache_mode: Optional[str] = None,
            priority: Optional[str] = None, proxy: Optional[str] = None) -> "AsyncRedirectWalk":
        """The asyncio twin of ``Client.walk_redirects``:

            async with client.walk_redirects("GET", url) as walk:
                async for hop in walk:
                    hop.follow()
            print(walk.response)

        With ``stream=True`` the final body is left to read (``aiter_bytes()``
        and friends) inside the ``async with`` block, which closes it.
        """
        return AsyncRedirectWalk(self, self.build_request(
            method, url, params=params, headers=headers, cookies=cookies, content=content, data=data,
            files=files, json=json, auth=auth, timeout=timeout, follow_redirects=follow_redirects,
            max_redirects=max_redirects, cache_mode=cache_mode, priority=priority, proxy=proxy), stream)

    def websocket(self, url: str, *, subprotocols: Optional[Sequence[str]] = None,
                  headers: HeaderTypes = None, origin: Optional[str] = None,
                  timeout: TimeoutTypes = UNSET,
                  deflate: Union[bool, Mapping[str, Union[bool, int]]] = True,
                  proxy: Optional[str] = None) -> "AsyncWebSocketConnect":
        """Opens a WebSocket (``deflate`` and ``proxy`` as for
        ``Client.websocket``).  Use it as ``async with client.websocket(url)
        as ws:`` (closed when the block ends) or ``ws = await
        client.websocket(url)``; either gives the connected
        ``AsyncWebSocket``."""
        from ._websocket import AsyncWebSocketConnect, connect_async_websocket
        return AsyncWebSocketConnect(connect_async_websocket(self, url, subprotocols, headers, origin, timeout,
                                                             deflate, proxy))

    # --- the exchange ---------------------------------------------------
    async def _start(self, prepared: Prepared, manual: bool = False) -> Tuple[Any, "Channel[RequestEvent]"]:
        for hook in self.event_hooks["request"]:
            await _call_hook(hook, prepared.request)
        native_request = self._native_request(prepared, manual)
        try:
            channel = hub_for(asyncio.get_running_loop()).start_request(native_request,
                                                                        self._engine(prepared.settings))
        except RuntimeError as exc:
            raise from_native(exc, prepared.request) from None
        if prepared.streamed:
            await self._upload(native_request, prepared, channel.driver)
        return native_request, channel

    @staticmethod
    async def _upload(native_request: Any, prepared: Prepared, driver: Optional[Any] = None) -> None:
        loop = asyncio.get_running_loop()
        body: Any = prepared.body

        async def pieces() -> AsyncIterator[bytes]:
            if hasattr(body, "__aiter__"):
                async for piece in body:
                    yield piece
            else:
                for piece in body:
                    yield piece

        if driver is not None and core_has("hy_request_upload_push"):
            # The loop runs the engine: each piece is queued here without
            # waiting, and a full queue is waited for on the loop, whose
            # own rounds send it.
            with upload_guard(native_request, prepared):
                async for piece in pieces():
                    if native_request.upload_offer(piece, False):
                        await driver.room(native_request)
                native_request.upload_offer(b"", True)
            return
        with upload_guard(native_request, prepared):
            async for piece in pieces():
                # upload_write may wait on the Core's back-pressure: off the loop.
                await loop.run_in_executor(None, _native.upload_write, native_request, piece, False)
            await loop.run_in_executor(None, native_request.upload_finish)

    @staticmethod
    async def _next_step(channel: "Channel[RequestEvent]", native_request: Any,
                         prepared: Prepared) -> Tuple[Any, ...]:
        """("redirect", record) or ("head", status, head)."""
        while True:
            try:
                event = await channel.get(prepared.waits.head)
            except TimeoutError:
                native_request.cancel()
                raise ReadTimeout(f"no response within {prepared.waits.head} s ({prepared.request.method} "
                                  f"{prepared.request.url})", request=prepared.request) from None
            except asyncio.CancelledError:
                native_request.cancel()
                raise
            if event is None:
                raise RemoteProtocolError("the request ended without a response", request=prepared.request)
            kind = event.kind
            if kind == RequestEvent.REDIRECT:
                return ("redirect", _record(event))
            if kind == RequestEvent.RESPONSE:
                return ("head", int(event.status or 0), event.head or b"")
            if kind == RequestEvent.ERROR and event.failure is not None:
                raise from_native(event.failure, prepared.request)

    async def _send_once(self, prepared: Prepared, stream: bool) -> Response:
        if self._transport is not None:
            for hook in self.event_hooks["request"]:
                await _call_hook(hook, prepared.request)
            return await self._finish(await asend_mock(self, self._transport, prepared), stream)
        started = time.monotonic()
        native_request, channel = await self._start(prepared)
        records: List[RedirectRecord] = []
        heads = HopHeads(native_request, prepared) if prepared.record_heads else None
        while True:
            step = await self._next_step(channel, native_request, prepared)
            if step[0] == "head":
                status, head = step[1], step[2]
                break
            records.append(step[1])
            if prepared.core_redirects:
                continue
            answered = redirect_step(native_request, prepared, records, started, heads)
            if answered is not None:
                return answered
        response = final_response(prepared, records, status, head, started, heads, native_request)
        body = _AsyncBody(channel, native_request, prepared.waits, response.request)
        if stream or self.event_hooks["response"]:
            response._attach_async(self._track(body))
            return await self._finish(response, stream)
        # Read whole before this call returns, with no hook to run; listed
        # meanwhile, so that aclose() from another task cancels the read.
        self._reading.add(body)
        try:
            response._content = await body.read_all()
        except BaseException:
            body.abort()
            raise
        finally:
            self._reading.discard(body)
        response._closed = True
        return response

    async def _finish(self, response: Response, stream: bool) -> Response:
        """The response hooks, then the whole body unless streaming."""
        for hook in self.event_hooks["response"]:
            await _call_hook(hook, response)
        if not stream:
            try:
                await response.aread()
            except BaseException:
                await response.aclose()
                raise
        return response


class AsyncRedirectWalk(WalkSteps):
    """The asyncio twin of ``RedirectWalk`` (``async for hop in walk``)."""

    def __init__(self, client: AsyncClient, prepared: Prepared, stream: bool = False) -> None:
        super().__init__(prepared)
        self._client = client
        self._stream = stream
        self._channel: "Optional[Channel[RequestEvent]]" = None

    def __aiter__(self) -> "AsyncRedirectWalk":
        return self

    async def __anext__(self) -> RedirectHop:
        if self._native is None:
            self._native, self._channel = await self._client._start(self._prepared, manual=True)
        assert self._channel is not None
        if self.response is not None:
            raise StopAsyncIteration
        if self._pending is not None and not self._pending.followed:
            self.stop()
            raise StopAsyncIteration
        step = await AsyncClient._next_step(self._channel, self._native, self._prepared)
        if step[0] == "head":
            final, response = self._final_response(step[1], step[2])
            response._attach_async(self._client._track(_AsyncBody(self._channel, self._native,
                                                                  self._prepared.waits, final)))
            if not self._stream:
                await response.aread()
            self.response = response
            raise StopAsyncIteration
        return self._hop(step[1])

    async def __aenter__(self) -> "AsyncRedirectWalk":
        return self

    async def __aexit__(self, *exc: object) -> None:
        self.stop()
        if self._stream and self.response is not None:
            await self.response.aclose()



