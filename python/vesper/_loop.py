"""Private asyncio machinery: drives native requests and WebSockets from a loop.

The native objects wake the loop with ``loop.call_soon_threadsafe(notify)``
at most once per poll cycle; ``notify`` must poll.  An ``EventPump`` is that
``notify``: it drains the object with ``poll_events`` (again while a poll
returns a full batch, since a full batch schedules no new wake-up), queues
the events and resolves whoever awaits the next one.

The native notifier holds ``notify`` strongly; the pump is only referenced
weakly from it, so dropping the pump (and with it the native object) is
never kept from happening by the notifier.
"""

import asyncio
import collections
import weakref

__all__ = ["EventPump", "AsyncRequest", "AsyncWebSocket"]

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


class EventPump:
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
        """Polls until a batch comes back short; runs on the loop thread."""
        while not self.finished:
            batch = self._source.poll_events(self._batch)
            self._events.extend(batch)
            if batch and batch[-1][0] in self._terminal:
                self.finished = True
            if len(batch) < self._batch:
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
            if self._polling:
                self.drain()
                if not self._events and not self.finished:
                    await asyncio.sleep(_POLL_INTERVAL)
                continue
            self._waiter = self._loop.create_future()
            try:
                await self._waiter
            finally:
                self._waiter = None
        return self._events.popleft()

    def __aiter__(self):
        return self

    async def __anext__(self):
        event = await self.next()
        if event is None:
            raise StopAsyncIteration
        return event


class AsyncRequest:
    """A started native request read from a loop."""

    def __init__(self, request, loop=None, batch=_BATCH):
        self._request = request
        self.pump = EventPump(request, _REQUEST_TERMINAL, loop, batch)
        self.redirects = []
        request.start_async(self.pump.loop, self.pump.notify)

    async def response(self):
        """(status, head bytes) once the head arrives; redirects are kept."""
        async for kind, number, first, second, text in self.pump:
            if kind == "redirect":
                self.redirects.append((number, bytes(first), bytes(second).decode("utf-8"), text))
            elif kind == "response":
                return number, bytes(first)
            elif kind == "error":
                raise RuntimeError(text)
            else:
                break
        raise RuntimeError("request ended without a response")

    async def read(self):
        """The rest of the body as bytes."""
        body = bytearray()
        async for kind, _number, _first, second, text in self.pump:
            if kind == "body":
                body.extend(second)
            elif kind == "error":
                raise RuntimeError(text)
        return bytes(body)

    def cancel(self):
        self._request.cancel()


class AsyncWebSocket:
    """A native WebSocket read from a loop."""

    def __init__(self, websocket, loop=None, batch=_BATCH):
        self._socket = websocket
        self.pump = EventPump(websocket, _WEBSOCKET_TERMINAL, loop, batch)
        websocket.start_async(self.pump.loop, self.pump.notify)

    async def recv(self):
        """The next event tuple, or None after the terminal one."""
        return await self.pump.next()

    def send_text(self, text):
        self._socket.send_text(text)

    def send_bytes(self, data):
        self._socket.send_bytes(data)

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
