"""asyncio event routing: one native event hub per event loop feeds every
request and WebSocket of that loop into its own ``Channel``.

The Core wakes the loop at most once per poll cycle for all attached
objects together; one ``poll`` hands out (channel, event) pairs, the
channel being the tag the object was attached with.  The native hub holds
an object and its channel until the terminal event was polled or the object
was cancelled (a cancelled request leaves the hub: its channel is ended
here).

An engine whose Core lets an event loop's thread run its network loop
(``PyEngine.loop_attach``) is driven by the loop itself: the loop watches
the descriptor the Core hands it and calls ``loop_drive`` when it turns
readable or when the deadline the last round answered comes; the
callbacks then run on the loop's thread and their events are polled right
after the round, with no wake-up from another thread.  Without that, or
for an engine another loop has attached, the engine's network thread does
the transfers and wakes the loop as above.  An engine stays attached while
it has requests or WebSockets on this loop and for a second after; a
closed client detaches its engines at once (``forget_engines``).

A request's body does not come through the hub: after the head its reader
takes the bytes from the request itself (``take_available``) and awaits
the channel only when nothing was there; the hub then sends one READABLE
event, and ENDED when the request ended.  Flow control is the request's
own: the Core pauses the transfer while 1 MiB waits unread, and a take
that makes room resumes it, so a slow consumer keeps a bounded queue.
"""

from __future__ import annotations

import asyncio
import collections
import weakref
import os
from typing import Any, Callable, Deque, Dict, Generic, Iterable, Optional, Tuple, TypeVar

from ._native import RequestEvent, WebSocketEvent, native

__all__ = ["Channel", "LoopHub", "forget_engines", "hub_for"]

_BATCH = 256
# VESPER_LOOP_DRIVEN=0 leaves every transfer to the engines' network threads.
_LOOP_DRIVEN = os.environ.get("VESPER_LOOP_DRIVEN", "1") != "0"
_REQUEST_END = frozenset((RequestEvent.ENDED, RequestEvent.DONE, RequestEvent.ERROR))
_WEBSOCKET_END = frozenset((WebSocketEvent.CLOSED, WebSocketEvent.ERROR))

# A channel's events: RequestEvent or WebSocketEvent records.
E = TypeVar("E", RequestEvent, WebSocketEvent)


class Channel(Generic[E]):
    """The events of one native object as the loop receives them."""

    def __init__(self, loop: asyncio.AbstractEventLoop, terminal: frozenset[int],
                 driver: "Optional[_EngineDriver]" = None) -> None:
        self._loop = loop
        self._terminal = terminal
        self._events: Deque[E] = collections.deque()
        self._waiter: Optional[asyncio.Future[None]] = None
        self.finished = False
        # The engine driver this object keeps attached until it ends.
        self._driver = driver

    def feed(self, event: E) -> None:
        """Queues one event (runs on the loop)."""
        if self.finished:
            return
        self._events.append(event)
        if event.kind in self._terminal:
            self.finished = True
            self._forget_owner()
        self._wake()

    @property
    def pending(self) -> bool:
        """Whether events wait to be taken with ``get``."""
        return bool(self._events)

    @property
    def driver(self) -> "Optional[_EngineDriver]":
        """The driver running this object's engine on the loop, if any."""
        return self._driver

    def end(self) -> None:
        """No more events will come (the object was cancelled)."""
        self.finished = True
        self._forget_owner()
        self._wake()

    def _forget_owner(self) -> None:
        # A finished object has left the hub: its engine may be let go.
        driver, self._driver = self._driver, None
        if driver is not None:
            driver.release()

    def _wake(self) -> None:
        waiter = self._waiter
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    async def get(self, timeout: Optional[float] = None) -> Optional[E]:
        """The next event (a RequestEvent or a WebSocketEvent), None after
        the last one; the builtin TimeoutError when ``timeout`` ran out
        first."""
        if self._events:
            return self._events.popleft()
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
        return self._events.popleft()


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


_IDLE_DETACH = 1.0


