"""Failures as values: every path that reports a Core failure raises (or
hands in an "error" event) a CoreFailure whose numbers are the Core's, with
the texts the specified methods always had."""
import pytest
from event_tuples import as_tuple

import vesper_native36 as native
from helpers import started
from test_websocket import connected


def assert_failure(value, text, kind, net_error, status=None):
    assert type(value) is native.CoreFailure and isinstance(value, RuntimeError)
    assert str(value) == text
    assert (value.kind, value.net_error, value.status) == (kind, net_error, status)


def test_the_kind_table_follows_the_cores_codes():
    kinds = native.failure_kinds
    assert list(kinds) == list(range(1, 19))
    assert (kinds[1], kinds[5], kinds[6], kinds[9], kinds[15]) == (
        "InvalidArgument", "InvalidState", "Timeout", "Tls", "ProfileUnsupported")
    assert (kinds[16], kinds[17], kinds[18]) == ("CallbackPanic", "BufferLimit", "Native")


# Each way a failed request reaches a blocking reader, the bytes paths and
# the specified methods alike: (read after the head, the read).
READS = {
    "wait_response": (False, lambda r: r.wait_response(5)),
    "await_response": (False, lambda r: r.await_response(5)),
    "read_chunk": (True, lambda r: r.read_chunk(5)),
    "read_all": (True, lambda r: r.read_all(5)),
    "readinto": (True, lambda r: r.readinto(bytearray(8), 5)),
    "next_body": (True, lambda r: r.next_body(5)),
    "read_body": (True, lambda r: r.read_body(5)),
}


@pytest.mark.parametrize("read", list(READS))
@pytest.mark.parametrize("code, net_error, text, kind", [
    (9, -201, "Tls (Chromium net error -201)", 9),
    (6, -7, "Timeout (Chromium net error -7)", 6),
    (99, 0, "native error 99 (Chromium net error 0)", 18),
])
def test_blocking_reads_raise_the_numbers(core, engine, read, code, net_error, text, kind):
    request, ident = started(core, engine)
    after_head, read_it = READS[read]
    if after_head:
        core.response(ident)
        request.wait_response(5)
    core.complete(ident, code, net_error)
    with pytest.raises(RuntimeError) as info:
        read_it(request)
    assert_failure(info.value, text, kind, net_error)


def test_manual_wait_raises_the_numbers(core, engine):
    request, ident = started(core, engine, redirect="manual")
    core.complete(ident, 10, -130)
    with pytest.raises(native.CoreFailure) as info:
        request.wait_manual_bytes(5)
    assert_failure(info.value, "Proxy (Chromium net error -130)", 10, -130)


def test_error_events_carry_the_value_in_the_bytes_form_and_the_text_in_the_list_form(core, engine):
    lists, a = started(core, engine)
    raw, b = started(core, engine)
    for ident in (a, b):
        core.complete(ident, 8, -102)
    assert lists.poll_events(10) == [("error", 0, [], [], "Network (Chromium net error -102)")]
    (event,) = map(as_tuple, raw.poll_events_bytes(10))
    assert event[:4] == ("error", 0, b"", b"")
    assert_failure(event[4], "Network (Chromium net error -102)", 8, -102)


@pytest.mark.parametrize("result, text, kind", [(5, "InvalidState", 5), (1, "InvalidArgument", 1),
                                                 (77, "native error 77", 18)])
def test_core_refusals_carry_the_kind_alone(core, engine, result, text, kind):
    core.script("hy_request_start", result)
    request = engine.request("GET", "http://x/")
    with pytest.raises(native.CoreFailure) as info:
        request.start()
    assert_failure(info.value, text, kind, None)


def test_websocket_failures_carry_the_status(core, engine):
    lists, a = connected(core, engine)
    raw, b = connected(core, engine)
    for ident in (a, b):
        core.ws_error(ident, 8, -145, 403)
    text = "Network (Chromium net error -145, response 403)"
    assert lists.recv(5) == ("error", [], None, text)
    kind, payload, code, failure = as_tuple(raw.recv_message(5))
    assert (kind, payload, code) == ("error", b"", None)
    assert_failure(failure, text, 8, -145, 403)
