"""wait_manual_bytes and take_redirects_bytes: the manual redirect walk with
bytes blocks, timeouts, and failures with their network error."""
import time

import pytest

from conftest import native
from helpers import Background, started

RAW = b"HTTP/1.1 302 Found\r\nLocation: \xff\x00\r\n\r\n"


def manual(core, engine):
    return started(core, engine, allow_redirects=False)


def as_bytes_form(result):
    """The bytes form of a wait_manual answer."""
    record, head = result
    if record is not None:
        record = (record[0], bytes(record[1]), record[2], record[3])
    if head is not None:
        head = (head[0], bytes(head[1]))
    return record, head


@pytest.mark.parametrize("hops", [
    [],
    [(301, RAW, b"http://y/\xff", b"G\xc3ET")],
    [(302, b"", b"", b""), (307, b"raw", b"http://b/", b"POST"), (308, b"\x00" * 5000, b"/c", b"PUT")],
])
def test_walk_equals_the_list_form(core, engine, hops):
    by_lists, a = manual(core, engine)
    by_bytes, b = manual(core, engine)
    answers = {a: [], b: []}
    for status, raw, location, method in hops:
        for ident, request, wait in ((a, by_lists, "wait_manual"), (b, by_bytes, "wait_manual_bytes")):
            core.redirect(ident, status, raw, location, method)
            answers[ident].append(getattr(request, wait)(5))
            request.follow_redirect()
    for ident, request, wait in ((a, by_lists, "wait_manual"), (b, by_bytes, "wait_manual_bytes")):
        core.response(ident, 200, b"HTTP/1.1 200 OK\r\nA: \xfe\r\n\r\n")
        answers[ident].append(getattr(request, wait)(5))
    assert answers[b] == [as_bytes_form(x) for x in answers[a]]
    assert all(type(x[0][1]) is bytes for x in answers[b][:-1])
    assert answers[b][-1] == (None, (200, b"HTTP/1.1 200 OK\r\nA: \xfe\r\n\r\n"))
    core.data(b, b"end")
    core.complete(b)
    assert by_bytes.read_all(5) == b"end"


def test_a_waiter_is_woken_by_a_redirect_then_by_the_head(core, engine):
    request, ident = manual(core, engine)
    waiter = Background(request.wait_manual_bytes)
    time.sleep(0.08)                              # waiting across a slice
    core.redirect(ident, 303, b"r", b"/next", b"GET")
    assert waiter.join() == ((303, b"r", "/next", "GET"), None)
    request.follow_redirect()
    waiter = Background(request.wait_manual_bytes, 30)
    time.sleep(0.08)
    core.response(ident, 204, b"H")
    assert waiter.join() == (None, (204, b"H"))


def test_redirects_queued_before_the_head_come_first(core, engine):
    request, ident = manual(core, engine)
    core.redirect(ident, 301, b"1", b"/1", b"GET")
    core.redirect(ident, 302, b"2", b"/2", b"GET")
    core.response(ident, 200, b"H")
    assert [request.wait_manual_bytes(5)[0][0] for _ in range(2)] == [301, 302]
    assert request.wait_manual_bytes(5) == (None, (200, b"H"))


@pytest.mark.parametrize("timeout", [0, 0.06])
def test_timeout_raises_and_loses_nothing(core, engine, timeout):
    request, ident = manual(core, engine)
    with pytest.raises(TimeoutError, match="timed out waiting for a redirect or the response head"):
        request.wait_manual_bytes(timeout)
    core.redirect(ident, 302, b"x", b"/x", b"GET")
    core.response(ident, 200, b"H")
    assert request.wait_manual_bytes(timeout)[0][0] == 302
    assert request.wait_manual_bytes(timeout) == (None, (200, b"H"))


@pytest.mark.parametrize("code, net_error, text", [
    (6, -7, "Timeout (Chromium net error -7)"),
    (8, -102, "Network (Chromium net error -102)"),
])
def test_failures_carry_the_network_error_every_time(core, engine, code, net_error, text):
    request, ident = manual(core, engine)
    core.redirect(ident, 302, b"x", b"/x", b"GET")
    core.complete(ident, code, net_error)
    assert request.wait_manual_bytes(5)[0][0] == 302  # what came before the failure
    for _ in range(2):
        with pytest.raises(RuntimeError) as info:
            request.wait_manual_bytes(5)
        assert str(info.value) == text


def test_a_waiter_is_woken_by_a_failure(core, engine):
    request, ident = manual(core, engine)
    waiter = Background(lambda: pytest.raises(RuntimeError, request.wait_manual_bytes, 30).value)
    time.sleep(0.08)
    core.complete(ident, 6, -7)
    assert str(waiter.join()) == "Timeout (Chromium net error -7)"


def test_unstarted_and_head_taken_elsewhere(core, engine):
    unstarted = engine.request("GET", "http://x/", allow_redirects=False)
    with pytest.raises(RuntimeError, match="^request is not started$"):
        unstarted.wait_manual_bytes(5)
    # The head went to wait_response: nothing more can come, answered at
    # once rather than at the end of the timeout.
    request, ident = manual(core, engine)
    core.response(ident)
    request.wait_response(5)
    began = time.monotonic()
    assert request.wait_manual_bytes(30) == (None, None)
    # The head went to a poll: a failure, not a wait that never ends.
    polled, ident = manual(core, engine)
    core.response(ident)
    assert polled.poll_events_bytes()[0].kind == native.RequestEvent.RESPONSE
    with pytest.raises(RuntimeError, match="^response head was already taken$"):
        polled.wait_manual_bytes(30)
    assert time.monotonic() - began < 5


def test_take_redirects_bytes_equals_the_list_form(core, engine):
    by_lists, a = manual(core, engine)
    by_bytes, b = manual(core, engine)
    for ident in (a, b):
        core.redirect(ident, 301, b"raw\xff\x00", b"http://y/\xff", b"G\xc3ET")
        core.redirect(ident, 302, b"", b"", b"")
    expected = [(s, bytes(raw), loc, m) for s, raw, loc, m in by_lists.take_redirects()]
    assert by_bytes.take_redirects_bytes() == expected
    assert expected[0] == (301, b"raw\xff\x00", "http://y/\ufffd", "G\ufffdET")
    assert by_bytes.take_redirects_bytes() == []


@pytest.mark.parametrize("timeout", [-1.0, float("nan"), float("inf")])
def test_bad_timeouts(core, engine, timeout):
    request, _ = manual(core, engine)
    with pytest.raises(RuntimeError, match="finite non-negative"):
        request.wait_manual_bytes(timeout)
