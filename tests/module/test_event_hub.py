"""PyEventHub: one wake-up per poll cycle for many requests and WebSockets,
routing by tag, detaching, closing, and no leaks, against the double."""
import asyncio
import gc
import os
import resource
import subprocess
import sys
import textwrap
import threading
import tracemalloc

import pytest

import vesper_native36 as native
from conftest import ROOT
from event_tuples import as_tuple, as_tuples
from helpers import failure_texts
from test_async_notify import FakeLoop, notify

Event = native.RequestEvent
Socket = native.WebSocketEvent


@pytest.fixture
def loop():
    return FakeLoop()


@pytest.fixture
def hub(loop):
    hub = native.PyEventHub(loop, notify)
    yield hub
    hub.close()


def attached(core, engine, hub, tag, **kwargs):
    request = engine.request("GET", "http://x/", **kwargs)
    request.start_hub(hub, tag)
    return request, core.last_id("request")


def drain(hub, limit=256, rounds=100):
    events = []
    for _ in range(rounds):
        batch = hub.poll(limit)
        events += batch
        if len(batch) < limit:
            break
    return events


def test_one_notify_for_a_burst_over_many_objects(core, engine, hub, loop):
    pairs = [attached(core, engine, hub, f"r{i}") for i in range(20)]
    hub_requests = [request for request, _ in pairs]
    idents = [ident for _, ident in pairs]
    for ident in idents:
        core.response(ident)
        core.data_repeat(ident, b"z", 5)
    assert loop.scheduled == [(notify, ())]
    events = drain(hub)
    # The object that became ready first comes first; the body stays in
    # each request for its reader.
    assert [tag for tag, _ in events] == [f"r{i}" for i in range(20)]
    assert as_tuple(events[0][1]) == ("response", 200, b"HTTP/1.1 200 OK\r\n\r\n", b"", None)
    # The poll cleared the flag: the next event schedules again, once.
    for i in (3, 4):
        request = hub_requests[i]
        # What queued comes out joined in one take.
        assert [request.take_available() for _ in range(2)] == [b"z" * 5, None]
    core.data(idents[3], b"n")
    core.data(idents[4], b"m")
    core.data(idents[5], b"o")                   # its reader does not wait: no event
    assert len(loop.scheduled) == 2
    assert as_tuples(hub.poll()) == [("r3", ("readable", 0, b"", b"", None)), ("r4", ("readable", 0, b"", b"", None))]


def test_events_equal_the_bytes_poll(core, engine, hub):
    direct = engine.request("GET", "http://x/", redirect="manual")
    direct.start()
    a = core.last_id("request")
    via_hub, b = attached(core, engine, hub, "hub", redirect="manual")
    for ident in (a, b):
        core.redirect(ident, 302, b"HTTP/1.1 302\r\n\r\n", b"http://y/", b"GET")
        core.response(ident, 201, b"HTTP/1.1 201\r\n\r\n")
        core.data(ident, b"\x00\x01")
        core.data(ident, b"")
        core.complete(ident, 6, -7)
    expected = [failure_texts(event) for event in direct.poll_events_bytes(100)]
    assert [e[0] for e in expected] == ["redirect", "response", "body", "body", "error"]
    assert expected[-1] == ("error", 0, b"", b"", "Timeout (Chromium net error -7)")
    # The hub: the same records up to the head, then the body and the
    # failure from the request itself.
    got = [failure_texts(event) for _, event in drain(hub)]
    assert got == expected[:2] + [("ended", 0, b"", b"", None)]
    assert via_hub.take_available() == b"\x00\x01"
    with pytest.raises(native.CoreFailure, match="^Timeout \\(Chromium net error -7\\)$"):
        via_hub.take_available()


def test_terminal_event_detaches(core, engine, hub, loop):
    request, ident = attached(core, engine, hub, "t")
    assert hub.pending_count() == 1
    core.response(ident)
    core.complete(ident)
    assert [e.kind for _, e in drain(hub)] == [Event.RESPONSE, Event.ENDED]
    assert hub.pending_count() == 0
    scheduled = len(loop.scheduled)
    core.data(ident, b"late")
    assert len(loop.scheduled) == scheduled and hub.poll() == []


