"""Server-sent events: the event-stream parsing rules, whatever the chunking,
and events handed out as their blocks arrive."""
import asyncio
import threading

import pytest

import vesper
from vesper._sse import SSEDecoder

from conftest import Driver, head

E = vesper.ServerSentEvent

CASES = {
    "default type and joined data": (b"data: a\ndata:b\ndata:  c\n\n", [E("message", "a\nb\n c")]),
    "event type, reset after dispatch": (b"event: tick\ndata: 1\n\ndata: 2\n\n", [E("tick", "1"), E("message", "2")]),
    "comments skipped": (b": hello\n:\ndata: x\n: between\n\n", [E("message", "x")]),
    "a block without data dispatches nothing": (b"event: lonely\n\nid: 7\n\n\n\ndata: y\n\n", [E("message", "y", "7")]),
    "empty data line is a dispatched empty event": (b"data\n\ndata:\n\n", [E("message", ""), E("message", "")]),
    "CR line ends": (b"data: a\rdata: b\r\rdata: c\r\r", [E("message", "a\nb"), E("message", "c")]),
    "CRLF line ends": (b"event: e\r\ndata: a\r\n\r\n", [E("e", "a")]),
    "mixed line ends": (b"data: a\r\ndata: b\rdata: c\n\r\n", [E("message", "a\nb\nc")]),
    "leading BOM dropped once": (b"\xef\xbb\xbfdata: a\n\n\xef\xbb\xbfdata: b\n\n", [E("message", "a")]),
    "id carries over, empty id resets": (b"id: 1\ndata: a\n\ndata: b\n\nid\ndata: c\n\n",
                                         [E("message", "a", "1"), E("message", "b", "1"), E("message", "c", "")]),
    "id with NUL ignored": (b"id: 1\ndata: a\n\nid: 2\x003\ndata: b\n\n", [E("message", "a", "1"), E("message", "b", "1")]),
    "retry in ms, bad values ignored": (b"retry: 1500\ndata: a\n\nretry: 2.5\ndata: b\n\nretry: x1\nretry: \n\n"
                                        b"retry: 300\ndata: c\n\n",
                                        [E("message", "a", "", 1500), E("message", "b", "", 1500),
                                         E("message", "c", "", 300)]),
    "only one space after the colon is stripped": (b"data:   x  \n\n", [E("message", "  x  ")]),
    "unknown fields and colon-less field names": (b"foo: bar\ndata\ndatax: 1\nevent\ndata: z\n\n",
                                                  [E("message", "\nz")]),
    "unfinished block at the end dropped": (b"data: a\n\ndata: b\n", [E("message", "a")]),
    "stream ends on a lone CR": (b"data: a\r\r", [E("message", "a")]),
    "bad UTF-8 replaced": (b"data: \xff\n\n", [E("message", "\ufffd")]),
}


def _run(chunks):
    decoder = SSEDecoder()
    events = []
    for chunk in chunks:
        events += decoder.feed(chunk)
    return events + decoder.close()


@pytest.mark.parametrize("stream, expected", list(CASES.values()), ids=list(CASES))
def test_parsing_rules_whatever_the_chunking(stream, expected):
    assert _run([stream]) == expected
    # Byte by byte: a CRLF, a UTF-8 sequence or the BOM may be cut anywhere.
    assert _run([stream[i:i + 1] for i in range(len(stream))]) == expected
    for cut in range(1, len(stream)):
        assert _run([stream[:cut], stream[cut:]]) == expected, cut


def test_event_json_and_repr():
    event = E("update", '{"a": [1, 2]}', "9", 100)
    assert event.json() == {"a": [1, 2]}
    assert repr(event) == "ServerSentEvent(event='update', data='{\"a\": [1, 2]}', id='9', retry=100)"


def _events_then_wait(release):
    """A stream whose second event comes only once the first was handed out."""
    def act(core, ident):
        core.response(ident, 200, head(200, "Content-Type: text/event-stream"))
        core.data(ident, b"id: 1\r\ndata: first\r\n")
        core.data(ident, b"\r\n: keep-alive\n")
        assert release.wait(5), "the first event was not handed out before the rest of the body"
        core.data(ident, b"event: last\rdata: second\r\r")
        core.complete(ident)
    return act


def test_iter_sse_yields_each_event_as_its_block_arrives(core, client):
    release = threading.Event()
    driver = Driver(core, _events_then_wait(release))
    try:
        with client.stream("GET", "http://a/events") as response:
            events = []
            for event in response.iter_sse():
                events.append(event)
                release.set()
    finally:
        release.set()
        driver.join()
    assert events == [E("message", "first", "1"), E("last", "second", "1")]


def test_aiter_sse_yields_each_event_as_its_block_arrives(core):
    release = threading.Event()

    async def main():
        async with vesper.AsyncClient(trust_env=False, timeout=5) as client:
            async with client.stream("GET", "http://a/events") as response:
                events = []
                async for event in response.aiter_sse():
                    events.append(event)
                    release.set()
                return events

    driver = Driver(core, _events_then_wait(release))
    try:
        events = asyncio.run(asyncio.wait_for(main(), 20))
    finally:
        release.set()
        driver.join()
    assert events == [E("message", "first", "1"), E("last", "second", "1")]
