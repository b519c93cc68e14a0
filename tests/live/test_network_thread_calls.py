"""The real Core: a blocking call of an engine made on that engine's network
thread (a loop object's call_soon_threadsafe, which the Core's callback
runs there) raises RuntimeError at once, and the engine goes on: the
request that woke the loop, and others, complete.  Before, such a call
waited for the very thread it ran on and every transfer of the engine
stopped with it."""
import threading
import time

import pytest

from conftest import fetch
from event_tuples import as_tuple
from websocket_helpers import close_cleanly, opened

OWN_THREAD = "would wait on the engine's own network thread"


class CallingLoop:
    """A loop object whose call_soon_threadsafe makes one blocking call (the
    first time) and records how it ended and how long it took."""

    def __init__(self, call):
        self.call = call
        self.outcome = None
        self.seconds = None
        self.woken = threading.Event()

    def call_soon_threadsafe(self, callback, *args):
        if self.seconds is None:
            begun = time.monotonic()
            try:
                self.call()
            except BaseException as exc:  # recorded for the test
                self.outcome = exc
            self.seconds = time.monotonic() - begun
        self.woken.set()


def _drain(request, loop, timeout=10.0):
    """Polls the woken request to its end; its (kind, status) of the last event."""
    deadline = time.monotonic() + timeout
    status = 0
    while True:
        assert loop.woken.wait(max(0.0, deadline - time.monotonic())), "the request that woke the loop stalled"
        loop.woken.clear()
        for event in map(as_tuple, request.poll_events_bytes()):
            if event[0] == "response":
                status = event[1]
            if event[0] in ("done", "error"):
                return event[0], status


# Each case: the object to wait on (made on the test's thread) and the
# blocking call made on the network thread.
def _started(engine, http, ws):
    request = engine.request("GET", http + "/slow?delay=3")
    request.start()
    return request


def _with_head(engine, http, ws):
    request = engine.request("GET", http + "/drip?n=5&interval=1")
    request.start()
    assert request.wait_response(10).status_code == 200
    return request


def _upload(engine, http, ws):
    request = engine.request("POST", http + "/upload", chunked=True)
    request.start()
    return request


def _socket(engine, http, ws):
    socket, _event = opened(engine, ws + "/echo")
    return socket


CASES = {
    "await_response": (_started, lambda r: r.await_response(10)),
    "read_all": (_with_head, lambda r: r.read_all(10)),
    "upload_write": (_upload, lambda r: r.upload_write(b"piece", False)),
    "recv": (_socket, lambda s: s.recv(10)),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_a_wait_on_the_engines_own_thread_is_refused_and_the_engine_goes_on(engine, http, ws, name):
    prepare, call = CASES[name]
    waiting = prepare(engine, http, ws)
    loop = CallingLoop(lambda: call(waiting))
    trigger = engine.request("GET", http + "/echo")
    trigger.start_async(loop, lambda: None)
    assert _drain(trigger, loop) == ("done", 200)
    assert isinstance(loop.outcome, RuntimeError) and OWN_THREAD in str(loop.outcome), loop.outcome
    assert loop.seconds < 1.0
    # The engine is not stuck: an unrelated request completes, and so can
    # the wait itself from an ordinary thread.
    assert fetch(engine, "GET", http + "/echo").status == 200
    if name == "await_response":
        assert waiting.await_response(10).status_code == 200
    elif name == "recv":
        close_cleanly(waiting)
    else:
        waiting.cancel()
