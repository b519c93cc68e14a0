"""A request's body on the event hub: nothing of it comes through poll; the
reader takes it from the request (take_available), told by one READABLE
per take that found nothing and by ENDED, so the module's 1 MiB pause is
the only flow control.  Against the double."""
import pytest

import vesper_native36 as native
from helpers import failure_texts
from test_async_notify import FakeLoop, notify
from test_event_hub import attached, drain, hub, loop  # noqa: F401  (fixtures)

MIB = 1_048_576
Event = native.RequestEvent


def kinds(hub):
    return [event.kind for _, event in drain(hub)]


def taken(request):
    """Every take there is now (what queued comes out joined, up to max)."""
    chunks = []
    while chunk := request.take_available():
        chunks.append(chunk)
    return chunks


def test_an_unread_body_pauses_the_core_at_one_mebibyte_and_a_take_resumes(core, engine, hub, loop):
    request, ident = attached(core, engine, hub, "r")
    core.response(ident)
    assert kinds(hub) == [Event.RESPONSE]
    scheduled = len(loop.scheduled)
    assert core.data(ident, b"a" * (MIB - 1)) == 1
    assert core.data(ident, b"b") == 0            # the blocking reader's boundary
    assert hub.poll() == []                       # no body through the hub
    assert len(loop.scheduled) == scheduled       # and no wake-up: nobody waits
    assert core.resume_count(ident) == 0
    assert request.take_available(MIB - 1) == b"a" * (MIB - 1)
    assert core.resume_count(ident) == 1          # the take made room
    assert request.take_available() == b"b"
    assert request.take_available() is None       # nothing now: the reader waits
    assert core.data(ident, b"c") == 1
    assert len(loop.scheduled) == scheduled + 1
    assert kinds(hub) == [Event.READABLE]
    core.data(ident, b"d")                        # told once per take that found nothing
    assert hub.poll() == []
    assert taken(request) == [b"cd"]
    core.complete(ident)
    assert kinds(hub) == [Event.ENDED] and hub.pending_count() == 0
    assert request.take_available() == b""
    assert request.take_available() == b""


def test_a_failure_mid_body_comes_after_the_bytes_before_it(core, engine, hub):
    request, ident = attached(core, engine, hub, "r")
    core.response(ident)
    drain(hub)
    core.data(ident, b"ab")
    core.data(ident, b"")                         # an empty piece hides nothing
    core.data(ident, b"cd")
    core.complete(ident, 6, -7)
    assert kinds(hub) == [Event.ENDED]
    assert request.take_available(1) == b"a"      # the rest stays first
    assert request.take_available(2) == b"bc"     # queued pieces joined, up to max
    assert request.take_available() == b"d"
    with pytest.raises(native.CoreFailure) as failed:
        request.take_available()
    assert str(failed.value) == "Timeout (Chromium net error -7)" and failed.value.net_error == -7
    assert request.take_available() == b""        # reported once, as read_chunk does


def test_records_before_the_head(core, engine, hub):
    request, ident = attached(core, engine, hub, "r", redirect="manual")
    core.redirect(ident, 302, b"HTTP/1.1 302\r\n\r\n", b"http://y/", b"GET")
    (tag, redirect), = drain(hub)
    assert tag == "r" and isinstance(redirect, native.RequestEvent)
    assert (redirect.kind, redirect.status, redirect.head, redirect.location, redirect.method) == (
        Event.REDIRECT, 302, b"HTTP/1.1 302\r\n\r\n", "http://y/", "GET")
    assert (redirect.data, redirect.failure) == (None, None)
    with pytest.raises(RuntimeError, match="not started"):
        request.take_available()                  # no head handed out yet
    core.complete(ident, 6, -7)
    (_, error), = drain(hub)
    assert failure_texts(error) == ("error", 0, b"", b"", "Timeout (Chromium net error -7)")
    assert hub.pending_count() == 0


def test_take_available_checks_its_argument(core, engine, hub):
    request, ident = attached(core, engine, hub, "r")
    core.response(ident)
    drain(hub)
    with pytest.raises(ValueError, match="max"):
        request.take_available(0)
    with pytest.raises(OverflowError):
        request.take_available(-1)


@pytest.mark.parametrize("end", ["hub.detach", "cancel", "hub.close"])
def test_a_request_with_an_unread_body_ends_cleanly(core, engine, loop, end):
    hub = native.PyEventHub(loop, notify)
    request, ident = attached(core, engine, hub, "r")
    core.response(ident)
    drain(hub)
    core.data(ident, b"x" * 1000)
    if end == "hub.detach":
        assert hub.detach(request) is True
    elif end == "cancel":
        request.cancel()
    else:
        hub.close()
    assert hub.pending_count() == 0 and hub.poll() == []
    # What came stays readable from the request.
    assert taken(request) == [b"x" * 1000]
    hub.close()


def test_poll_events_bytes_still_hands_out_the_body(core, engine):
    request, ident = (engine.request("GET", "http://x/"), None)
    request.attach_async(FakeLoop(), notify)
    request.start()
    ident = core.last_id("request")
    core.response(ident)
    core.data(ident, b"xy")
    core.complete(ident)
    events = request.poll_events_bytes()
    assert [e.kind for e in events] == [Event.RESPONSE, Event.BODY, Event.DONE]
    assert events[1].data == b"xy" and all(isinstance(e, native.RequestEvent) for e in events)
