"""PyWebSocket: creation records, connection rules, events, the bounded queue."""
import asyncio
import gc
import sys

import pytest
from event_tuples import as_tuple, as_tuples

import vesper_native36 as native
from conftest import text_of
from helpers import Background
from helpers import failure_texts
from test_async_notify import FakeLoop, notify

LIMIT_BYTES = 4_194_304


def connected(core, engine, **kwargs):
    socket = engine.websocket("ws://x/", **kwargs)
    socket.connect()
    return socket, core.last_id("websocket")


# -- creation ------------------------------------------------------------

def test_minimal_record(core, engine):
    engine.websocket("ws://x/")
    r = core.record("websocket")
    assert (r["size"], r["abi"], text_of(r["url"])) == (136, 8, b"ws://x/")
    assert r["origin_len"] == 0
    assert r["protocols_null"] and r["protocol_count"] == 0
    assert r["headers_null"] and r["header_count"] == 0
    assert r["timeout_ms"] == 0
    assert r["callbacks"] == {"size": 56, "abi": 8, "context_null": False, "all_set": True}


def test_full_record(core, engine):
    engine.websocket("wss://x/", "https://o.test", [("A", "1"), ("a", "2"), ("A", "1")], 2.5,
                     ["chat", "superchat", "chat"])
    r = core.record("websocket")
    assert text_of(r["origin"]) == b"https://o.test"
    assert [text_of(p) for p in r["protocols"]] == [b"chat", b"superchat", b"chat"]
    assert [(text_of(h["name"]), text_of(h["value"])) for h in r["headers"]] == [
        (b"A", b"1"), (b"a", b"2"), (b"A", b"1")]
    assert r["timeout_ms"] == 2500


@pytest.mark.parametrize("timeout, ms", [(None, 0), (0.0004, 1), (2.5, 2500)])
def test_timeouts(core, engine, timeout, ms):
    engine.websocket("ws://x/", timeout=timeout)
    assert core.record("websocket")["timeout_ms"] == ms


def test_origin_empty_versus_absent(core, engine):
    engine.websocket("ws://x/", origin="")
    assert core.record("websocket")["origin_len"] == 0
    with pytest.raises(TypeError) as info:
        engine.websocket("ws://x/", origin=None)
    assert str(info.value) == "argument 'origin': 'NoneType' object cannot be converted to 'PyString'"


def test_headers_mapping_refused(core, engine):
    with pytest.raises(TypeError) as info:
        engine.websocket("ws://x/", headers={"a": "b"})
    assert str(info.value) == "argument 'headers': 'dict' object cannot be converted to 'Sequence'"


def test_bad_timeout_after_conversions(core, engine):
    with pytest.raises(TypeError, match="protocols"):
        engine.websocket("ws://x/", timeout=-1, protocols=5)
    with pytest.raises(RuntimeError, match="^timeout must be a finite non-negative number$"):
        engine.websocket("ws://x/", timeout=-1)
    assert core.calls("hy_websocket_create") == 0


@pytest.mark.parametrize("code, null_handle, text", [
    (1, False, "InvalidArgument"), (40, False, "native error 40"), (0, True, "InitializationFailed")])
def test_refused_creation(core, engine, code, null_handle, text):
    core.script("hy_websocket_create", code, null_handle)
    with pytest.raises(RuntimeError) as info:
        engine.websocket("ws://x/")
    assert str(info.value) == text


@pytest.mark.core_extension("hy_websocket_set_deflate")
@pytest.mark.parametrize("deflate, recorded", [
    (False, (1, 0, 0)),
    ({}, (0, 0, 0)),
    ({"client_no_context_takeover": True}, (2, 0, 0)),
    ({"client_no_context_takeover": False, "server_no_context_takeover": True}, (4, 0, 0)),
    ({"client_max_window_bits": 9, "server_max_window_bits": 15, "client_no_context_takeover": True,
      "server_no_context_takeover": True}, (6, 9, 15)),
    # Out-of-range sizes go to the Core, which judges them.
    ({"client_max_window_bits": 7}, (0, 7, 0)),
])
def test_deflate_offer_reaches_the_core(core, engine, deflate, recorded):
    engine.websocket("ws://x/", deflate=deflate)
    r = core.record("deflate")
    assert r["id"] == core.last_id("websocket")
    assert (r["flags"], r["client_max_window_bits"], r["server_max_window_bits"]) == recorded


def test_default_deflate_offer_leaves_the_core_alone(core, engine):
    engine.websocket("ws://x/")
    engine.websocket("ws://x/", deflate=True)
    engine.websocket("ws://x/", "", None, None, None, True)
    assert core.calls("hy_websocket_set_deflate") == 0


