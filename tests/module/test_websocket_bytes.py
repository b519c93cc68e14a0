"""PyWebSocket's bytes forms: recv_message and poll_events_bytes carry the
same events as recv and poll_events, payloads as str or bytes."""
import gc

import pytest
from event_tuples import as_tuple, as_tuples

from helpers import Background
from conftest import native
from helpers import failure_texts
from test_websocket import LIMIT_BYTES, connected


def as_bytes_form(value):
    """What recv_message gives for a recv() tuple."""
    kind, payload, code, text = value
    payload = bytes(payload)
    if kind == "text":
        payload = payload.decode("utf-8", "replace")
    return kind, payload, code, text


FIRES = [
    lambda c, i: c.ws_open(i, b"chat", b"permessage-deflate"),
    lambda c, i: c.ws_open(i),
    lambda c, i: c.ws_message(i, "h\u00e9llo \U0001f600".encode(), kind=1),
    lambda c, i: c.ws_message(i, b"bad \xff\xfe \xe2\x82 utf-8 \xed\xa0\x80", kind=1),
    lambda c, i: c.ws_message(i, b"", kind=1),
    lambda c, i: c.ws_message(i, bytes(range(256)), kind=2),
    lambda c, i: c.ws_message(i, b"\xff", kind=9, flags=3),
    lambda c, i: c.ws_closing(i),
    lambda c, i: c.ws_close(i, 4001, b"r\xffx"),
    lambda c, i: c.ws_error(i, 8, -105, 0, b"no name"),
]


@pytest.mark.parametrize("fire", FIRES)
def test_recv_message_matches_recv(core, engine, fire):
    lists, a = connected(core, engine)
    raw, b = connected(core, engine)
    fire(core, a)
    fire(core, b)
    expected = as_bytes_form(lists.recv())
    got = failure_texts(raw.recv_message(5))
    assert got == expected
    assert type(got[1]) is (str if got[0] == "text" else bytes)


def test_poll_events_bytes_matches_poll_events(core, engine):
    lists, a = connected(core, engine)
    raw, b = connected(core, engine)
    for ident in (a, b):
        for fire in FIRES[:-2]:
            fire(core, ident)
        core.ws_close(ident, 1000, b"bye")
    got_lists, got_bytes = [], []
    for _ in range(20):
        got_lists += lists.poll_events(3)
        got_bytes += as_tuples(raw.poll_events_bytes(3))
    assert [as_bytes_form(e) for e in got_lists] == got_bytes
    assert got_bytes[-1] == ("closed", b"", 1000, "bye")
    assert len(got_bytes) == len(FIRES) - 1


def test_queue_limits_unchanged(core, engine):
    socket, ident = connected(core, engine)
    core.ws_message(ident, b"m", count=1024)
    assert socket.is_finished() is False
    assert as_tuples(socket.poll_events_bytes(1)) == [("text", "m", None, None)]
    core.ws_message(ident, b"m", count=2)           # 1025 queued: overflow
    overflow = failure_texts(socket.recv_message(1))
    assert overflow == ("error", b"", None, "BufferLimit (Chromium net error 0, response 0)")
    assert socket.recv_message(1) is None
    other, second = connected(core, engine)
    core.ws_message(second, b"a" * (LIMIT_BYTES - 1), kind=2)
    core.ws_message(second, b"b", kind=2)           # exactly the byte limit
    assert len(other.recv_message(1).payload) == LIMIT_BYTES - 1
    assert as_tuple(other.recv_message(1)) == ("binary", b"b", None, None)


def test_recv_message_timeout_and_end(core, engine):
    socket, ident = connected(core, engine)
    with pytest.raises(TimeoutError, match="^timed out waiting for a WebSocket event$"):
        socket.recv_message(0.05)
    with pytest.raises(TimeoutError):
        socket.recv_message(0)
    waiting = Background(socket.recv_message, 10)
    core.ws_message(ident, b"wake", kind=2)
    assert as_tuple(waiting.join()) == ("binary", b"wake", None, None)
    core.ws_close(ident, 1000, b"")
    assert socket.recv_message(1).kind == native.WebSocketEvent.CLOSED
    # Finished and empty: None at once, whatever the timeout.
    assert socket.recv_message(None) is None


def test_recv_message_needs_a_connection(core, engine):
    socket = engine.websocket("ws://x/")
    with pytest.raises(RuntimeError, match="^WebSocket is not connected$"):
        socket.recv_message(1)


# -- messages taken from the Core's buffer ---------------------------------

def _payload(size, seed):
    return bytes((i * 31 + seed) & 0xFF for i in range(size))


def _text_payload(size):
    # Multi-byte characters cross every 4 KiB boundary somewhere.
    return ("\u00e9\U0001f600x" * (size // 7 + 1)).encode()[:size - size % 7]


RECEIVERS = {
    "recv": lambda s: as_bytes_form(s.recv()),
    "recv_message": lambda s: as_tuple(s.recv_message(5)),
    "poll_events_bytes": lambda s: as_tuple(s.poll_events_bytes(1)[0]),
}


@pytest.mark.parametrize("receive", RECEIVERS.values(), ids=list(RECEIVERS))
@pytest.mark.parametrize("size", [4095, 4096, 65536, 1_000_003, 6_000_000])
def test_messages_arrive_byte_for_byte_whatever_their_size(core, engine, receive, size):
    # Below 4 KiB copied, from 4 KiB up taken over where the Core offers
    # it; one larger than the queue's 4 MiB waits counted apart.
    socket, ident = connected(core, engine)
    binary = _payload(size, size % 251)
    text = _text_payload(size)
    core.ws_message(ident, binary, kind=2)
    assert receive(socket) == ("binary", binary, None, None)
    core.ws_message(ident, text, kind=1)
    assert receive(socket) == ("text", text.decode(), None, None)


@pytest.mark.core_extension("hy_websocket_take_message", "hy_message_release")
def test_large_messages_are_taken_and_every_taken_buffer_released(core, engine):
    socket, ident = connected(core, engine)
    core.ws_message(ident, b"s" * 4095, kind=2)         # copied
    core.ws_message(ident, _payload(8192, 1), kind=2, count=3)
    assert core.calls("hy_websocket_take_message") == 3
    assert socket.recv_message(5).payload == b"s" * 4095
    got = socket.recv_message(5).payload
    assert got == _payload(8192, 1)
    assert core.calls("hy_message_release") == 1      # the bytes object was built: the buffer is back
    # Two still queued when the connection ends and the socket goes: freed
    # with the queue.
    core.ws_error(ident, 8, -105, 0, b"gone")
    del socket
    gc.collect()
    assert core.calls("hy_message_release") == 3


@pytest.mark.core_extension("hy_websocket_take_message")
def test_a_core_that_refuses_the_buffer_leaves_a_copy(core, engine):
    socket, ident = connected(core, engine)
    core.script("hy_websocket_take_message", 5)  # InvalidState: copied instead
    core.ws_message(ident, _payload(10000, 7), kind=2, count=2)
    assert socket.recv_message(5).payload == _payload(10000, 7)
    assert socket.recv_message(5).payload == _payload(10000, 7)
    assert core.calls("hy_websocket_take_message") == 2
    assert core.calls("hy_message_release") == 1
