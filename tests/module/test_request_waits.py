"""Every blocking wait: Ctrl-C ends it, a timeout bounds it, and it ends at
once when the request can bring nothing more."""
import os
import signal
import threading
import time

import pytest
from event_tuples import as_tuple

from helpers import Background, started

MIB = 1024 * 1024


class Interrupted(Exception):
    pass


def _signal_after(signum, handler):
    """Installs `handler` for `signum` and yields arm(delay), which sends the
    signal to this process after `delay` seconds; afterwards every timer is
    stopped and the previous handler restored."""
    previous = signal.signal(signum, handler)
    timers = []

    def arm(delay=0.2):
        timer = threading.Timer(delay, os.kill, (os.getpid(), signum))
        timer.start()
        timers.append(timer)

    yield arm
    for timer in timers:
        timer.cancel()
        timer.join(5)
    signal.signal(signum, previous)


@pytest.fixture
def interrupt_after():
    """Sends SIGUSR1 to this process after `delay` seconds; its handler
    raises Interrupted in the main thread, as Ctrl-C raises KeyboardInterrupt."""
    def handler(signum, frame):
        raise Interrupted()

    yield from _signal_after(signal.SIGUSR1, handler)


def _head(core, engine):
    request, ident = started(core, engine)
    core.response(ident)
    request.await_response()
    return request, ident


# Each case: how to get a request into the wait, and the wait itself.
REQUEST_WAITS = {
    "await_response": (started, lambda r: r.await_response()),
    "wait_response": (started, lambda r: r.wait_response()),
    "wait_redirect": (started, lambda r: r.wait_redirect()),
    "wait_manual": (started, lambda r: r.wait_manual()),
    "wait_manual_bytes": (started, lambda r: r.wait_manual_bytes()),
    "next_body": (_head, lambda r: r.next_body()),
    "read_body": (_head, lambda r: r.read_body()),
    "read_chunk": (_head, lambda r: r.read_chunk()),
    "read_all": (_head, lambda r: r.read_all()),
    "readinto": (_head, lambda r: r.readinto(bytearray(16))),
}


@pytest.mark.parametrize("name", sorted(REQUEST_WAITS))
def test_a_signal_ends_a_request_wait_and_cancels_the_request(core, engine, interrupt_after, name):
    prepare, wait = REQUEST_WAITS[name]
    request, _ident = prepare(core, engine)
    interrupt_after(0.2)
    begun = time.monotonic()
    with pytest.raises(Interrupted):
        wait(request)
    assert time.monotonic() - begun < 2.0
    # The caller gave up on the request: the Core is told to stop it.
    assert core.calls("hy_request_cancel") == 1


def test_start_stream_is_interruptible(core, engine, interrupt_after):
    request = engine.request("GET", "http://x/")
    interrupt_after(0.2)
    with pytest.raises(Interrupted):
        request.start_stream()
    assert core.calls("hy_request_cancel") == 1


@pytest.mark.parametrize("method", ["recv", "recv_message"])
def test_a_signal_ends_recv_and_leaves_the_connection_open(core, engine, interrupt_after, method):
    socket = engine.websocket("ws://x/")
    socket.connect()
    ident = core.last_id("websocket")
    interrupt_after(0.2)
    with pytest.raises(Interrupted):
        getattr(socket, method)()
    assert core.calls("hy_websocket_cancel") == 0 and core.calls("hy_websocket_close") == 0
    core.ws_message(ident, b"after", kind=1)
    assert as_tuple(getattr(socket, method)(timeout=5))[0] == "text"