class _EngineDriver:
    """Runs one engine's network loop on the event loop's thread."""

    def __init__(self, hub: "LoopHub", loop: asyncio.AbstractEventLoop, engine: Any, fd: int) -> None:
        self._hub = hub
        # Weak: the hub (a value of the weak mapping keyed by the loop)
        # holds its drivers, so a strong reference would keep the loop alive.
        self._loop_ref = weakref.ref(loop)
        self.engine = engine
        self.fd = fd
        self._timer: Optional[asyncio.TimerHandle] = None
        self._soon: Optional[asyncio.Handle] = None
        self._idle: Optional[asyncio.TimerHandle] = None
        # When the last object ended (loop time).
        self._quiet_since = 0.0
        self.users = 0
        self.stopped = False
        # Upload writers waiting for room in their request's queue: room
        # is made by the rounds that run here, so each is looked at after
        # every round.
        self._room: list[Tuple[Any, "asyncio.Future[None]"]] = []
        loop.add_reader(fd, self.drive)
        self._soon = loop.call_soon(self.drive)

    def acquire(self) -> None:
        """One more object of this engine on the loop."""
        self.users += 1

    def release(self) -> None:
        """One object ended; the engine is let go after a quiet second."""
        self.users -= 1
        loop = self._loop_ref()
        if self.users > 0 or self.stopped or loop is None or loop.is_closed():
            return
        self._quiet_since = loop.time()
        # One timer for a run of requests, not one per request: it looks
        # again when it finds the engine used since.
        if self._idle is None:
            self._idle = loop.call_at(self._quiet_since + _IDLE_DETACH, self._idle_check)

    def _idle_check(self) -> None:
        self._idle = None
        loop = self._loop_ref()
        if self.users > 0 or self.stopped or loop is None:
            return
        due = self._quiet_since + _IDLE_DETACH
        if loop.time() < due:
            self._idle = loop.call_at(due, self._idle_check)
            return
        self.stop()

    def _on_timer(self) -> None:
        self._timer = None
        self.drive()

    def drive(self) -> None:
        """One round of the engine's loop here, then the hub's events."""
        if self._soon is not None:
            self._soon.cancel()
            self._soon = None
        if self.stopped:
            return
        try:
            due = self.engine.loop_drive(self._hub.native)
        except RuntimeError:
            due = None
        self._hub.drain()
        if self._room:
            self._wake_writers()
        if due is None:
            # Not attached any more (or the engine is gone): the network
            # thread has the work.
            self.stop()
            return
        loop = self._loop_ref()
        if loop is None:
            self.stop()
            return
        if due <= 0.0:
            self._soon = loop.call_soon(self.drive)
            return
        when = loop.time() + due
        timer = self._timer
        if timer is not None:
            if timer.when() <= when + 0.001:
                return
            timer.cancel()
        self._timer = loop.call_at(when, self._on_timer)

    async def room(self, request: Any) -> None:
        """Waits until ``request``'s upload queue is under its limit (or the
        request ended: its next write says how)."""
        loop = self._loop_ref()
        if not self.stopped and loop is not None:
            waiter: "asyncio.Future[None]" = loop.create_future()
            self._room.append((request, waiter))
            await waiter
            return
        # Not driven any more: the network thread makes the room.
        while request.upload_held():
            await asyncio.sleep(0.002)

    def _wake_writers(self) -> None:
        waiting, self._room = self._room, []
        for request, waiter in waiting:
            if waiter.done():
                continue
            try:
                held = request.upload_held()
            except RuntimeError:
                held = False  # ended: the next write raises the failure
            if held:
                self._room.append((request, waiter))
            else:
                waiter.set_result(None)

    def stop(self) -> None:
        """Stops watching and detaches: the network thread goes on."""
        if self.stopped:
            return
        self.stopped = True
        for _, waiter in self._room:
            if not waiter.done():
                waiter.set_result(None)
        self._room = []
        for handle in (self._timer, self._soon, self._idle):
            if handle is not None:
                handle.cancel()
        self._timer = self._soon = self._idle = None
        loop = self._loop_ref()
        if loop is not None and not loop.is_closed():
            loop.remove_reader(self.fd)
        self._hub.forget_driver(self)
        try:
            self.engine.loop_detach()
        except RuntimeError:
            pass
        self.engine = None


