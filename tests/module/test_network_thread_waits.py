"""A blocking wait made on its engine's own network thread (here: from a loop
object's call_soon_threadsafe, which a Core callback runs) is refused at
once with a RuntimeError instead of waiting for ever, and the engine goes
on serving its other requests.  The double runs each callback on a native
thread of its own, as the Core runs them on its network thread."""
import threading
import time

import pytest

import vesper_native36 as native
from helpers import started

OWN_THREAD = "would wait on the engine's own network thread"


class CallingLoop:
    """A loop object whose call_soon_threadsafe makes one blocking call and
    records how it ended and how long it took."""

    def __init__(self, call):
        self.call = call
        self.outcomes = []
        self.threads = []

    def call_soon_threadsafe(self, callback, *args):
        self.threads.append(threading.get_ident())
        begun = time.monotonic()
        try:
            self.call()
            outcome = None
        except BaseException as exc:  # recorded for the test
            outcome = exc
        self.outcomes.append((outcome, time.monotonic() - begun))


def _with_head(core, engine):
    request, ident = started(core, engine)
    core.response(ident)
    request.await_response(5)
    return request


def _manual(core, engine):
    return started(core, engine, "GET", "http://x/", allow_redirects=False)[0]


def _unstarted(core, engine):
    return engine.request("GET", "http://x/")


def _upload(core, engine):
    request, ident = started(core, engine, "POST", "http://x/", chunked=True)
    core.upload_full(ident)
    return request


def _socket(core, engine):
    socket = engine.websocket("ws://x/")
    socket.connect()
    return socket


def _started(core, engine):
    return started(core, engine)[0]


# A piece goes to the Core through either, whichever the Core offers.
UPLOAD_CALLS = ("hy_request_upload_push", "hy_request_upload_write")

# Each case: how the waiting object is prepared (on the test's thread), the
# blocking call made on the network thread, and the Core calls that the
# refused call must not have made.
BLOCKING = {
    "await_response": (_started, lambda r: r.await_response(5), None),
    "wait_response": (_started, lambda r: r.wait_response(5), None),
    "start_stream": (_unstarted, lambda r: r.start_stream(5), ("hy_request_start",)),
    "wait_redirect": (_started, lambda r: r.wait_redirect(5), None),
    "wait_manual": (_manual, lambda r: r.wait_manual(5), None),
    "wait_manual_bytes": (_manual, lambda r: r.wait_manual_bytes(5), None),
    "next_body": (_with_head, lambda r: r.next_body(5), None),
    "read_body": (_with_head, lambda r: r.read_body(5), None),
    "read_chunk": (_with_head, lambda r: r.read_chunk(5), None),
    "read_all": (_with_head, lambda r: r.read_all(5), None),
    "readinto": (_with_head, lambda r: r.readinto(bytearray(16), 5), None),
    "upload_write": (_upload, lambda r: r.upload_write(b"piece", False), UPLOAD_CALLS),
    "upload_finish": (_upload, lambda r: r.upload_finish(), UPLOAD_CALLS),
    "recv": (_socket, lambda s: s.recv(5), None),
    "recv_message": (_socket, lambda s: s.recv_message(5), None),
}


def _trigger(core, engine, loop):
    """Starts a request of `engine` whose notifier is `loop`; answering its
    head (core.response) runs the notifier on a callback thread, inside the
    callback."""
    trigger = engine.request("GET", "http://x/trigger")
    trigger.start_async(loop, lambda: None)
    return trigger, core.last_id("request")


def _fire_request_callback(core, engine, loop):
    trigger, ident = _trigger(core, engine, loop)
    core.response(ident)
    return trigger


def _unrelated_request_completes(core, engine):
    request, ident = started(core, engine)
    core.response(ident)
    core.data(ident, b"still served")
    core.complete(ident)
    assert request.wait_response(5).status_code == 200
    assert request.read_all(5) == b"still served"


@pytest.mark.parametrize("name", sorted(BLOCKING))
def test_a_blocking_call_on_its_engines_callback_thread_raises_at_once(core, engine, name):
    prepare, call, core_calls = BLOCKING[name]
    waiting = prepare(core, engine)
    loop = CallingLoop(lambda: call(waiting))
    _trigger_request, trigger_id = _trigger(core, engine, loop)
    calls_before = [core.calls(c) for c in core_calls or ()]
    core.response(trigger_id)
    assert len(loop.outcomes) == 1
    outcome, seconds = loop.outcomes[0]
    assert isinstance(outcome, native.NetworkThreadError) and OWN_THREAD in str(outcome), outcome
    assert seconds < 1.0
    assert loop.threads[0] != threading.get_ident()
    assert [core.calls(c) for c in core_calls or ()] == calls_before, "the refused call still reached the Core"
    _unrelated_request_completes(core, engine)


def test_a_websocket_callback_marks_its_thread_too(core, engine):
    waiting = _started(core, engine)
    loop = CallingLoop(lambda: waiting.await_response(5))
    socket = engine.websocket("ws://x/")
    socket.start_async(loop, lambda: None)
    core.ws_open(core.last_id("websocket"))
    outcome, seconds = loop.outcomes[0]
    assert isinstance(outcome, native.NetworkThreadError) and OWN_THREAD in str(outcome), outcome
    assert seconds < 1.0


@pytest.mark.parametrize("same_namespace", [True, False])
def test_engines_of_one_profile_namespace_share_the_refusal(core, same_namespace):
    # One namespace is one network thread in the Core: a wait of a sibling
    # engine would block it just the same.
    first = native.PyEngine(profile_namespace="shared-thread")
    second = native.PyEngine(profile_namespace="shared-thread" if same_namespace else "another")
    waiting = _started(core, second)
    loop = CallingLoop(lambda: waiting.await_response(0.05))
    _fire_request_callback(core, first, loop)
    outcome, _seconds = loop.outcomes[0]
    if same_namespace:
        assert isinstance(outcome, native.NetworkThreadError) and OWN_THREAD in str(outcome), outcome
    else:
        assert isinstance(outcome, TimeoutError), outcome


def test_another_engines_wait_is_not_refused(core, engine):
    other = native.PyEngine()
    waiting, ident = started(core, other)
    answered = []

    def wait_other():
        answered.append(waiting.await_response(0.05))

    loop = CallingLoop(wait_other)
    _fire_request_callback(core, engine, loop)
    # Waited (and timed out): the mark names this engine's thread only.
    assert isinstance(loop.outcomes[0][0], TimeoutError), loop.outcomes
    # The same wait on the test's own thread is an ordinary wait.
    core.response(ident)
    assert waiting.await_response(5).status_code == 200