def test_a_full_batch_leaves_the_rest_for_the_next_poll(core, engine, hub, loop):
    socket = engine.websocket("ws://x/")
    socket.start_hub(hub, "a")
    first = core.last_id("websocket")
    _, second = attached(core, engine, hub, "b")
    core.ws_open(first)
    core.ws_message(first, b"1", kind=2, count=9)
    core.response(second)
    assert [tag for tag, _ in hub.poll(4)] == ["a"] * 4
    assert [tag for tag, _ in hub.poll(4)] == ["a"] * 4
    assert [tag for tag, _ in hub.poll(4)] == ["a", "a", "b"]
    assert hub.poll(4) == [] and len(loop.scheduled) == 1


def test_websockets_through_the_hub(core, engine, hub, loop):
    socket = engine.websocket("ws://x/")
    socket.start_hub(hub, "ws")
    ident = core.last_id("websocket")
    core.ws_open(ident, b"chat")
    core.ws_message(ident, "caf\u00e9".encode(), kind=1)
    core.ws_message(ident, b"\x00\xff", kind=2)
    assert as_tuples(hub.poll()) == [("ws", ("open", b"chat", None, None)), ("ws", ("text", "caf\u00e9", None, None)),
                                     ("ws", ("binary", b"\x00\xff", None, None))]
    # close() keeps the hub informed up to the end.
    socket.close(1000, "bye")
    core.ws_closing(ident)
    core.ws_close(ident, 1000, b"bye")
    assert len(loop.scheduled) == 2
    assert as_tuples(hub.poll()) == [("ws", ("closing", b"", None, None)), ("ws", ("closed", b"", 1000, "bye"))]
    assert hub.pending_count() == 0


def test_large_messages_leave_the_hub_unmade(core, engine, hub):
    """From 4 KiB a message's str or bytes is made by take(), one message at
    a time; a buffer taken from the Core goes back then, or with a message
    never taken.  (A Core that cannot hand buffers over gives copies.)"""
    taken = "hy_message_release" in native.core_extensions
    socket = engine.websocket("ws://x/")
    socket.start_hub(hub, "ws")
    ident = core.last_id("websocket")
    core.ws_open(ident)
    core.ws_message(ident, b"s" * 4095, kind=2)
    core.ws_message(ident, bytes(range(256)) * 16, kind=2)
    core.ws_message(ident, b"\xff" + "\u00e9".encode() * 3000, kind=1)
    core.ws_message(ident, b"k" * 5000, kind=2)
    events = [event for _, event in hub.poll()][1:]
    assert [e.kind for e in events] == [Socket.BINARY, Socket.BINARY, Socket.TEXT, Socket.BINARY]
    small, binary, text, dropped = (e.payload for e in events)
    assert small == b"s" * 4095
    assert all(type(p) is native.PendingMessage for p in (binary, text, dropped))
    assert (binary.pending_bytes, text.pending_bytes) == (4096, 6001)
    releases = core.calls("hy_message_release")
    made = binary.take()
    assert made == bytes(range(256)) * 16 and binary.take() is made and binary.pending_bytes == 0
    assert text.take() == "\ufffd" + "\u00e9" * 3000  # invalid UTF-8 replaced, as recv_message does
    if taken:
        assert core.calls("hy_message_release") == releases + 2
    del events, dropped
    gc.collect()
    if taken:
        assert core.calls("hy_message_release") == releases + 3
    with pytest.raises(TypeError):
        native.PendingMessage()


@pytest.mark.parametrize("how", ["hub.detach", "detach_callback", "cancel"])
def test_detaching_a_request(core, engine, hub, loop, how):
    request, ident = attached(core, engine, hub, "d")
    if how == "hub.detach":
        assert hub.detach(request) is True
        assert hub.detach(request) is False
    else:
        getattr(request, how)()
    assert hub.pending_count() == 0
    core.response(ident)
    assert loop.scheduled == [] and hub.poll() == []


def test_detach_from_another_hub_is_refused(core, engine, hub, loop):
    other = native.PyEventHub(loop, notify)
    request, ident = attached(core, engine, hub, "x")
    assert other.detach(request) is False
    assert hub.pending_count() == 1
    core.response(ident)
    assert [tag for tag, _ in hub.poll()] == ["x"]
    other.close()


