"""PyEngine.loop_attach / loop_drive / loop_detach over the Core's
hy_engine_loop_* (the engine's loop run by an asyncio loop's thread), and
their answers on a Core without them."""
import pytest

from conftest import native

LOOP_EXTENSIONS = ("hy_engine_loop_attach", "hy_engine_loop_drive", "hy_engine_loop_detach")


class Loop:
    def __init__(self):
        self.calls = 0

    def call_soon_threadsafe(self, callback):
        self.calls += 1


@pytest.mark.core_extension(*LOOP_EXTENSIONS)
def test_a_round_releases_the_interpreter_lock_and_answers_its_deadline(core, engine):
    hub = native.PyEventHub(Loop(), lambda: None)
    fd = engine.loop_attach()
    assert fd >= 0
    assert engine.loop_attach() == fd  # counted: two detaches follow
    assert engine.loop_drive(hub) == pytest.approx(0.005)
    drives = core.records("loop_drive")
    assert drives and not any(record["gil"] for record in drives)
    assert engine.loop_detach() is True
    assert engine.loop_detach() is True
    assert engine.loop_detach() is False


@pytest.mark.core_extension(*LOOP_EXTENSIONS)
@pytest.mark.parametrize("refused", ["hy_engine_loop_attach", "hy_engine_loop_drive"])
def test_a_refusal_answers_not_attached(core, engine, refused):
    hub = native.PyEventHub(Loop(), lambda: None)
    core.script(refused, 5)  # HY_INVALID_STATE
    if refused == "hy_engine_loop_attach":
        assert engine.loop_attach() == -1
    else:
        assert engine.loop_attach() >= 0
        assert engine.loop_drive(hub) is None
        assert engine.loop_detach() is True


def test_without_the_extensions_nothing_attaches(core, engine):
    if all(name in native.core_extensions for name in LOOP_EXTENSIONS):
        pytest.skip("the Core has the loop extensions")
    hub = native.PyEventHub(Loop(), lambda: None)
    assert engine.loop_attach() == -1
    assert engine.loop_drive(hub) is None
    assert engine.loop_detach() is False


def test_events_from_another_thread_still_wake_the_loop(core, engine):
    # A callback on a thread other than the one inside loop_drive (the
    # double's, or the network thread's) schedules the loop's wake-up as
    # before: only the driving thread's own events skip it.
    loop = Loop()
    hub = native.PyEventHub(loop, lambda: None)
    attached = engine.loop_attach() >= 0
    request = engine.request("GET", "http://x/")
    request.start_hub(hub, "tag")
    ident = core.last_id("request")
    if attached:
        engine.loop_drive(hub)
    core.response(ident)
    core.wait_idle()
    assert loop.calls == 1
    assert [event.kind for tag, event in hub.poll()] == [native.RequestEvent.RESPONSE]
    if attached:
        assert engine.loop_detach() is True
    request.cancel()


def test_loop_drive_wants_an_event_hub(engine):
    with pytest.raises(TypeError, match="PyEventHub"):
        engine.loop_drive(object())


def _started_upload(core, engine):
    request = engine.request("PUT", "http://x/", chunked=True)
    request.start()
    return request, core.last_id("request")


@pytest.mark.core_extension("hy_request_upload_push", "hy_request_upload_wait")
def test_an_offered_piece_never_waits_and_says_whether_the_queue_is_full(core, engine):
    request, ident = _started_upload(core, engine)
    assert request.upload_offer(b"abc", False) is False
    core.upload_full(ident)
    assert request.upload_offer(memoryview(b"def"), False) is True
    assert request.upload_held() is True
    core.upload_full(ident, False)
    assert request.upload_held() is False
    # Queued once each, and every look at the queue waited 0 ms.
    assert core.calls("hy_request_upload_push") == 2
    assert all(w["timeout_ms"] == 0 for w in core.records("upload_wait"))
    core.script("hy_request_upload_wait", 5)
    with pytest.raises(RuntimeError):
        request.upload_held()


def test_offering_without_the_push_extension_names_it(core, engine):
    if "hy_request_upload_push" in native.core_extensions:
        pytest.skip("the Core has hy_request_upload_push")
    request, _ = _started_upload(core, engine)
    with pytest.raises(RuntimeError, match="hy_request_upload_push"):
        request.upload_offer(b"abc", False)
    with pytest.raises(RuntimeError, match="hy_request_upload_push"):
        request.upload_held()