@pytest.mark.parametrize("deflate, error, message", [
    (1, TypeError, "argument 'deflate': expected bool or dict"),
    (None, TypeError, "argument 'deflate': expected bool or dict"),
    ({"client_no_context_takeover": 1}, TypeError, None),
    ({"client_max_window_bits": "9"}, TypeError, None),
    ({"client_max_window_bits": 256}, OverflowError, None),
    ({"window": 9}, ValueError, "unknown permessage-deflate parameter: window"),
    ({1: True}, TypeError, None),
])
def test_deflate_offer_conversions(core, engine, deflate, error, message):
    with pytest.raises(error) as info:
        engine.websocket("ws://x/", deflate=deflate)
    if message is not None:
        assert str(info.value) == message
    assert core.calls("hy_websocket_create") == 0


@pytest.mark.core_extension("hy_websocket_set_deflate")
def test_refused_deflate_offer_releases_the_socket(core, engine):
    core.script("hy_websocket_set_deflate", 1)
    with pytest.raises(RuntimeError, match="^InvalidArgument$"):
        engine.websocket("ws://x/", deflate={"server_max_window_bits": 16})
    assert core.released("websocket", core.last_id("websocket"))


# -- connection ------------------------------------------------------------

def test_connect_rules(core, engine):
    socket = engine.websocket("ws://x/")
    assert socket.is_finished() is False
    for method in (socket.recv, socket.poll_event, socket.poll_events):
        with pytest.raises(RuntimeError, match="^WebSocket is not connected$"):
            method()
    core.script("hy_websocket_start", 8)
    with pytest.raises(RuntimeError, match="^Network$"):
        socket.connect()
    socket.connect()
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        socket.connect()
    assert core.calls("hy_websocket_start") == 2
    assert socket.poll_event() is None and socket.poll_events() == []


def test_concurrent_connects_reach_the_core_once(core, engine):
    for _ in range(50):
        socket = engine.websocket("ws://x/")
        before = core.calls("hy_websocket_start")
        results = [Background(lambda: _try(socket.connect)) for _ in range(4)]
        outcomes = sorted(str(r.join()) for r in results)
        assert outcomes == ["InvalidState"] * 3 + ["None"]
        assert core.calls("hy_websocket_start") == before + 1


def _try(fn):
    try:
        return fn()
    except RuntimeError as exc:
        return exc


def test_close_and_cancel(core, engine):
    socket, ident = connected(core, engine)
    socket.close(1000, "")
    socket.close(code=4000, reason="bye é")
    closes = core.records("close")
    assert [(c["code"], c["reason"]["null"], text_of(c["reason"])) for c in closes] == [
        (1000, True, None), (4000, False, "bye é".encode())]
    core.script("hy_websocket_close", 1)
    with pytest.raises(RuntimeError, match="^InvalidArgument$"):
        socket.close(1000, "x")
    core.script("hy_websocket_cancel", 5)
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        socket.cancel()
    socket.cancel()
    assert core.calls("hy_websocket_cancel") == 2


def test_close_argument_messages(core, engine):
    socket = engine.websocket("ws://x/")
    with pytest.raises(TypeError) as info:
        socket.close()
    assert str(info.value) == "PyWebSocket.close() missing 2 required positional arguments: 'code' and 'reason'"


@pytest.mark.parametrize("method", ["close", "cancel"])
def test_close_and_cancel_detach_even_when_refused(core, engine, method):
    socket = engine.websocket("ws://x/")
    loop = FakeLoop()
    socket.start_async(loop, notify)
    ident = core.last_id("websocket")
    core.script(f"hy_websocket_{method}", 5)
    with pytest.raises(RuntimeError):
        getattr(socket, method)(*((1000, "") if method == "close" else ()))
    core.ws_closing(ident)
    core.ws_close(ident, 1000, b"")
    assert loop.scheduled == []
    assert [e[0] for e in socket.poll_events()] == ["closing", "closed"]


def test_release(core, engine):
    socket = engine.websocket("ws://x/")
    ident = core.last_id("websocket")
    del socket
    assert core.released("websocket", ident) == 1
    socket, ident = connected(core, engine)
    del socket
    gc.collect()
    assert core.released("websocket", ident) == 1
    # The Core may still report the end into the state it holds.
    core.ws_message(ident, b"late")
    core.ws_close(ident, 1001, b"")


# -- sending ------------------------------------------------------------------

