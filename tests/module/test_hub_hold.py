"""PyEventHub.hold: a held object's events stay in the object, so a request's
body pauses the Core at 1 MiB as for a blocking reader; a release delivers
everything in order."""
import random
import threading
import time

import pytest

import vesper_native36 as native
from test_async_notify import FakeLoop, notify
from helpers import failure_texts
from test_event_hub import attached, drain

MIB = 1_048_576


@pytest.fixture
def loop():
    return FakeLoop()


@pytest.fixture
def hub(loop):
    hub = native.PyEventHub(loop, notify)
    yield hub
    hub.close()


def body_of(events):
    return b"".join(event[3] for event in events if event[0] == "body")


def test_held_body_pauses_the_core_at_one_mebibyte_and_release_resumes(core, engine, hub, loop):
    request, ident = attached(core, engine, hub, "r")
    core.response(ident)
    assert [e[0] for _, e in hub.poll()] == ["response"]
    assert hub.hold(request, True) is True
    scheduled = len(loop.scheduled)
    assert core.data(ident, b"a" * (MIB - 1)) == 1
    assert core.data(ident, b"b") == 0            # the same boundary as a blocking reader's
    assert core.data(ident, b"c") == 0            # still paused, still queued
    assert hub.poll() == []                       # nothing of a held object
    assert len(loop.scheduled) == scheduled       # and no wake-up for it
    assert core.resume_count(ident) == 0
    core.complete(ident)
    assert hub.pending_count() == 1 and hub.poll() == []
    assert hub.hold(request, False) is True
    assert len(loop.scheduled) == scheduled + 1   # ready again
    events = [e for _, e in drain(hub)]
    assert [e[0] for e in events] == ["body", "body", "body", "done"]
    assert body_of(events) == b"a" * (MIB - 1) + b"bc"
    assert core.resume_count(ident) == 1
    assert hub.pending_count() == 0


def test_held_while_queued_and_other_objects_keep_flowing(core, engine, hub, loop):
    held, a = attached(core, engine, hub, "held")
    _, b = attached(core, engine, hub, "free")
    core.response(a)
    core.data(a, b"1")
    core.response(b)
    # `held` is on the ready queue already: hold takes it out of delivery.
    assert hub.hold(held, True) is True
    core.data(a, b"2")
    core.data(b, b"z")
    assert [(tag, e[0]) for tag, e in drain(hub)] == [("free", "response"), ("free", "body")]
    assert hub.hold(held, True) is True           # holding twice changes nothing
    assert hub.hold(held, False) is True
    assert hub.hold(held, False) is True          # nor does releasing twice
    assert [(tag, e[0], e[3]) for tag, e in drain(hub)] == [
        ("held", "response", b""), ("held", "body", b"1"), ("held", "body", b"2")]


def test_everything_is_held_and_comes_in_order(core, engine, hub):
    request, ident = attached(core, engine, hub, "r", redirect="manual")
    assert hub.hold(request, True)
    core.redirect(ident, 302, b"HTTP/1.1 302\r\n\r\n", b"http://y/", b"GET")
    core.response(ident, 200, b"HTTP/1.1 200 OK\r\n\r\n")
    core.data(ident, b"ab")
    core.complete(ident, 6, -7)
    assert hub.poll() == []
    hub.hold(request, False)
    assert [failure_texts(e) for _, e in drain(hub)] == [
        ("redirect", 302, b"HTTP/1.1 302\r\n\r\n", b"http://y/", "GET"),
        ("response", 200, b"HTTP/1.1 200 OK\r\n\r\n", b"", None),
        ("body", 0, b"", b"ab", None),
        ("error", 0, b"", b"", "Timeout (Chromium net error -7)"),
    ]
    assert hub.pending_count() == 0
    assert hub.hold(request, False) is False      # detached at its terminal event


def test_a_full_batch_of_a_member_held_between_polls(core, engine, hub):
    request, ident = attached(core, engine, hub, "r")
    core.response(ident)
    core.data_repeat(ident, b"q", 9)
    assert len(hub.poll(4)) == 4                  # left first on the queue
    hub.hold(request, True)
    assert hub.poll(4) == []
    hub.hold(request, False)
    assert [e[0] for _, e in drain(hub, 4)] == ["body"] * 6


def test_held_websocket_keeps_its_events(core, engine, hub):
    socket = engine.websocket("ws://x/")
    socket.start_hub(hub, "ws")
    ident = core.last_id("websocket")
    assert hub.hold(socket, True) is True
    core.ws_open(ident)
    core.ws_message(ident, b"m", kind=2, count=5)
    core.ws_close(ident, 1000, b"")
    assert hub.poll() == []
    hub.hold(socket, False)
    assert [e[0] for _, e in drain(hub)] == ["open"] + ["binary"] * 5 + ["closed"]
    assert hub.pending_count() == 0


