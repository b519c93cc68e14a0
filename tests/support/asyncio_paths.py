"""The two asyncio paths of the native module, for tests and benchmarks.

The specified path: each native object wakes the loop through its own
notifier (``start_async(loop, notify)``) and is drained with
``poll_events``: ``EventPump``, ``AsyncRequest``, ``AsyncWebSocket``.

The package's path: one native event hub per loop routes every object's
events to its channel (``vesper._hub``, what ``vesper.AsyncClient`` and the
package's WebSockets run on): ``HubRequest`` and ``HubWebSocket`` read those
channels, nothing more.
"""

import asyncio
import collections
import weakref

from vesper._hub import hub_for
from vesper._native import RequestEvent

__all__ = [
    "EventPump", "AsyncRequest", "AsyncWebSocket", "HubRequest", "HubWebSocket", "hub_for",
    "attached_after_settling",
]

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
                # The bytes form carries the failure itself, the list form its text.
                raise text if isinstance(text, BaseException) else RuntimeError(text)
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
                # The bytes form carries the failure itself, the list form its text.
                raise text if isinstance(text, BaseException) else RuntimeError(text)
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


# ------------------------------------------------- the package's hub path

class HubRequest:
    """A native request started on its loop's hub (``vesper._hub``): its
    events come as RequestEvent records, its body is taken from the request
    (``take_available``) as the package takes it, the channel awaited only
    when nothing is there.  ``channel`` is the package's channel of the
    request."""

    def __init__(self, request, loop=None):
        self._request = request
        self.channel = hub_for(loop or asyncio.get_running_loop()).start_request(request)
        self.redirects = []

    async def response(self):
        """(status, head bytes) once the head arrives; redirects are kept."""
        while (event := await self.channel.get()) is not None:
            if event.kind == RequestEvent.REDIRECT:
                self.redirects.append((event.status, event.head, event.location, event.method))
            elif event.kind == RequestEvent.RESPONSE:
                return event.status, event.head
            elif event.kind == RequestEvent.ERROR:
                raise event.failure
            else:
                break
        raise RuntimeError("request ended without a response")

    async def chunks(self, most=1_048_576):
        """The body as the package reads it: each take of what is there."""
        while True:
            chunk = self._request.take_available(most)
            if chunk is None:
                if self.channel.finished and not self.channel.pending:
                    raise RuntimeError("the request was cancelled")
                await self.channel.get()
                continue
            if not chunk:
                return
            yield chunk

    async def read(self):
        """The rest of the body as bytes."""
        return b"".join([chunk async for chunk in self.chunks()])

    def cancel(self):
        """Cancels; the request leaves the hub, so no more events come."""
        self._request.cancel()
        self.channel.end()


async def attached_after_settling(deadline=5.0):
    """How many objects the running loop's hub still holds once its
    pending notifies ran.  A body read to its end does not wait for the
    request's ENDED event, which the hub takes on its next poll, so the
    count is taken only after the loop had its turns (bounded in time:
    a lost wake-up keeps an object attached and shows here)."""
    loop = asyncio.get_running_loop()
    native = hub_for(loop)._native
    until = loop.time() + deadline
    while native.pending_count() and loop.time() < until:
        await asyncio.sleep(0.001)
    return native.pending_count()


class HubWebSocket(_PumpedWebSocket):
    """A native WebSocket connected on its loop's hub (``vesper._hub``):
    events come as WebSocketEvent records with str payloads for text
    messages, and keep coming after close() up to the terminal one."""

    def __init__(self, websocket, loop=None):
        self._socket = websocket
        self.channel = hub_for(loop or asyncio.get_running_loop()).start_websocket(websocket)

    async def recv(self):
        """The next WebSocketEvent, or None after the terminal one."""
        return await self.channel.get()

    def close(self, code=1000, reason=""):
        """Starts the closing handshake; recv() then returns the remaining
        events up to "closed" (or "error")."""
        self._socket.close(code, reason)

    def cancel(self):
        self._socket.cancel()