@pytest.mark.parametrize("name", ["await_response", "next_body", "read_body", "start_stream"])
def test_timeouts_leave_the_request_going(core, engine, name):
    if name == "start_stream":
        request = engine.request("GET", "http://x/")
        with pytest.raises(TimeoutError):
            request.start_stream(0.05)
        ident = core.last_id("request")
        core.response(ident, 201)
        assert request.await_response(5).status_code == 201
        return
    if name == "await_response":
        request, ident = started(core, engine)
        with pytest.raises(TimeoutError):
            request.await_response(timeout=0.05)
        core.response(ident, 204)
        assert request.await_response(timeout=5).status_code == 204
        return
    request, ident = _head(core, engine)
    core.data(ident, b"ab")
    read = getattr(request, name)
    if name == "read_body":
        # What was gathered before the timeout is read again, not lost.
        with pytest.raises(TimeoutError):
            read(0.05)
        core.data(ident, b"cd")
        core.complete(ident)
        assert bytes(read(5)) == b"abcd"
    else:
        assert bytes(read(0.05)) == b"ab"
        with pytest.raises(TimeoutError):
            read(0.05)
        core.complete(ident)
        assert read(5) is None
    assert core.calls("hy_request_cancel") == 0


def test_recv_timeout(core, engine):
    socket = engine.websocket("ws://x/")
    socket.connect()
    with pytest.raises(TimeoutError):
        socket.recv(0.05)
    with pytest.raises(TimeoutError):
        socket.recv(timeout=0)


def test_await_response_on_a_held_redirect_raises(core, engine):
    request, ident = started(core, engine, "GET", "http://x/", allow_redirects=False)
    waiter = Background(request.await_response, 10)
    core.redirect(ident, 302, b"HTTP/1.1 302 Found\r\n\r\n", b"http://x/next", b"GET")
    with pytest.raises(RuntimeError, match="allow_redirects=False.*wait_manual"):
        waiter.join(5)
    # The manual walk still works from there.
    redirect, head = request.wait_manual(5)
    assert redirect[0] == 302 and head is None
    request.follow_redirect()
    core.response(ident, 200)
    assert request.await_response(5).status_code == 200


def test_followed_redirects_do_not_stop_await_response(core, engine):
    request, ident = started(core, engine)     # the Core follows
    core.redirect(ident, 301, b"", b"http://x/a", b"GET")
    waiter = Background(request.await_response, 10)
    time.sleep(0.1)
    core.response(ident, 200)
    assert waiter.join(5).status_code == 200


@pytest.mark.parametrize("wait, nothing", [
    (lambda r: r.wait_redirect(0.3), None),
    (lambda r: r.wait_manual(0.3), (None, None)),
])
def test_waits_on_a_request_never_started_wait_out_their_timeout(core, engine, wait, nothing):
    request = engine.request("GET", "http://x/")
    begun = time.monotonic()
    assert wait(request) == nothing
    assert time.monotonic() - begun >= 0.29


@pytest.mark.parametrize("wait", [lambda r: r.wait_redirect(30), lambda r: r.wait_manual(30)])
def test_a_start_on_another_thread_answers_a_wait_begun_before_it(core, engine, wait):
    request = engine.request("GET", "http://x/", redirect="manual")
    waiter = Background(wait, request)
    time.sleep(0.2)
    request.start()
    core.redirect(core.last_id("request"), 302, b"HTTP/1.1 302 Found\r\n\r\n", b"http://y/", b"GET")
    result = waiter.join(5)
    record = result if result is None or len(result) == 4 else result[0]
    assert record is not None and record[0] == 302 and record[2] == "http://y/"


@pytest.mark.parametrize("wake", [
    lambda core, ident: core.response(ident),
    lambda core, ident: core.data(ident, b"x"),
])
def test_wait_redirect_ends_at_the_first_wake_up_of_any_kind(core, engine, wake):
    request, ident = started(core, engine)
    waiter = Background(request.wait_redirect, 5)
    time.sleep(0.1)
    begun = time.monotonic()
    wake(core, ident)
    assert waiter.join(5) is None
    assert time.monotonic() - begun < 1.0


def test_a_wake_up_between_slices_still_ends_wait_redirect(core, engine):
    # Many wake-ups spread over the 50 ms slices: whichever slice one falls
    # before or into, the wait ends with it.
    for _ in range(20):
        request, ident = started(core, engine)
        waiter = Background(request.wait_redirect, 5)
        time.sleep(0.05 + 0.0025 * _)
        begun = time.monotonic()
        core.data(ident, b"x")
        assert waiter.join(5) is None
        assert time.monotonic() - begun < 1.0