def test_held_websocket_over_its_queue_limit_ends_with_buffer_limit(core, engine, hub):
    # Holding does not lift the WebSocket's queue limits: held past 1024
    # events it ends as a reader that does not read would see it.
    socket = engine.websocket("ws://x/")
    socket.start_hub(hub, "ws")
    ident = core.last_id("websocket")
    hub.hold(socket, True)
    core.ws_open(ident)
    core.ws_message(ident, b"m", kind=2, count=1100)
    hub.hold(socket, False)
    events = [e for _, e in drain(hub)]
    assert len(events) == 1 and events[0][0] == "error", events[:3]
    assert hub.pending_count() == 0


@pytest.mark.parametrize("end", ["hub.detach", "cancel", "hub.close"])
def test_a_held_object_ends_cleanly(core, engine, loop, end):
    hub = native.PyEventHub(loop, notify)
    request, ident = attached(core, engine, hub, "r")
    core.response(ident)
    hub.hold(request, True)
    if end == "hub.detach":
        assert hub.detach(request) is True
    elif end == "cancel":
        request.cancel()
    else:
        hub.close()
    assert hub.pending_count() == 0
    assert hub.hold(request, False) is False
    assert hub.poll() == []
    if end != "cancel":
        # Still readable directly, since the hub took nothing.
        assert request.wait_response(1).status_code == 200
    hub.close()


def test_hold_argument_checks(core, engine, loop, hub):
    request, _ = attached(core, engine, hub, "r")
    other = native.PyEventHub(loop, notify)
    try:
        assert other.hold(request, True) is False          # attached elsewhere
        unattached = engine.request("GET", "http://x/")
        assert hub.hold(unattached, True) is False
        with pytest.raises(TypeError, match="neither a PyRequest nor a PyWebSocket"):
            hub.hold(object(), True)
        with pytest.raises(TypeError):
            hub.hold(request, 1)
        with pytest.raises(TypeError):
            hub.hold(request)
    finally:
        other.close()


def _stream_held_by_a_slow_consumer(core, engine, chunk, total, queue_limit, seed):
    """A consumer that holds the request while its own queue is over
    `queue_limit`: returns (body, largest queue seen, poll sizes)."""
    loop = FakeLoop()
    hub = native.PyEventHub(loop, notify)
    request = engine.request("GET", "http://x/")
    request.start_hub(hub, "s")
    core.stream_body(core.last_id("request"), chunk, total)
    rng = random.Random(seed)
    queue, body, largest, ended = [], bytearray(), 0, False
    deadline = time.monotonic() + 30
    held = False
    while not (ended and not queue):
        assert time.monotonic() < deadline, "stream did not end"
        for _, event in hub.poll(64):
            if event[0] == "body":
                queue.append(event[3])
            elif event[0] in ("done", "error"):
                assert event[0] == "done", event
                ended = True
        queued = sum(map(len, queue))
        largest = max(largest, queued)
        if queued > queue_limit and not held:
            held = hub.hold(request, True)
        # The slow part: a few chunks per round.
        for _ in range(rng.randint(0, 3)):
            if queue:
                body += queue.pop(0)
        if held and sum(map(len, queue)) <= queue_limit:
            hub.hold(request, False)
            held = False
        if rng.random() < 0.3:
            time.sleep(0.0005)
    hub.close()
    return bytes(body), largest


@pytest.mark.parametrize("seed", range(4))
def test_slow_consumer_stays_bounded_and_loses_nothing(core, engine, seed):
    chunk, total, limit = 10_000, 12 * MIB, 2 * MIB
    body, largest = _stream_held_by_a_slow_consumer(core, engine, chunk, total, limit, seed)
    piece = bytes(i % 256 for i in range(chunk))
    assert len(body) == total
    assert body == (piece * (total // chunk + 1))[:total]
    # Over the limit by at most one poll's worth (64 chunks).
    assert largest <= limit + 64 * chunk
    core.wait_idle()


def test_hold_and_release_racing_core_threads(core, engine):
    """Core threads firing while Python holds and releases: nothing lost."""
    loop = FakeLoop()
    hub = native.PyEventHub(loop, notify)
    requests = []
    for i in range(8):
        request = engine.request("GET", "http://x/")
        request.start_hub(hub, i)
        requests.append((request, core.last_id("request")))
    stop = threading.Event()

    def toggler():
        rng = random.Random(1)
        while not stop.is_set():
            hub.hold(rng.choice(requests)[0], rng.random() < 0.5)

    thread = threading.Thread(target=toggler, daemon=True)
    thread.start()
    for _, ident in requests:
        core.stream_body(ident, 4096, 3 * MIB)
    got = {i: 0 for i in range(8)}
    done = set()
    deadline = time.monotonic() + 30
    try:
        while len(done) < 8:
            assert time.monotonic() < deadline, f"ended: {sorted(done)}"
            for tag, event in hub.poll(256):
                if event[0] == "body":
                    got[tag] += len(event[3])
                elif event[0] == "done":
                    done.add(tag)
            # Released now and then, whatever the toggler did, so every
            # stream gets through.
            for request, _ in requests:
                if random.random() < 0.1:
                    hub.hold(request, False)
            time.sleep(0.0002)
    finally:
        stop.set()
        thread.join(10)
        hub.close()
    assert got == {i: 3 * MIB for i in range(8)}
    core.wait_idle()
