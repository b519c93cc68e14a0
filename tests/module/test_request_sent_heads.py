"""record_sent_heads and sent_heads_bytes: the request heads as the Core
sent them, asked for before start and copied out whole."""

import pytest

from helpers import started

pytestmark = pytest.mark.core_extension("hy_request_record_sent_heads", "hy_request_sent_heads")

HY_INVALID_ARGUMENT = 1
HY_INVALID_STATE = 5


def test_record_reaches_the_core_for_its_own_request(core, engine):
    first = engine.request("GET", "http://x/")
    second = engine.request("GET", "http://y/")
    second_id = core.last_id("request")
    second.record_sent_heads()
    assert core.calls("hy_request_record_sent_heads") == 1
    assert core.record("record_sent_heads")["id"] == second_id
    assert first.sent_heads_bytes() == b""


@pytest.mark.parametrize("function", ["hy_request_record_sent_heads", "hy_request_sent_heads"])
@pytest.mark.parametrize("code, name", [(HY_INVALID_STATE, "InvalidState"), (HY_INVALID_ARGUMENT, "InvalidArgument")])
def test_a_refusal_raises_its_code(core, engine, function, code, name):
    request, _ = started(core, engine)
    core.script(function, code)
    method = request.record_sent_heads if function.endswith("record_sent_heads") else request.sent_heads_bytes
    with pytest.raises(RuntimeError, match=f"^{name}$"):
        method()


@pytest.mark.parametrize("heads", [
    b"",
    b"GET / HTTP/1.1\r\nHost: x\r\n\r\n",
    b"CONNECT x:443 HTTP/1.1\r\nHost: x:443\r\n\r\nGET /a HTTP/1.1\r\nHost: x\r\n\r\n",
    b"GET /\xff\x00 HTTP/1.1\r\nX: \x80\r\n\r\n",
    b"GET / HTTP/1.1\r\nCookie: " + b"c" * 300_000 + b"\r\n\r\n",  # larger than any first guess
])
def test_the_heads_come_back_byte_for_byte(core, engine, heads):
    request, ident = started(core, engine)
    core.set_sent_heads(ident, heads)
    got = request.sent_heads_bytes()
    assert isinstance(got, bytes)
    assert got == heads
    # Copied out, not handed over: asking again gives the same.
    assert request.sent_heads_bytes() == heads