def test_close_with_objects_attached(core, engine, loop):
    hub = native.PyEventHub(loop, notify)
    baseline = sys.getrefcount(loop), sys.getrefcount(notify)
    requests = [attached(core, engine, hub, i) for i in range(5)]
    socket = engine.websocket("ws://x/")
    socket.start_hub(hub, "ws")
    ws_ident = core.last_id("websocket")
    hub.close()
    assert hub.pending_count() == 0 and hub.is_closed()
    for request, ident in requests:
        core.response(ident)
    core.ws_message(ws_ident, b"x")
    assert loop.scheduled == [] and hub.poll() == []
    assert (sys.getrefcount(loop), sys.getrefcount(notify)) == (baseline[0] - 1, baseline[1] - 1)
    # The objects still answer their own polls.
    assert requests[0][0].poll_events_bytes()[0].kind == Event.RESPONSE
    with pytest.raises(RuntimeError, match="^event hub is closed$"):
        engine.request("GET", "http://x/").start_hub(hub, "late")
    assert core.calls("hy_request_start") == 5


def test_dropping_the_hub_detaches_everything(core, engine, loop):
    hub = native.PyEventHub(loop, notify)
    tag = object()
    before = sys.getrefcount(tag)
    request, ident = attached(core, engine, hub, tag)
    assert sys.getrefcount(tag) == before + 1
    del hub
    gc.collect()
    assert sys.getrefcount(tag) == before
    core.response(ident)
    assert loop.scheduled == []
    assert request.poll_events_bytes()[0].kind == Event.RESPONSE


def test_closed_loop_with_objects_attached(core, engine, hub, loop):
    pairs_c = attached(core, engine, hub, "c")
    ident = pairs_c[1]
    loop.closed = True
    core.response(ident)
    core.data(ident, b"x")
    assert loop.scheduled == []
    loop.closed = False
    core.data(ident, b"y")
    assert len(loop.scheduled) == 1
    request = pairs_c[0]
    assert [e.kind for _, e in hub.poll()] == [Event.RESPONSE]
    assert [request.take_available() for _ in range(2)] == [b"xy", None]


def test_real_loop_closed_with_objects_attached(core, engine):
    real = asyncio.new_event_loop()
    hub = native.PyEventHub(real, notify)
    _, ident = attached(core, engine, hub, "x")
    real.close()
    core.response(ident)        # call_soon_threadsafe raises: dropped
    core.complete(ident)
    assert [e.kind for _, e in hub.poll()] == [Event.RESPONSE, Event.ENDED]
    hub.close()


def test_refused_start_detaches(core, engine, hub):
    core.script("hy_request_start", 10)
    with pytest.raises(RuntimeError, match="^Proxy$"):
        attached(core, engine, hub, "r")
    core.script("hy_websocket_start", 10)
    with pytest.raises(RuntimeError, match="^Proxy$"):
        engine.websocket("ws://x/").start_hub(hub, "w")
    assert hub.pending_count() == 0


def test_argument_checks(core, engine, loop, hub):
    with pytest.raises(TypeError, match="cannot be converted to 'PyEventHub'"):
        engine.request("GET", "http://x/").start_hub(loop, "t")
    with pytest.raises(TypeError, match="neither a PyRequest nor a PyWebSocket"):
        hub.detach(5)
    with pytest.raises(TypeError, match="not callable"):
        native.PyEventHub(loop, 5)
    assert core.calls("hy_request_start") == 0


def test_real_loop_routes_many_requests(core, engine):
    """Auto-answered requests through one hub on a real loop."""
    core.auto_respond(b"payload" * 10)

    async def main():
        loop = asyncio.get_running_loop()
        futures = {}
        wakeups = [0]

        def on_wake():
            wakeups[0] += 1
            while True:
                batch = hub.poll(64)
                for tag, event in batch:
                    futures[tag].setdefault("events", []).append(event)
                    if event.kind in (Event.ENDED, Event.ERROR):
                        futures[tag]["done"].set_result(None)
                if len(batch) < 64:
                    break

        hub = native.PyEventHub(loop, on_wake)
        requests = []
        for i in range(200):
            futures[i] = {"done": loop.create_future()}
            request = engine.request("GET", "http://x/")
            request.start_hub(hub, i)
            futures[i]["request"] = request
            requests.append(request)
        await asyncio.wait_for(asyncio.gather(*(f["done"] for f in futures.values())), 20)
        hub.close()
        return futures, wakeups[0]

    futures, wakeups = asyncio.run(main())
    for i, entry in futures.items():
        assert [e.kind for e in entry["events"]] == [Event.RESPONSE, Event.ENDED]
        assert entry["request"].take_available() == b"payload" * 10
    assert 1 <= wakeups <= 200
    core.wait_idle()


