"""Response.sent_heads against the double: recorded only when asked, before
start; each hop gets the heads sent since the one before; a head still being
written waits for the next hop."""
import asyncio
import time

import pytest

import vesper

from conftest import Driver, head

H1 = b"GET / HTTP/1.1\r\nHost: a\r\n\r\n"
CONNECT = b"CONNECT b:443 HTTP/1.1\r\nHost: b:443\r\n\r\n"
H2 = b"GET /b HTTP/1.1\r\nHost: b\r\n\r\n"
H3 = b"GET /c HTTP/1.1\r\nHost: c\r\nCookie: \xff\r\n\r\n"
PARTIAL = b"GET /d HTTP/1.1\r\nHo"


def _wait_follow(core, n):
    deadline = time.monotonic() + 5
    while core.calls("hy_request_follow_redirect") < n:
        assert time.monotonic() < deadline, "the package did not follow"
        time.sleep(0.001)


def walk(core, ident):
    """Two redirects walked by the package; what was sent grows per hop."""
    assert core.calls("hy_request_record_sent_heads") == 1  # asked before start
    sent = b""
    for n, (piece, location) in enumerate([(H1, "http://b/"), (CONNECT + H2, "http://c/")]):
        sent += piece
        core.set_sent_heads(ident, sent + (PARTIAL if n == 0 else b""))
        core.redirect(ident, 302, head(302, f"Location: {location}"), location.encode(), b"GET")
        _wait_follow(core, n + 1)
    core.set_sent_heads(ident, sent + H3)
    core.response(ident, 200, head(200))
    core.data(ident, b"done")
    core.complete(ident)


def get(asynchronous, **options):
    if not asynchronous:
        with vesper.Client(trust_env=False, timeout=5, **options) as client:
            return client.get("http://a/")

    async def main():
        async with vesper.AsyncClient(trust_env=False, timeout=5, **options) as client:
            return await client.get("http://a/")
    return asyncio.run(asyncio.wait_for(main(), 20))


@pytest.mark.parametrize("asynchronous", [False, True], ids=["Client", "AsyncClient"])
def test_each_hop_gets_what_was_sent_for_it(core, asynchronous):
    driver = Driver(core, walk)
    try:
        response = get(asynchronous, record_sent_heads=True, max_redirects=5)
    finally:
        driver.join()
    assert [hop.sent_heads for hop in response.history] == [[H1], [CONNECT, H2]]
    assert response.sent_heads == [H3]
    assert response.text == "done"


@pytest.mark.parametrize("asynchronous", [False, True], ids=["Client", "AsyncClient"])
def test_nothing_is_asked_or_kept_by_default(core, asynchronous):
    def act(core, ident):
        core.set_sent_heads(ident, H1)
        core.response(ident, 200, head(200))
        core.complete(ident)
    driver = Driver(core, act)
    try:
        response = get(asynchronous)
    finally:
        driver.join()
    assert core.calls("hy_request_record_sent_heads") == 0
    assert core.calls("hy_request_sent_heads") == 0
    assert response.sent_heads == []


def test_a_refused_record_is_a_package_error(core):
    core.script("hy_request_record_sent_heads", 5)
    with vesper.Client(trust_env=False, timeout=5, record_sent_heads=True) as client:
        with pytest.raises(vesper.Error):
            client.get("http://a/")
    assert core.calls("hy_request_start") == 0
