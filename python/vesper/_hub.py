"""asyncio event routing: one native event hub per event loop feeds every
request and WebSocket of that loop into its own ``Channel``.

The Core wakes the loop at most once per poll cycle for all attached
objects together; one ``poll`` hands out (channel, event) pairs, the
channel being the tag the object was attached with.  The native hub holds
an object and its channel until the terminal event was polled or the object
was cancelled (a cancelled request leaves the hub: its channel is ended
here).

A request's channel holds its request on the hub while more than 1 MiB of
body waits unread here, and releases it once the reader brought that below
256 KiB: while held, the body stays native and the Core pauses the transfer
as for a blocking reader, so a slow consumer keeps a bounded queue.
"""

from __future__ import annotations

import asyncio
import collections
import weakref
from typing import Any, Callable, Deque, Optional, Tuple

from ._native import native

__all__ = ["Channel", "LoopHub", "hub_for"]

_BATCH = 256
_REQUEST_END = frozenset(("done", "error"))
_WEBSOCKET_END = frozenset(("closed", "error"))
# Back-pressure of a request's channel: held past _HOLD_ABOVE queued body
# bytes, released once the reader brought them down to _RELEASE_AT.
_HOLD_ABOVE = 1_048_576
_RELEASE_AT = 262_144

Event = Tuple[Any, ...]


class Channel:
    """The events of one native object as the loop receives them."""

    def __init__(self, loop: asyncio.AbstractEventLoop, terminal: frozenset[str],
                 hub: Any = None, owner: Any = None) -> None:
        self._loop = loop
        self._terminal = terminal
        self._events: Deque[Event] = collections.deque()
        self._waiter: Optional[asyncio.Future[None]] = None
        self.finished = False
        # Back-pressure (requests only): the object is held on `hub` while
        # more than _HOLD_ABOVE body bytes wait in `_events`.  Both are
        # dropped at the end, which breaks the request -> channel -> request
        # cycle the native tag makes.
        self._hub = hub
        self._owner = owner
        self.queued = 0
        self.held = False

    def feed(self, event: Event) -> None:
        """Queues one event (runs on the loop)."""
        if self.finished:
            return
        self._events.append(event)
        if event[0] in self._terminal:
            self.finished = True
            self._forget_owner()
        elif event[0] == "body" and self._hub is not None:
            self.queued += len(event[3])
            if not self.held and self.queued > _HOLD_ABOVE:
                self.held = bool(self._hub.hold(self._owner, True))
        self._wake()

    def end(self) -> None:
        """No more events will come (the object was cancelled)."""
        self.finished = True
        self._forget_owner()
        self._wake()

    def _forget_owner(self) -> None:
        # A finished object has left the hub: nothing to hold or release.
        self._hub = self._owner = None
        self.held = False

    def _taken(self, event: Event) -> Event:
        if event[0] == "body":
            self.queued -= len(event[3])
            if self.held and self.queued <= _RELEASE_AT:
                self.held = False
                if self._hub is not None:
                    self._hub.hold(self._owner, False)
        return event

    def _wake(self) -> None:
        waiter = self._waiter
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    async def get(self, timeout: Optional[float] = None) -> Optional[Event]:
        """The next event, None after the last one; the builtin TimeoutError
        when ``timeout`` ran out first."""
        if self._events:
            return self._taken(self._events.popleft())
        while not self._events:
            if self.finished:
                return None
            waiter = self._waiter = self._loop.create_future()
            # A timer on the one future: cheaper than wait_for, which wraps it in a task.
            timer = self._loop.call_later(timeout, _expire, waiter) if timeout is not None else None
            try:
                await waiter
            finally:
                self._waiter = None
                if timer is not None:
                    timer.cancel()
        return self._taken(self._events.popleft())


def _expire(waiter: "asyncio.Future[None]") -> None:
    if not waiter.done():
        waiter.set_exception(TimeoutError("timed out waiting for the next event"))


class _WeakLoop:
    """What the native hub calls on the loop, without keeping the loop alive
    (the hub lives as long as its loop, in a weak mapping keyed by it)."""

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self._loop = weakref.ref(loop)

    def call_soon_threadsafe(self, callback: Callable[[], object], /) -> object:
        loop = self._loop()
        if loop is not None and not loop.is_closed():
            return loop.call_soon_threadsafe(callback)
        return None


class LoopHub:
    """The native event hub of one loop."""

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        # Weak: the hub is the value of a weak mapping keyed by its loop, so
        # a strong reference here would keep every loop (and hub) alive.
        self._loop = weakref.ref(loop)
        ref = weakref.ref(self)

        def wake() -> None:
            hub = ref()
            if hub is not None:
                hub.drain()

        self._native: Any = native.PyEventHub(_WeakLoop(loop), wake)

    @property
    def loop(self) -> asyncio.AbstractEventLoop:
        """The hub's loop (alive while anything runs on it)."""
        loop = self._loop()
        if loop is None:
            raise RuntimeError("the event loop is gone")
        return loop

    def start_request(self, request: Any) -> Channel:
        """Starts a request and returns the channel of its events."""
        channel = Channel(self.loop, _REQUEST_END, self._native, request)
        request.start_hub(self._native, channel)
        return channel

    def start_websocket(self, websocket: Any) -> Channel:
        """Connects a WebSocket and returns the channel of its events (they
        keep coming through the hub after close() up to the terminal one)."""
        channel = Channel(self.loop, _WEBSOCKET_END)
        websocket.start_hub(self._native, channel)
        return channel

    def drain(self) -> None:
        """Takes every ready event from the native hub (runs on the loop).
        A full batch schedules no new wake-up, so poll until one is short."""
        while True:
            batch = self._native.poll(_BATCH)
            for channel, event in batch:
                channel.feed(event)
            if len(batch) < _BATCH:
                return

    @property
    def closed(self) -> bool:
        """Whether the native hub was closed."""
        return bool(self._native.is_closed())


_HUBS: "weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, LoopHub]" = weakref.WeakKeyDictionary()


def hub_for(loop: asyncio.AbstractEventLoop) -> LoopHub:
    """The one hub of ``loop``, made on first use."""
    hub = _HUBS.get(loop)
    if hub is None or hub.closed:
        hub = _HUBS[loop] = LoopHub(loop)
    return hub
