"""Waking a loop from Core threads: the notifier against a recording fake loop."""
import gc
import sys
import threading

import pytest

import vesper_native36 as native
from helpers import started


class FakeLoop:
    """Records what the notifier schedules; can play a closed loop."""

    def __init__(self):
        self.scheduled = []
        self.closed = False
        self.lock = threading.Lock()

    def call_soon_threadsafe(self, callback, *args):
        if self.closed:
            raise RuntimeError("Event loop is closed")
        with self.lock:
            self.scheduled.append((callback, args))


def notify():
    pass


@pytest.fixture
def loop():
    return FakeLoop()


def test_burst_schedules_notify_once(core, engine, loop):
    request = engine.request("GET", "http://x/")
    request.start_async(loop, notify)
    ident = core.last_id("request")
    core.response(ident)
    core.data_repeat(ident, b"c", 99)
    assert loop.scheduled == [(notify, ())]
    events = request.poll_events()
    assert [e[0] for e in events] == ["response"] + ["body"] * 63
    # The poll cleared the flag: the next event schedules again.
    core.data(ident, b"d")
    assert len(loop.scheduled) == 2


def test_closed_loop_raises_nowhere_and_retries(core, engine, loop):
    request = engine.request("GET", "http://x/")
    request.start_async(loop, notify)
    ident = core.last_id("request")
    loop.closed = True
    core.response(ident)
    core.data(ident, b"x")
    assert loop.scheduled == []
    loop.closed = False
    core.data(ident, b"y")
    assert len(loop.scheduled) == 1


def test_loop_without_the_method(core, engine):
    request = engine.request("GET", "http://x/")
    request.start_async(object(), notify)
    ident = core.last_id("request")
    core.response(ident)
    core.complete(ident)
    assert [e[0] for e in request.poll_events()] == ["response", "done"]


def test_attach_schedules_nothing_for_queued_events(core, engine, loop):
    request, ident = started(core, engine)
    core.response(ident)
    core.data(ident, b"queued")
    request.attach_async(loop, notify)
    assert loop.scheduled == []
    core.data(ident, b"new")
    assert len(loop.scheduled) == 1


def test_attach_before_start(core, engine, loop):
    request = engine.request("GET", "http://x/")
    request.attach_async(loop_=loop, notify=notify)
    request.start()
    core.response(core.last_id("request"))
    assert len(loop.scheduled) == 1


def test_detach_stops_notifications(core, engine, loop):
    request = engine.request("GET", "http://x/")
    request.start_async(loop, notify)
    request.detach_callback()
    ident = core.last_id("request")
    core.response(ident)
    assert loop.scheduled == []
    # detach also released the running pair: the head is not polled any more.
    assert request.poll_event() is None


def test_refused_start_keeps_the_notifier(core, engine, loop):
    request = engine.request("GET", "http://x/")
    core.script("hy_request_start", 10)
    with pytest.raises(RuntimeError, match="^Proxy$"):
        request.start_async(loop, notify)
    request.start()
    core.response(core.last_id("request"))
    assert len(loop.scheduled) == 1


def test_reinstall_keeps_the_flag(core, engine, loop):
    request = engine.request("GET", "http://x/")
    request.start_async(loop, notify)
    ident = core.last_id("request")
    core.response(ident)
    other = FakeLoop()
    request.attach_async(other, notify)
    core.data(ident, b"x")
    assert other.scheduled == [] and len(loop.scheduled) == 1
    request.poll_events()
    core.data(ident, b"y")
    assert len(other.scheduled) == 1


def test_dropping_notify_after_start_is_harmless(core, engine, loop):
    request = engine.request("GET", "http://x/")
    calls = []
    callback = lambda: calls.append(1)  # noqa: E731
    request.start_async(loop, callback)
    del callback
    gc.collect()
    core.response(core.last_id("request"))
    scheduled, _ = loop.scheduled[0]
    scheduled()
    assert calls == [1]


def test_references_go_when_the_notifier_goes(core, engine, loop):
    baseline = sys.getrefcount(loop)
    request = engine.request("GET", "http://x/")
    request.start_async(loop, notify)
    assert sys.getrefcount(loop) == baseline + 1
    ident = core.last_id("request")
    core.response(ident)
    core.complete(ident)
    assert [e[0] for e in request.poll_events()] == ["response", "done"]
    assert sys.getrefcount(loop) == baseline


def test_references_dropped_on_a_core_thread(core, engine, loop):
    baseline = sys.getrefcount(loop)
    request = engine.request("GET", "http://x/")
    request.start_async(loop, notify)
    ident = core.last_id("request")
    del request
    gc.collect()
    assert sys.getrefcount(loop) == baseline + 1
    # The state dies on the Core thread that completes it: its references to
    # the loop are queued and released at the next entry into the module.
    core.complete(ident)
    native.PyEngine.abi_version()
    assert sys.getrefcount(loop) == baseline


def test_contention_does_not_deadlock(core, engine):
    import asyncio  # noqa: F401  (a real loop is not needed; a busy fake one is)

    loop = FakeLoop()
    for _ in range(20):
        request = engine.request("GET", "http://x/")
        request.start_async(loop, notify)
        ident = core.last_id("request")
        stop = threading.Event()

        def poller():
            while not stop.is_set():
                request.poll_events(8)

        def detacher():
            while not stop.is_set():
                request.attach_async(loop, notify)
                request.detach_callback()

        workers = [threading.Thread(target=poller), threading.Thread(target=poller),
                   threading.Thread(target=detacher)]
        for w in workers:
            w.start()
        core.response(ident)
        core.data_repeat(ident, b"z" * 100, 200)
        request.cancel()
        core.complete(ident, 7, -3)
        stop.set()
        for w in workers:
            w.join(10)
            assert not w.is_alive()
