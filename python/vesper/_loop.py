"""Private asyncio machinery: drives native requests and WebSockets from a loop.

The native objects wake the loop with ``loop.call_soon_threadsafe(notify)``
at most once per poll cycle; ``notify`` must poll.  An ``EventPump`` is that
``notify``: it drains the object with ``poll_events`` (again while a poll
returns a full batch, since a full batch schedules no new wake-up), queues
the events and resolves whoever awaits the next one.

The native notifier holds ``notify`` strongly; the pump is only referenced
weakly from it, so dropping the pump (and with it the native object) is
never kept from happening by the notifier.

``LoopHub`` is the other way: one native ``PyEventHub`` per loop, one
wake-up per poll cycle for all the requests and WebSockets attached to it,
bytes-form events routed to a ``HubPump`` per object (``HubRequest``,
``HubWebSocket``).  A request's pump holds it on the hub while more than
1 MiB of body waits in Python, so a slow reader pauses the Core instead of
growing the queue.
"""

import asyncio
import collections
import weakref

import vesper_native36 as _native

__all__ = ["EventPump", "AsyncRequest", "AsyncWebSocket", "LoopHub", "HubPump", "HubRequest", "HubWebSocket",
           "hub_for"]

_BATCH = 64
# How often a pump whose object stopped notifying polls (seconds).
_POLL_INTERVAL = 0.005
_REQUEST_TERMINAL = frozenset(("done", "error"))
_WEBSOCKET_TERMINAL = frozenset(("closed", "error"))


def _weak_notify(pump):
    ref = weakref.ref(pump)

    def notify():
        target = ref()
        if target is not None:
            target.drain()

    return notify


class _EventIterator:
    """Iterating a pump gives its events up to and with the terminal one."""

    def __aiter__(self):
        return self

    async def __anext__(self):
        event = await self.next()
        if event is None:
            raise StopAsyncIteration
        return event


class EventPump(_EventIterator):
    """Queues the events of one native object as a loop is told about them."""

    def __init__(self, source, terminal_kinds, loop=None, batch=_BATCH):
        self._source = source
        self._terminal = terminal_kinds
        self._loop = loop or asyncio.get_running_loop()
        self._batch = max(1, batch)
        self._events = collections.deque()
        self._waiter = None
        self._polling = False
        self.finished = False
        self.notify = _weak_notify(self)

    @property
    def loop(self):
        return self._loop

    def drain(self):
        """Polls while less than a batch waits here; runs on the loop thread.

        The module's queue is what is bounded (a request's Core is paused
        past 1 MiB of body, a WebSocket's queue overflows into BufferLimit):
        taking events only as fast as the reader takes them keeps that
        bound.  Events left in the module schedule no wake-up (the poll
        that found them cleared nothing), so ``next`` polls again itself
        when this queue runs dry."""
        while not self.finished and len(self._events) < self._batch:
            room = self._batch - len(self._events)
            batch = self._source.poll_events(room)
            self._events.extend(batch)
            if batch and batch[-1][0] in self._terminal:
                self.finished = True
            if len(batch) < room:
                break
        waiter = self._waiter
        if waiter is not None and not waiter.done() and (self._events or self.finished):
            waiter.set_result(None)

    def poll_without_notify(self):
        """From now on find events by polling: the native object no longer
        notifies (a WebSocket's close and cancel detach the notifier)."""
        self._polling = True

    async def next(self):
        """The next event, or None once the terminal event was taken."""
        while not self._events:
            if self.finished:
                return None
            # What the module still holds comes first; only a poll that
            # comes back short lets the next wake-up be awaited.
            self.drain()
            if self._events or self.finished:
                continue
            if self._polling:
                await asyncio.sleep(_POLL_INTERVAL)
                continue
            self._waiter = self._loop.create_future()
            try:
                await self._waiter
            finally:
                self._waiter = None
        return self._events.popleft()


class _PumpedRequest:
    """What reading a request's events from its pump is, whichever way
    they come: ``_bytes`` turns an event's byte items into bytes."""

    _bytes = staticmethod(bytes)

    async def response(self):
        """(status, head bytes) once the head arrives; redirects are kept."""
        async for kind, number, first, second, text in self.pump:
            if kind == "redirect":
                self.redirects.append((number, self._bytes(first), self._bytes(second).decode("utf-8"), text))
            elif kind == "response":
                return number, self._bytes(first)
            elif kind == "error":
                raise RuntimeError(text)
            else:
                break
        raise RuntimeError("request ended without a response")

    async def read(self):
        """The rest of the body as bytes."""
        pieces = []
        async for kind, _number, _first, second, text in self.pump:
            if kind == "body":
                pieces.append(self._bytes(second))
            elif kind == "error":
                raise RuntimeError(text)
        return b"".join(pieces)


class _PumpedWebSocket:
    """What a WebSocket read from its pump offers, whichever way its events
    come."""

    async def recv(self):
        """The next event tuple, or None after the terminal one."""
        return await self.pump.next()

    def send_text(self, text):
        self._socket.send_text(text)

    def send_bytes(self, data):
        self._socket.send_bytes(data)


class AsyncRequest(_PumpedRequest):
    """A started native request read from a loop (events with lists of
    ints)."""

    def __init__(self, request, loop=None, batch=_BATCH):
        self._request = request
        self.pump = EventPump(request, _REQUEST_TERMINAL, loop, batch)
        self.redirects = []
        request.start_async(self.pump.loop, self.pump.notify)

    def cancel(self):
        self._request.cancel()