@pytest.mark.parametrize("read, ended", [
    (lambda r: r.next_body(), False),
    (lambda r: r.read_chunk(5), False),
    (lambda r: r.read_all(5), True),
])
def test_the_automatic_resume_is_made_without_the_interpreter_lock(core, engine, read, ended):
    request, ident = started(core, engine)
    core.response(ident)
    request.await_response()
    assert core.data(ident, b"a" * MIB) == 0            # paused at 1 MiB
    if ended:
        core.complete(ident)
    read(request)
    resumes = core.records("resume")
    assert resumes, "a read below the limit resumes the Core"
    assert all(r["gil"] is False for r in resumes), resumes


@pytest.mark.parametrize("wait, expected", [
    (lambda r: r.wait_redirect(30), "^Canceled$"),
    (lambda r: r.wait_manual(30), "^Canceled$"),
])
def test_cancel_before_start_ends_waits(core, engine, wait, expected):
    # Ended before its start: the redirect wait reports the failure by its
    # kind, at once.
    request = engine.request("GET", "http://x/")
    request.cancel()
    assert request.is_finished() is True
    begun = time.monotonic()
    with pytest.raises(RuntimeError, match=expected):
        wait(request)
    assert time.monotonic() - begun < 1.0


def test_cancel_from_another_thread_wakes_wait_redirect(core, engine):
    request, ident = started(core, engine)
    waiter = Background(request.wait_redirect, 30)
    time.sleep(0.1)
    request.cancel()
    core.complete(ident, 7, -3)     # what the Core reports for a cancel
    with pytest.raises(RuntimeError, match="^Canceled$"):
        waiter.join(5)


class TestNoBodyAfterAFailure:
    def test_next_body(self, core, engine):
        request, ident = _head(core, engine)
        core.data(ident, b"ok")
        assert core.raw_data(ident, b"x", 2 ** 64 - 1) == 1   # the module's copy fails
        # Later data is refused: the Core is told to pause, then cancelled.
        assert core.data(ident, b"late") == 0
        assert core.calls("hy_request_cancel") >= 1
        assert request.next_body() == [111, 107]
        with pytest.raises(RuntimeError, match="CallbackPanic"):
            request.next_body()
        core.data(ident, b"later still")
        assert request.next_body() is None

    def test_poll_sees_error_last(self, core, engine):
        request, ident = started(core, engine)
        core.response(ident)
        core.raw_data(ident, b"x", 2 ** 64 - 1)
        core.data(ident, b"late")
        kinds = [event[0] for event in request.poll_events(16)]
        assert kinds == ["response", "error"]
        core.data(ident, b"later")
        assert request.poll_events(16) == []


# An upload's wait for room in the Core's queue, held full by the double.
UPLOAD_WAITS = {
    "upload_write": lambda r: r.upload_write(b"piece", False),
    "upload_finish": lambda r: r.upload_finish(),
}


@pytest.fixture
def sigint_after():
    """Sends SIGINT to this process after `delay` seconds (Python's own
    handler: KeyboardInterrupt in the main thread)."""
    yield from _signal_after(signal.SIGINT, signal.default_int_handler)


@pytest.mark.core_extension("hy_request_upload_push", "hy_request_upload_wait")
@pytest.mark.parametrize("name", sorted(UPLOAD_WAITS))
@pytest.mark.parametrize("how", ["sigint", "handler"])
def test_a_signal_ends_an_upload_held_by_a_full_queue(core, engine, interrupt_after, sigint_after, name, how):
    request, ident = started(core, engine, "PUT", "http://x/", chunked=True)
    core.upload_full(ident)
    (sigint_after if how == "sigint" else interrupt_after)(0.2)
    begun = time.monotonic()
    with pytest.raises(KeyboardInterrupt if how == "sigint" else Interrupted):
        UPLOAD_WAITS[name](request)
    assert time.monotonic() - begun < 2.0
    # The piece was queued once, the wait went in bounded slices, and the
    # request was given up.
    assert core.calls("hy_request_upload_push") == 1
    waits = core.records("upload_wait")
    assert waits[0]["timeout_ms"] == 0 and len(waits) >= 3
    assert all(0 < w["timeout_ms"] <= 50 for w in waits[1:])
    assert core.calls("hy_request_cancel") == 1
    assert core.calls("hy_request_upload_write") == 0


