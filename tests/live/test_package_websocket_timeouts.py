"""A WebSocket's Timeout phases against local servers that stall in each:
the Core ends the connection with the phase's own failure and the package
raises its class, never a cancel; an open connection that is quiet is not
timed out.  Blocking and asyncio."""
import asyncio
import time

import pytest

import vesper
import vesper_native36 as native

from test_package_timeouts import full_backlog  # noqa: F401  (a fixture)

pytestmark = [
    pytest.mark.timeout(60),
    pytest.mark.skipif("hy_websocket_set_timeouts" not in native.core_extensions,
                       reason="the Core lacks hy_websocket_set_timeouts"),
]

LIMIT = 0.4   # the phase limit under test (seconds)
SLACK = 5.0   # how late the failure may come on a loaded machine


def sync_open(url, timeout):
    with vesper.Client(trust_env=False) as client:
        client.websocket(url, timeout=timeout).abort()


def async_open(url, timeout):
    async def main():
        async with vesper.AsyncClient(trust_env=False) as client:
            (await client.websocket(url, timeout=timeout)).abort()
    asyncio.run(asyncio.wait_for(main(), 30))


OPENS = pytest.mark.parametrize("open_", [sync_open, async_open], ids=["sync", "async"])


def expect(cls, net_error, words, call):
    """The call raises exactly `cls` from the Core's own timeout, within the
    limit plus slack; its text names what ran out."""
    started = time.monotonic()
    with pytest.raises(vesper.TimeoutError) as info:
        call()
    elapsed = time.monotonic() - started
    assert type(info.value) is cls, info.value
    assert info.value.kind == "Timeout"          # the Core's, not a cancel
    assert info.value.net_error == net_error
    assert words in str(info.value)
    assert LIMIT * 0.9 <= elapsed < LIMIT + SLACK
    return info.value


@OPENS
def test_connect_phase(full_backlog, open_):  # noqa: F811
    url = full_backlog.replace("http://", "ws://")
    expect(vesper.ConnectTimeout, -118, "connect timeout", lambda: open_(url, vesper.Timeout(5, connect=LIMIT)))


@OPENS
@pytest.mark.parametrize("timeout", [vesper.Timeout(5, read=LIMIT), LIMIT], ids=["read", "plain_number"])
def test_an_unanswered_upgrade_is_the_read_phase(ws_server, open_, timeout):
    # /stall takes the connection and the upgrade request and never answers.
    url = f"ws://127.0.0.1:{ws_server.port}/stall"
    expect(vesper.ReadTimeout, -7, "upgrade within the read timeout", lambda: open_(url, timeout))


@OPENS
def test_total_keeps_its_own_class(ws_server, open_):
    url = f"ws://127.0.0.1:{ws_server.port}/stall"
    error = expect(vesper.TimeoutError, -7, "total timeout", lambda: open_(url, vesper.Timeout(None, total=LIMIT)))
    assert not isinstance(error, (vesper.ReadTimeout, vesper.ConnectTimeout))


@OPENS
def test_the_connect_limit_ends_when_the_connection_stands(ws_server, open_):
    # connect 0.2 s on a local server that connects at once, then the
    # upgrade unanswered: only the total (0.4 s) may end it.
    url = f"ws://127.0.0.1:{ws_server.port}/stall"
    expect(vesper.TimeoutError, -7, "total timeout", lambda: open_(url, vesper.Timeout(None, connect=0.2, total=LIMIT)))


def test_a_quiet_open_connection_stays_open(ws_server):
    url = f"ws://127.0.0.1:{ws_server.port}/echo"
    with vesper.Client(trust_env=False, timeout=LIMIT) as client:
        with client.websocket(url) as ws:
            time.sleep(LIMIT * 3)
            # Only the caller's own wait ends a wait for a message.
            with pytest.raises(vesper.ReadTimeout):
                ws.recv(timeout=0.05)
            ws.send("still open")
            assert ws.recv(timeout=5) == "still open"


def test_a_quiet_open_connection_stays_open_on_asyncio(ws_server):
    url = f"ws://127.0.0.1:{ws_server.port}/echo"

    async def main():
        async with vesper.AsyncClient(trust_env=False, timeout=LIMIT) as client:
            async with client.websocket(url) as ws:
                await asyncio.sleep(LIMIT * 3)
                await ws.send("still open")
                return await ws.recv(timeout=5)
    assert asyncio.run(asyncio.wait_for(main(), 30)) == "still open"