def _detach_all(drivers: Dict[int, _EngineDriver]) -> None:
    for driver in list(drivers.values()):
        engine, driver.engine = driver.engine, None
        driver.stopped = True
        if engine is not None:
            try:
                engine.loop_detach()
            except RuntimeError:
                pass
    drivers.clear()


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
        # Engines driven here, by id(engine); None for one the Core does
        # not let this loop drive (its network thread does the work).
        self._drivers: Dict[int, Optional[_EngineDriver]] = {}
        self._fds: Dict[int, _EngineDriver] = {}
        # A loop dropped without its engines let go: they are detached then
        # (a closed loop still referenced is left to the Core, whose network
        # thread steps in for a loop that does not come back).
        weakref.finalize(loop, _detach_all, self._fds)

    @property
    def native(self) -> Any:
        """The native PyEventHub."""
        return self._native

    def _driver(self, engine: Any) -> Optional[_EngineDriver]:
        key = id(engine)
        if key in self._drivers:
            driver = self._drivers[key]
            if driver is None or driver.engine is engine:
                return driver
        driver = None
        fd = engine.loop_attach() if _LOOP_DRIVEN else -1
        if fd >= 0:
            if fd in self._fds:
                # Another engine of the same namespace drives this loop already.
                engine.loop_detach()
            else:
                try:
                    driver = _EngineDriver(self, self.loop, engine, fd)
                except (NotImplementedError, RuntimeError, ValueError, OSError):
                    # A loop without add_reader (Windows' proactor): the
                    # network thread does the work.
                    engine.loop_detach()
                else:
                    self._fds[fd] = driver
        self._drivers[key] = driver
        return driver

    def forget_driver(self, driver: _EngineDriver) -> None:
        """Drops a stopped driver from the tables."""
        if self._fds.get(driver.fd) is driver:
            del self._fds[driver.fd]
        key = id(driver.engine)
        if self._drivers.get(key) is driver:
            del self._drivers[key]

    def forget_engines(self, engines: Iterable[Any]) -> None:
        """Detaches the given engines (their client is closing)."""
        for engine in engines:
            driver = self._drivers.pop(id(engine), None)
            if driver is not None and driver.engine is engine:
                driver.stop()

    @property
    def loop(self) -> asyncio.AbstractEventLoop:
        """The hub's loop (alive while anything runs on it)."""
        loop = self._loop()
        if loop is None:
            raise RuntimeError("the event loop is gone")
        return loop

    def start_request(self, request: Any, engine: Any = None) -> "Channel[RequestEvent]":
        """Starts a request and returns the channel of its events; with its
        ``engine``, the loop runs that engine's transfers when it can."""
        driver = self._driver(engine) if engine is not None else None
        channel: Channel[RequestEvent] = Channel(self.loop, _REQUEST_END, driver)
        self._start(channel, driver, request.start_hub)
        return channel

    def start_websocket(self, websocket: Any, engine: Any = None) -> "Channel[WebSocketEvent]":
        """Connects a WebSocket and returns the channel of its events (they
        keep coming through the hub after close() up to the terminal one)."""
        driver = self._driver(engine) if engine is not None else None
        channel: Channel[WebSocketEvent] = Channel(self.loop, _WEBSOCKET_END, driver)
        self._start(channel, driver, websocket.start_hub)
        return channel

    def _start(self, channel: "Channel[Any]", driver: Optional[_EngineDriver], start: Callable[[Any, Any], object]) -> None:
        if driver is not None:
            driver.acquire()
        try:
            start(self._native, channel)
        except BaseException:
            channel._forget_owner()
            raise

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


def forget_engines(engines: Iterable[Any]) -> None:
    """Detaches ``engines`` from the running loop's hub, if it drives them
    (a closing client: the engines' network threads may end at once)."""
    try:
        loop = asyncio.get_running_loop()
    except RuntimeError:
        return
    hub = _HUBS.get(loop)
    if hub is not None:
        hub.forget_engines(list(engines))