@pytest.mark.parametrize("name", sorted(UPLOAD_WAITS))
def test_an_upload_waits_while_the_queue_is_full_and_goes_on_when_it_drains(core, engine, name):
    request, ident = started(core, engine, "PUT", "http://x/", chunked=True)
    core.upload_full(ident)
    timer = threading.Timer(0.3, core.upload_full, (ident, False))
    timer.start()
    begun = time.monotonic()
    try:
        UPLOAD_WAITS[name](request)
    finally:
        timer.join(5)
    # Held to the back-pressure: it did not return before the queue drained.
    assert time.monotonic() - begun >= 0.25
    assert core.calls("hy_request_cancel") == 0


@pytest.mark.core_extension("hy_request_upload_push", "hy_request_upload_wait")
@pytest.mark.parametrize("code, kind", [(7, "Canceled"), (6, "Timeout"), (5, "InvalidState"), (8, "Network")])
def test_an_upload_wait_that_sees_the_request_end_raises_its_code(core, engine, code, kind):
    request, _ident = started(core, engine, "PUT", "http://x/", chunked=True)
    core.script("hy_request_upload_wait", code)
    with pytest.raises(RuntimeError, match=f"^{kind}$"):
        request.upload_write(b"x", False)
    # Only an interrupt cancels; an ended request needs no cancel.
    assert core.calls("hy_request_cancel") == 0
    assert core.calls("hy_request_upload_wait") == 1


def _needs_drive(native_module):
    if "hy_request_drive" not in native_module.core_extensions:
        pytest.skip("the Core has no hy_request_drive")


@pytest.mark.parametrize("name", sorted(REQUEST_WAITS))
def test_waits_run_the_loop_through_the_core(core, engine, name):
    # With hy_request_drive each slice of a wait is a drive, made without
    # the interpreter lock, and the wait ends on the callback as before.
    import vesper_native36
    _needs_drive(vesper_native36)
    prepare, wait = REQUEST_WAITS[name]
    request, ident = prepare(core, engine)
    before = core.calls("hy_request_drive")

    def answer():
        time.sleep(0.15)
        if name in ("wait_redirect", "wait_manual", "wait_manual_bytes"):
            core.redirect(ident, 302, b"HTTP/1.1 302 Found\r\n\r\n", b"http://y/", b"GET")
        elif name in ("await_response", "wait_response"):
            core.response(ident)
        else:
            core.data(ident, b"body")
            core.complete(ident)

    fire = Background(answer)
    wait(request)
    fire.join()
    assert core.calls("hy_request_drive") > before
    drives = core.records("drive")
    assert drives and not any(d["gil"] for d in drives)
    assert all(0 < d["timeout_ms"] <= 50 for d in drives)


def test_a_refused_drive_falls_back_to_a_plain_wait(core, engine):
    import vesper_native36
    _needs_drive(vesper_native36)
    request, ident = started(core, engine)
    for _ in range(100):
        core.script("hy_request_drive", 5)
    fire = Background(lambda: (time.sleep(0.15), core.response(ident, 204)))
    assert request.wait_response(5).status_code == 204
    fire.join()
    assert core.calls("hy_request_drive") >= 1


@pytest.mark.parametrize("method, driven", [("start_for_wait", True), ("start_stream", True), ("start", False)])
def test_which_starts_leave_the_request_to_the_waiting_thread(core, engine, method, driven):
    import vesper_native36
    has = "hy_request_start_driven" in vesper_native36.core_extensions
    core.auto_respond(b"ok")
    request = engine.request("GET", "http://x/")
    getattr(request, method)()
    if method != "start_stream":
        request.wait_response(5)
    assert bytes(request.read_all(5)) == b"ok"
    # A driven start is a start (one hy_request_start in the double's count).
    assert core.calls("hy_request_start") == 1
    assert core.calls("hy_request_start_driven") == (1 if driven and has else 0)
