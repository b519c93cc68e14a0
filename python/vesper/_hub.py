"""asyncio event routing: one hub per event loop feeds every request and
WebSocket of that loop into its own ``Channel``.

With the module's ``PyEventHub`` the Core wakes the loop at most once per
poll cycle for all objects together; one ``poll`` hands out (tag, event)
pairs.  An older module without the hub is driven per object through
``start_async``.
"""

from __future__ import annotations

import asyncio
import collections
import itertools
import weakref
from typing import Any, Callable, Deque, Dict, Optional, Tuple

from . import _native
from ._native import native

__all__ = ["Channel", "LoopHub", "hub_for"]

_BATCH = 256
_OBJECT_BATCH = 64
# Polling interval of a WebSocket whose notifications were detached by close().
_POLL_INTERVAL = 0.005

Event = Tuple[Any, ...]


class Channel:
    """The events of one native object as the loop receives them."""

    def __init__(self, loop: asyncio.AbstractEventLoop, terminal: frozenset[str]) -> None:
        self._loop = loop
        self._terminal = terminal
        self._events: Deque[Event] = collections.deque()
        self._waiter: Optional[asyncio.Future[None]] = None
        self.finished = False
        self.buffered = 0
        self.on_taken: Optional[Callable[[], None]] = None

    def push(self, event: Event) -> None:
        if self.finished:
            return
        self._events.append(event)
        if event[0] == "body":
            self.buffered += len(event[3])
        if event[0] in self._terminal:
            self.finished = True
        waiter = self._waiter
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    async def get(self, timeout: Optional[float] = None) -> Optional[Event]:
        """The next event, None after the terminal one; the builtin
        TimeoutError when ``timeout`` ran out first."""
        while not self._events:
            if self.finished:
                return None
            self._waiter = self._loop.create_future()
            try:
                if timeout is None:
                    await self._waiter
                else:
                    await asyncio.wait_for(asyncio.shield(self._waiter), timeout)
            except asyncio.TimeoutError:
                raise TimeoutError("timed out waiting for the next event") from None
            finally:
                self._waiter = None
        event = self._events.popleft()
        if event[0] == "body":
            self.buffered -= len(event[3])
            if self.on_taken is not None:
                self.on_taken()
        return event


class _ObjectPump:
    """Per-object driving for a module without the hub: polls one object
    when it notifies, and holds back while its channel is full (the Core
    then pauses at 1 MiB)."""

    _LIMIT = 1 << 20

    def __init__(self, source: Any, channel: Channel, websocket: bool) -> None:
        self._source = source
        self._channel = channel
        self._websocket = websocket
        channel.on_taken = self._resume

    def drain(self) -> None:
        while not self._channel.finished and self._channel.buffered < self._LIMIT:
            if self._websocket:
                batch = _native.ws_poll(self._source, _OBJECT_BATCH)
            else:
                batch = _native.poll_events(self._source, _OBJECT_BATCH)
            for event in batch:
                self._channel.push(event)
            if len(batch) < _OBJECT_BATCH:
                break

    def _resume(self) -> None:
        if self._channel.buffered < self._LIMIT // 2:
            self.drain()


def _weak_call(target: Any, method: str) -> Callable[[], None]:
    ref = weakref.ref(target)

    def call() -> None:
        obj = ref()
        if obj is not None:
            getattr(obj, method)()

    return call


class LoopHub:
    """Routes native events to channels on one loop."""

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self.loop = loop
        self._channels: Dict[int, Channel] = {}
        self._pumps: Dict[int, _ObjectPump] = {}
        self._tags = itertools.count(1)
        self._native: Any = native.PyEventHub(loop, _weak_call(self, "drain")) if _native.HAS_HUB else None

    def start_request(self, request: Any) -> Channel:
        """Starts a request and returns the channel of its events."""
        channel = Channel(self.loop, frozenset(("done", "error")))
        self._attach(request, channel, websocket=False)
        return channel

    def start_websocket(self, websocket: Any) -> Channel:
        """Connects a WebSocket and returns the channel of its events."""
        channel = Channel(self.loop, frozenset(("closed", "error")))
        self._attach(websocket, channel, websocket=True)
        return channel

    def _attach(self, source: Any, channel: Channel, websocket: bool) -> None:
        tag = next(self._tags)
        if self._native is not None:
            self._channels[tag] = channel
            try:
                source.start_hub(self._native, tag)
            except BaseException:
                del self._channels[tag]
                raise
            return
        pump = _ObjectPump(source, channel, websocket)
        self._pumps[tag] = pump

        def forget() -> None:
            self._pumps.pop(tag, None)

        original = channel.push

        def push(event: Event) -> None:
            original(event)
            if channel.finished:
                forget()

        channel.push = push  # type: ignore[method-assign]
        source.start_async(self.loop, _weak_call(pump, "drain"))

    def drain(self) -> None:
        """Takes every ready event from the native hub (runs on the loop)."""
        hub = self._native
        if hub is None:
            return
        while True:
            batch = hub.poll(_BATCH)
            for tag, event in batch:
                channel = self._channels.get(tag)
                if channel is None:
                    continue
                if len(event) == 4:
                    event = _native.websocket_event(event)
                channel.push(event)
                if channel.finished:
                    del self._channels[tag]
            if len(batch) < _BATCH:
                break

    def poll_websocket(self, websocket: Any, channel: Channel) -> None:
        """From now on find this WebSocket's events by polling it (its
        notifications stop once a close or cancel was asked for)."""

        def tick() -> None:
            for event in _native.ws_poll(websocket, _OBJECT_BATCH):
                channel.push(event)
            if not channel.finished and not self.loop.is_closed():
                self.loop.call_later(_POLL_INTERVAL, tick)

        self.loop.call_soon(tick)

    def close(self) -> None:
        if self._native is not None:
            self._native.close()
        self._channels.clear()
        self._pumps.clear()


_HUBS: "weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, LoopHub]" = weakref.WeakKeyDictionary()


def hub_for(loop: asyncio.AbstractEventLoop) -> LoopHub:
    """The one hub of ``loop``."""
    hub = _HUBS.get(loop)
    if hub is None:
        hub = LoopHub(loop)
        _HUBS[loop] = hub
    return hub