def test_sends(core, engine):
    socket, _ = connected(core, engine)
    socket.send_text("hé")
    socket.send_text("")
    socket.send_bytes(b"\x00\x01")
    socket.send_bytes([])
    sends = core.records("send")
    assert [(s["type"], s["data"]["null"], text_of(s["data"])) for s in sends] == [
        (1, False, "hé".encode()), (1, True, None), (2, False, b"\x00\x01"), (2, True, None)]
    core.script("hy_websocket_send", 5)
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        socket.send_text("x")
    with pytest.raises(TypeError, match="^argument 'text': "):
        socket.send_text(b"x")
    with pytest.raises(TypeError, match="^argument 'data': "):
        socket.send_bytes("x")


def test_a_driven_send_and_recv_run_the_loop_here_without_the_interpreter_lock(core, engine):
    # With the Core's driven send the message goes out on the sender's
    # thread, and recv then waits by running the loop; without it, both
    # keep the plain path (a driven recv alone would take the loop back
    # from the network thread the plain send woke).
    driven = "hy_websocket_send_driven" in native.core_extensions
    socket, ident = connected(core, engine)
    socket.send_text("ping")
    sent = core.record("send")
    assert (sent["driven"], sent["gil"]) == ((True, False) if driven else (False, True))
    # A large message goes through the network thread, which writes it
    # while this thread reads.
    socket.send_bytes(b"x" * 4096)
    assert core.record("send")["driven"] is False
    waiter = Background(lambda: socket.recv_message(5))
    core.ws_message(ident, b"pong")
    event = waiter.join()
    assert (event.kind, event.payload) == (native.WebSocketEvent.TEXT, "pong")
    drives = core.records("drive")
    if driven:
        assert drives and not any(d["gil"] for d in drives)
    else:
        assert core.calls("hy_websocket_drive") == 0


# -- events -------------------------------------------------------------------

@pytest.mark.parametrize("fire, value", [
    (lambda c, i: c.ws_open(i, b"chat", b"permessage-deflate"), ("open", list(b"chat"), None, None)),
    (lambda c, i: c.ws_open(i), ("open", [], None, None)),
    (lambda c, i: c.ws_message(i, b"hi", kind=1), ("text", [104, 105], None, None)),
    (lambda c, i: c.ws_message(i, b"", kind=2), ("binary", [], None, None)),
    (lambda c, i: c.ws_message(i, b"\xff", kind=9, flags=3), ("binary", [255], None, None)),
    (lambda c, i: c.ws_closing(i), ("closing", [], None, None)),
    (lambda c, i: c.ws_close(i, 1000, b"bye"), ("closed", [], 1000, "bye")),
    (lambda c, i: c.ws_close(i, 4001, b"r\xffx"), ("closed", [], 4001, "r\ufffdx")),
    (lambda c, i: c.ws_error(i, 8, -105, 0, b"no name"),
     ("error", [], None, "Network (Chromium net error -105, response 0)")),
    (lambda c, i: c.ws_error(i, 0, -2, 403), ("error", [], None, "native error 0 (Chromium net error -2, response 403)")),
    (lambda c, i: c.ws_error(i, 16, 0, 0), ("error", [], None, "native error 16 (Chromium net error 0, response 0)")),
    (lambda c, i: c.ws_error(i, 15, 0, 0), ("error", [], None, "ProfileUnsupported (Chromium net error 0, response 0)")),
])
def test_event_values(core, engine, fire, value):
    socket, ident = connected(core, engine)
    fire(core, ident)
    assert socket.recv() == value


def test_callback_fault(core, engine):
    socket, ident = connected(core, engine)
    core.ws_message(ident, b"x", length=2 ** 64 - 1)
    assert socket.is_finished() is True
    assert socket.recv() == ("error", [], None, "CallbackPanic (Chromium net error 0, response -1)")
    core.ws_message(ident, b"dropped")
    assert socket.recv() is None


def test_nothing_after_the_end(core, engine):
    socket, ident = connected(core, engine)
    core.ws_message(ident, b"a")
    core.ws_close(ident, 1000, b"")
    core.ws_message(ident, b"dropped")
    core.ws_error(ident)
    assert socket.is_finished() is True
    assert [socket.recv() for _ in range(4)] == [
        ("text", [97], None, None), ("closed", [], 1000, ""), None, None]


def test_1025th_event_overflows(core, engine):
    socket, ident = connected(core, engine)
    core.ws_message(ident, b"m", count=1024)
    assert socket.is_finished() is False
    core.ws_message(ident, b"m")
    assert socket.is_finished() is True
    assert socket.recv() == ("error", [], None, "BufferLimit (Chromium net error 0, response 0)")
    assert socket.recv() is None


LARGE_MAX = 64 * 1024 * 1024


