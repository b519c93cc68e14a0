"""Server-sent events from a server that writes its stream slowly, in
pieces that cut lines, CRLF pairs and the byte-order mark, with LF, CR and
CRLF line ends: events come out whole and as soon as their block ends."""
import asyncio
import time

import pytest

import vesper

pytestmark = pytest.mark.timeout(60)

E = vesper.ServerSentEvent
EXPECTED = [E("message", "lf", "1"), E("cr", "one\ntwo", "1"), E("message", "crlf", "2"),
            E("message", "last", "2", 250)]
INTERVAL = 0.2


def _check(stamped, started):
    assert [event for event, _ in stamped] == EXPECTED
    # Streaming: the first event is handed out long before the stream ends.
    first, last = stamped[0][1] - started, stamped[-1][1] - started
    assert first < 4 * INTERVAL and last - first > 3 * INTERVAL, (first, last)


@pytest.mark.parametrize("url", ["http", "https"])
def test_iter_sse(request, ca_pem, url):
    base = request.getfixturevalue(url)
    with vesper.Client(verify=ca_pem, trust_env=False, timeout=10) as client:
        started = time.monotonic()
        with client.stream("GET", f"{base}/sse?interval={INTERVAL}") as response:
            assert response.headers["content-type"] == "text/event-stream"
            stamped = [(event, time.monotonic()) for event in response.iter_sse()]
    _check(stamped, started)


def test_aiter_sse(http):
    async def main():
        async with vesper.AsyncClient(trust_env=False, timeout=10) as client:
            started = time.monotonic()
            async with client.stream("GET", f"{http}/sse?interval={INTERVAL}") as response:
                return [(event, time.monotonic()) async for event in response.aiter_sse()], started
    stamped, started = asyncio.run(asyncio.wait_for(main(), 30))
    _check(stamped, started)
