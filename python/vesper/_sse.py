"""Server-sent events: the ``text/event-stream`` parser behind
``Response.iter_sse()`` and ``aiter_sse()``, following the HTML standard's
event-stream interpretation rules."""

from __future__ import annotations

import codecs
from typing import AsyncIterable, AsyncIterator, Iterable, Iterator, List, Optional

__all__ = ["ServerSentEvent", "SSEDecoder", "iter_events", "aiter_events"]


class ServerSentEvent:
    """One dispatched event of a ``text/event-stream`` body.

    - ``event``: the event type, ``"message"`` when the block set none;
    - ``data``: the block's ``data`` lines joined with ``"\\n"``;
    - ``id``: the stream's last event ID as of this event (an ``id`` field
      carries over to later events until another one changes it; ``""``
      before any);
    - ``retry``: the reconnection time in milliseconds most recently set by
      a ``retry`` field of the stream, or None when none was.
    """

    __slots__ = ("event", "data", "id", "retry")

    def __init__(self, event: str = "message", data: str = "", id: str = "",
                 retry: Optional[int] = None) -> None:
        self.event = event
        self.data = data
        self.id = id
        self.retry = retry

    def json(self) -> object:
        """``data`` parsed as JSON (what most event APIs send)."""
        import json
        return json.loads(self.data)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, ServerSentEvent):
            return NotImplemented
        return (self.event, self.data, self.id, self.retry) == (other.event, other.data, other.id, other.retry)

    def __repr__(self) -> str:
        return f"ServerSentEvent(event={self.event!r}, data={self.data!r}, id={self.id!r}, retry={self.retry!r})"


class SSEDecoder:
    """Turns the bytes of an event stream, in pieces of any size, into
    events: ``feed(chunk)`` returns the events that chunk completed.

    The stream is UTF-8 whatever the headers say (bad sequences replaced),
    one leading byte-order mark is dropped, lines end with CR, LF or CRLF
    (a CR at the end of a piece waits for a possible LF), a line starting
    with ``:`` is a comment, an empty line dispatches the block read so far
    (nothing when it had no ``data``), an ``id`` containing NUL is ignored,
    a ``retry`` that is not all ASCII digits is ignored, unknown fields are
    ignored, and a block the stream ends in without an empty line is
    dropped."""

    def __init__(self) -> None:
        self._decoder = codecs.getincrementaldecoder("utf-8")("replace")
        self._started = False
        self._pending = ""
        self._data: List[str] = []
        self._event = ""
        self._last_id = ""
        self._retry: Optional[int] = None

    def feed(self, chunk: bytes) -> List[ServerSentEvent]:
        """The events completed by ``chunk``."""
        return self._feed_text(self._decoder.decode(chunk))

    def close(self) -> List[ServerSentEvent]:
        """At the end of the stream: the events completed by its last bytes;
        the unfinished block is discarded."""
        events = self._feed_text(self._decoder.decode(b"", True))
        if self._pending.endswith("\r"):
            # A CR that ended the stream was a whole line end after all.
            event = self._line(self._pending[:-1])
            if event is not None:
                events.append(event)
        self._pending, self._data, self._event = "", [], ""
        return events

    def _feed_text(self, text: str) -> List[ServerSentEvent]:
        if not self._started and text:
            self._started = True
            if text.startswith("\ufeff"):
                text = text[1:]
        if not text:
            return []
        buffer = self._pending + text
        events: List[ServerSentEvent] = []
        start = 0
        size = len(buffer)
        while start < size:
            cr = buffer.find("\r", start)
            lf = buffer.find("\n", start)
            if cr < 0 and lf < 0:
                break
            if cr >= 0 and (lf < 0 or cr < lf):
                if cr + 1 == size:
                    break  # the LF of a CRLF may be in the next piece
                end, after = cr, cr + 2 if buffer[cr + 1] == "\n" else cr + 1
            else:
                end, after = lf, lf + 1
            event = self._line(buffer[start:end])
            if event is not None:
                events.append(event)
            start = after
        self._pending = buffer[start:]
        return events

    def _line(self, line: str) -> Optional[ServerSentEvent]:
        if not line:
            return self._dispatch()
        if line[0] == ":":
            return None
        name, colon, value = line.partition(":")
        if colon and value.startswith(" "):
            value = value[1:]
        if name == "data":
            self._data.append(value)
        elif name == "event":
            self._event = value
        elif name == "id":
            if "\0" not in value:
                self._last_id = value
        elif name == "retry":
            if value and value.isascii() and value.isdigit():
                self._retry = int(value)
        return None

    def _dispatch(self) -> Optional[ServerSentEvent]:
        data, event = self._data, self._event
        self._data, self._event = [], ""
        if not data:
            return None
        return ServerSentEvent(event or "message", "\n".join(data), self._last_id, self._retry)


def iter_events(chunks: Iterable[bytes]) -> Iterator[ServerSentEvent]:
    """The events of a stream given as byte chunks, each as soon as its block ends."""
    decoder = SSEDecoder()
    for chunk in chunks:
        yield from decoder.feed(chunk)
    yield from decoder.close()


async def aiter_events(chunks: AsyncIterable[bytes]) -> AsyncIterator[ServerSentEvent]:
    """As ``iter_events`` over an asynchronous stream of chunks."""
    decoder = SSEDecoder()
    async for chunk in chunks:
        for event in decoder.feed(chunk):
            yield event
    for event in decoder.close():
        yield event