class AsyncWebSocket(_PumpedWebSocket):
    """A native WebSocket read from a loop."""

    def __init__(self, websocket, loop=None, batch=_BATCH):
        self._socket = websocket
        self.pump = EventPump(websocket, _WEBSOCKET_TERMINAL, loop, batch)
        websocket.start_async(self.pump.loop, self.pump.notify)

    def close(self, code=1000, reason=""):
        """Starts the closing handshake; recv() then returns the remaining
        events up to "closed" (or "error")."""
        try:
            self._socket.close(code, reason)
        finally:
            self.pump.poll_without_notify()

    def cancel(self):
        try:
            self._socket.cancel()
        finally:
            self.pump.poll_without_notify()


# ------------------------------------------------------------------- hubs

_HUB_BATCH = 256
# A request's pump holds it on the hub past this many queued body bytes and
# releases it once its reader brought the queue down to _RELEASE_AT.
_HOLD_ABOVE = 1_048_576
_RELEASE_AT = 262_144


class _WeakLoop:
    """What the native hub schedules through: the loop, held weakly, so a
    loop's hub never keeps the loop alive."""

    __slots__ = ("_ref",)

    def __init__(self, loop):
        self._ref = weakref.ref(loop)

    def call_soon_threadsafe(self, callback):
        loop = self._ref()
        if loop is None:
            raise RuntimeError("the event loop is gone")
        return loop.call_soon_threadsafe(callback)


class HubPump(_EventIterator):
    """Queues the events a LoopHub routes to one native object."""

    def __init__(self, loop, terminal_kinds):
        self._loop = loop
        self._terminal = terminal_kinds
        self._events = collections.deque()
        self._waiter = None
        self.finished = False
        # Back-pressure (requests): the body bytes queued here; past the
        # high-water mark the object is held on its hub, so its body stays
        # native and the Core pauses at 1 MiB as for a blocking reader.
        self._hub = None
        self._owner = None
        self._queued = 0
        self._held = False

    def hold_above(self, hub, owner):
        """Holds `owner` on `hub` while more than _HOLD_ABOVE body bytes wait here."""
        self._hub = hub
        self._owner = owner

    def feed(self, event):
        """Called by the hub on the loop thread."""
        self._events.append(event)
        if event[0] in self._terminal:
            self.finished = True
        elif self._hub is not None and event[0] == "body":
            self._queued += len(event[3])
            if not self._held and self._queued > _HOLD_ABOVE:
                self._held = self._hub.hold(self._owner, True)
        waiter = self._waiter
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    def end(self):
        """No more events will come (the object left the hub)."""
        self.finished = True
        waiter = self._waiter
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    async def next(self):
        """The next event, or None once the terminal event was taken."""
        while not self._events:
            if self.finished:
                return None
            self._waiter = self._loop.create_future()
            try:
                await self._waiter
            finally:
                self._waiter = None
        event = self._events.popleft()
        if self._hub is not None and event[0] == "body":
            self._queued -= len(event[3])
            if self._held and self._queued <= _RELEASE_AT:
                self._held = False
                self._hub.hold(self._owner, False)
        return event


class LoopHub:
    """The native event hub of one loop; objects attach with their pump as tag."""

    def __init__(self, loop):
        # Weak: the hub lives in a weak mapping keyed by its loop.
        self._loop = weakref.ref(loop)
        ref = weakref.ref(self)

        def wake():
            hub = ref()
            if hub is not None:
                hub.drain()

        self.native = _native.PyEventHub(_WeakLoop(loop), wake)

    @property
    def loop(self):
        return self._loop()

    def drain(self):
        """Polls until a batch comes back short, feeding each pump."""
        while True:
            batch = self.native.poll(_HUB_BATCH)
            for pump, event in batch:
                pump.feed(event)
            if len(batch) < _HUB_BATCH:
                return

    def close(self):
        self.native.close()


_HUBS = weakref.WeakKeyDictionary()


def hub_for(loop=None):
    """The LoopHub of `loop` (the running loop by default), made on first use."""
    loop = loop or asyncio.get_running_loop()
    hub = _HUBS.get(loop)
    if hub is None or hub.native.is_closed():
        hub = _HUBS[loop] = LoopHub(loop)
    return hub


class HubRequest(_PumpedRequest):
    """A native request started through its loop's hub (events in the
    bytes form, taken as they are)."""

    @staticmethod
    def _bytes(data):
        return data

    def __init__(self, request, loop=None):
        hub = hub_for(loop)
        self._request = request
        self.pump = HubPump(hub.loop, _REQUEST_TERMINAL)
        self.redirects = []
        self.pump.hold_above(hub.native, request)
        request.start_hub(hub.native, self.pump)

    def cancel(self):
        """Cancels; the request leaves the hub, so no more events come."""
        self._request.cancel()
        self.pump.end()


class HubWebSocket(_PumpedWebSocket):
    """A native WebSocket connected through its loop's hub: events come as
    (kind, payload, code, text) with str payloads for text messages."""

    def __init__(self, websocket, loop=None):
        hub = hub_for(loop)
        self._socket = websocket
        self.pump = HubPump(hub.loop, _WEBSOCKET_TERMINAL)
        websocket.start_hub(hub.native, self.pump)

    def close(self, code=1000, reason=""):
        """Starts the closing handshake; recv() then returns the remaining
        events up to "closed" (or "error")."""
        self._socket.close(code, reason)

    def cancel(self):
        self._socket.cancel()