def test_byte_limit_boundaries(core, engine):
    socket, ident = connected(core, engine)
    core.ws_message(ident, b"a" * (LIMIT_BYTES - 1))
    core.ws_message(ident, b"b")                 # exactly the limit
    assert socket.is_finished() is False
    assert len(socket.recv()[1]) == LIMIT_BYTES - 1
    assert socket.recv()[1] == [98]
    core.ws_message(ident, b"c", count=2)
    core.ws_message(ident, b"c" * (LIMIT_BYTES - 1))   # one byte past the limit
    assert as_tuple(socket.recv_message(1))[0] == "error"
    assert socket.recv() is None


def kinds_and_sizes(socket):
    return [(kind, len(payload)) for kind, payload, _, _ in as_tuples(socket.poll_events_bytes(20))]


@pytest.mark.parametrize("size", [LIMIT_BYTES + 1, LARGE_MAX])
def test_one_large_message_passes_beside_a_full_queue(core, engine, size):
    # Larger than the whole limit: let through, counted apart, so the other
    # events still have their 4 MiB and the close after it is kept.
    socket, ident = connected(core, engine)
    core.ws_message(ident, b"s" * 10, kind=2)
    core.ws_message(ident, b"L" * size, kind=2)
    core.ws_message(ident, b"t" * (LIMIT_BYTES - 10), kind=2)
    core.ws_close(ident, 1000, b"")
    assert kinds_and_sizes(socket) == [("binary", 10), ("binary", size),
                                       ("binary", LIMIT_BYTES - 10), ("closed", 0)]


@pytest.mark.parametrize("fire", [
    pytest.param(lambda c, i: c.ws_message(i, b"L" * (LARGE_MAX + 1), kind=2), id="past-the-core-maximum"),
    pytest.param(lambda c, i: [c.ws_message(i, b"L" * (LIMIT_BYTES + 1), kind=2) for _ in range(2)],
                 id="second-large-message"),
    pytest.param(lambda c, i: [c.ws_message(i, b"L" * (LIMIT_BYTES + 1), kind=2),
                               c.ws_message(i, b"s" * LIMIT_BYTES, kind=2),
                               c.ws_message(i, b"s", kind=2)],
                 id="others-past-the-limit"),
])
def test_large_message_bounds(core, engine, fire):
    socket, ident = connected(core, engine)
    fire(core, ident)
    assert socket.is_finished() is True
    overflow = failure_texts(socket.recv_message(1))
    assert overflow == ("error", b"", None, "BufferLimit (Chromium net error 0, response 0)")


def test_large_message_slot_frees_when_read(core, engine):
    socket, ident = connected(core, engine)
    for round_ in range(3):
        core.ws_message(ident, bytes([round_]) * (LIMIT_BYTES + 1), kind=2)
        event = as_tuple(socket.recv_message(1))
        assert (event[0], len(event[1]), event[1][:1]) == ("binary", LIMIT_BYTES + 1, bytes([round_]))
    assert socket.is_finished() is False


def test_open_texts_count(core, engine):
    socket, ident = connected(core, engine)
    core.ws_message(ident, b"x" * (LIMIT_BYTES - 4))
    core.ws_open(ident, b"ab", b"cde")
    assert socket.poll_events(10)[0][0] == "error"


def test_recv_wakes_on_a_core_event(core, engine):
    socket, ident = connected(core, engine)
    waiter = Background(socket.recv)
    core.ws_message(ident, b"wake")
    assert waiter.join() == ("text", list(b"wake"), None, None)


def test_poll_while_recv_waits(core, engine):
    socket, ident = connected(core, engine)
    got = []
    waiter = Background(lambda: [got.append(socket.recv()) for _ in range(1)])
    polled = []
    for i in range(200):
        core.ws_message(ident, str(i).encode())
        polled.extend(socket.poll_events())
    core.ws_close(ident, 1000, b"")
    waiter.join()
    polled.extend(socket.poll_events())
    texts = [bytes(e[1]) for e in got + polled if e[0] == "text"]
    assert sorted(texts, key=int) == [str(i).encode() for i in range(200)]
    assert sum(e[0] == "closed" for e in got + polled) == 1


# -- asyncio -------------------------------------------------------------------

def test_sends_for_a_loop_are_driven_only_on_the_thread_running_the_engines_loop(core, engine):
    # Events bound for a loop that the network thread serves are read by
    # nobody driving: a driven send would leave the answer waiting for the
    # network thread to take the loop back.  Where the loop's own thread
    # runs the engine's loop (attached here), the send goes out at once.
    driven = "hy_websocket_send_driven" in native.core_extensions
    socket = engine.websocket("ws://x/")
    socket.start_async(FakeLoop(), notify)
    core.ws_open(core.last_id("websocket"), b"", b"")
    socket.send_text("served by the network thread")
    assert core.record("send")["driven"] is False
    attached = engine.loop_attach() >= 0
    socket.send_text("this thread runs the loop")
    assert core.record("send")["driven"] is (driven and attached)
    if attached:
        assert engine.loop_detach()
    socket.send_text("detached")
    assert core.record("send")["driven"] is False

