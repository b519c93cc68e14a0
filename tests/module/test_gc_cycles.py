"""A native object whose notify refers back to it is collected: the garbage
collector sees what the notifier holds."""
import gc
import weakref

import pytest


class Loop:
    def call_soon_threadsafe(self, fn, *args):
        pass


def _request_cycle(core, engine):
    request = engine.request("GET", "http://x/")
    request.start_async(Loop(), lambda: request.poll_events())   # the closure holds the request
    ident = core.last_id("request")
    core.response(ident)
    core.data(ident, b"x" * 1000)                   # dropped mid-body
    return ident


def _websocket_cycle(core, engine):
    socket = engine.websocket("ws://x/")
    socket.start_async(Loop(), lambda: socket.poll_events())
    ident = core.last_id("websocket")
    core.ws_open(ident)
    return ident


@pytest.mark.parametrize("make, kind", [(_request_cycle, "request"), (_websocket_cycle, "websocket")])
def test_cycles_through_the_notifier_are_collected(core, engine, make, kind):
    idents = [make(core, engine) for _ in range(6)]
    gc.collect()
    # Each Core object was released: its connection no longer holds a slot
    # of the per-host limit.
    assert [core.released(kind, ident) for ident in idents] == [True] * 6


def test_a_collected_notify_lets_go_of_its_loop(core, engine):
    loop = Loop()
    alive = weakref.ref(loop)

    def make_cycle():
        request = engine.request("GET", "http://x/")
        request.start_async(loop, lambda: request)   # notify -> cell -> request -> notify
    make_cycle()
    del loop
    gc.collect()
    assert alive() is None