def _rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def test_no_leak_over_ten_thousand_attached_objects(core, engine, loop):
    """10,000 requests and 10,000 WebSockets attached and detached every way."""
    core.set_recording(False)
    hub = native.PyEventHub(loop, notify)
    tag = object()

    def cycle(n):
        for i in range(n):
            request = engine.request("GET", "http://x/")
            request.start_hub(hub, tag)
            ident = core.last_id("request")
            if i % 3 == 0:
                core.response(ident)
                core.complete(ident)
                hub.poll()
                loop.scheduled.clear()      # the fake loop keeps what it was given
            elif i % 3 == 1:
                hub.detach(request)
                core.complete(ident)            # a Core ends every started request
            else:
                request.cancel()
                core.complete(ident, 7, -3)
            socket = engine.websocket("ws://x/")
            socket.start_hub(hub, tag)
            ws_ident = core.last_id("websocket")
            if i % 2:
                core.ws_open(ws_ident)
                core.ws_close(ws_ident, 1000, b"")
                assert [e.kind for _, e in hub.poll()] == [Socket.OPEN, Socket.CLOSED]
                loop.scheduled.clear()
            else:
                hub.detach(socket)
                core.ws_close(ws_ident, 1000, b"")
            if i % 500 == 0:
                core.reset()
                core.set_recording(False)

    cycle(1000)                 # warm-up: caches, allocator pools
    gc.collect()
    refs = sys.getrefcount(tag), sys.getrefcount(loop), sys.getrefcount(notify)
    tracemalloc.start()
    rss = _rss_kib()
    snapshot = tracemalloc.take_snapshot()
    cycle(10_000)
    gc.collect()
    native.PyEngine.abi_version()   # applies decrements queued on other threads
    grown = sum(s.size_diff for s in tracemalloc.take_snapshot().compare_to(snapshot, "filename"))
    tracemalloc.stop()
    assert hub.pending_count() == 0
    assert (sys.getrefcount(tag), sys.getrefcount(loop), sys.getrefcount(notify)) == refs
    assert grown < 64 * 1024, grown
    # About 1 KiB a lost object would show as 10 MiB (not under
    # AddressSanitizer, whose quarantine keeps freed memory).
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        assert _rss_kib() - rss < 2 * 1024
    hub.close()
    core.set_recording(True)


def test_concurrent_fires_polls_and_detaches(core, engine, loop):
    hub = native.PyEventHub(loop, notify)
    for _ in range(10):
        pairs = [attached(core, engine, hub, i) for i in range(8)]
        stop = threading.Event()
        seen = []

        def poller():
            while not stop.is_set():
                seen.extend(hub.poll(16))

        def detacher():
            for request, _ in pairs[::2]:
                hub.detach(request)

        workers = [threading.Thread(target=poller), threading.Thread(target=poller),
                   threading.Thread(target=detacher)]
        for w in workers:
            w.start()
        for _, ident in pairs:
            core.response(ident)
            core.data_repeat(ident, b"s" * 64, 50)
            core.complete(ident)
        stop.set()
        for w in workers:
            w.join(10)
            assert not w.is_alive()
        seen.extend(drain(hub))
        # Every object that was never detached ended through the hub, each
        # event once (its body stays in the request).  Two pollers append
        # their batches in whatever order their threads run, so the order
        # across batches is not checked here.
        for tag in range(1, 8, 2):
            kinds = sorted(e.kind for t, e in seen if t == tag)
            assert kinds == [Event.RESPONSE, Event.ENDED]
            assert [pairs[tag][0].take_available() for _ in range(2)] == [b"s" * 64 * 50, b""]
        assert hub.pending_count() == 0
    hub.close()


EXIT_SCRIPT = textwrap.dedent("""
    import sys
    sys.path.insert(0, {tests!r})
    from conftest import DOUBLE as core, native
    import asyncio
    loop = asyncio.new_event_loop()
    hub = native.PyEventHub(loop, lambda: hub.poll())
    engine = native.PyEngine()
    keep = []
    for i in range(16):
        request = engine.request("GET", "http://x/")
        request.start_hub(hub, i)
        core.stream_body(core.last_id("request"), 4096, 1 << 26)
        keep.append(request)
    print("exiting", flush=True)
""")


def test_interpreter_exit_with_core_threads_delivering():
    script = EXIT_SCRIPT.format(tests=str(ROOT / "tests" / "module"))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                          env=dict(os.environ))
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "exiting"