def test_poll_batches_and_terminal_detach(core, engine):
    loop = FakeLoop()
    socket = engine.websocket("ws://x/")
    socket.start_async(loop, notify)
    ident = core.last_id("websocket")
    core.ws_message(ident, b"1")
    core.ws_message(ident, b"2")
    core.ws_close(ident, 1000, b"")
    assert len(loop.scheduled) == 1
    assert [e[0] for e in socket.poll_events(2)] == ["text", "text"]
    assert [e[0] for e in socket.poll_events(10)] == ["closed"]
    assert socket.poll_events() == []


def test_terminal_event_detaches(core, engine):
    loop = FakeLoop()
    socket = engine.websocket("ws://x/")
    socket.start_async(loop, notify)
    ident = core.last_id("websocket")
    core.ws_error(ident)
    assert socket.poll_event()[0] == "error"
    core.ws_message(ident, b"after")          # dropped and not notified
    assert len(loop.scheduled) == 1


def test_start_async_after_connect(core, engine):
    loop = FakeLoop()
    socket, ident = connected(core, engine)
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        socket.start_async(loop, notify)
    core.ws_message(ident, b"x")
    assert len(loop.scheduled) == 1


def test_recv_only_after_start_async_notifies_once(core, engine):
    loop = FakeLoop()
    socket = engine.websocket("ws://x/")
    socket.start_async(loop, notify)
    ident = core.last_id("websocket")
    for _ in range(3):
        core.ws_message(ident, b"x")
        socket.recv()
    assert len(loop.scheduled) == 1


def test_detach_before_start_async(core, engine):
    socket = engine.websocket("ws://x/")
    assert socket.detach_callback() is None


def test_limit_rules(core, engine):
    socket, ident = connected(core, engine)
    core.ws_message(ident, b"x", count=70)
    assert len(socket.poll_events(0)) == 1
    assert len(socket.poll_events()) == 64
    assert len(socket.poll_events(100)) == 5


def test_real_loop(core, engine):
    from asyncio_paths import AsyncWebSocket

    async def main():
        loop = asyncio.get_running_loop()
        socket = AsyncWebSocket(engine.websocket("ws://x/"))
        ident = core.last_id("websocket")

        def core_side():
            core.ws_open(ident, b"p")
            for i in range(100):
                core.ws_message(ident, str(i).encode(), kind=2)
            core.ws_close(ident, 1000, b"done")

        await loop.run_in_executor(None, core_side)
        events = []
        while (event := await socket.recv()) is not None:
            events.append(event)
        return events

    events = asyncio.run(asyncio.wait_for(main(), 20))
    assert events[0] == ("open", [112], None, None)
    assert [bytes(e[1]) for e in events[1:-1]] == [str(i).encode() for i in range(100)]
    assert events[-1] == ("closed", [], 1000, "done")


def test_many_connections_leave_nothing_behind(core, engine):
    core.set_recording(False)
    loop = FakeLoop()
    baseline = sys.getrefcount(loop)
    for _ in range(10_000):
        socket = engine.websocket("ws://x/")
        socket.start_async(loop, notify)
        ident = core.last_id("websocket")
        core.ws_open(ident)
        core.ws_close(ident, 1000, b"")
        assert [e[0] for e in socket.poll_events()] == ["open", "closed"]
    del socket
    gc.collect()
    native.PyEngine.abi_version()
    assert sys.getrefcount(loop) == baseline


def test_async_close_still_delivers_the_end(core, engine):
    from asyncio_paths import AsyncWebSocket

    async def main():
        loop = asyncio.get_running_loop()
        socket = AsyncWebSocket(engine.websocket("ws://x/"))
        ident = core.last_id("websocket")
        await loop.run_in_executor(None, core.ws_open, ident)
        assert (await socket.recv())[0] == "open"
        socket.close(1000, "bye")           # detaches the notifier
        await loop.run_in_executor(None, core.ws_closing, ident)
        await loop.run_in_executor(None, core.ws_close, ident, 1000, b"bye")
        return [await socket.recv(), await socket.recv(), await socket.recv()]

    events = asyncio.run(asyncio.wait_for(main(), 20))
    assert [e and e[0] for e in events] == ["closing", "closed", None]
