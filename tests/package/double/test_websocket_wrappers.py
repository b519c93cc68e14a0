"""WebSocket wrappers against the double: messages, closes and failures as
the caller sees them, blocking and asyncio."""
import asyncio
import threading
import time

import pytest

import vesper

from conftest import native, text_of


def on_connect(core, action):
    """Runs action(core, ident) on a thread once a WebSocket was started."""
    base = core.calls("hy_websocket_start")
    errors = []

    def run():
        try:
            deadline = time.monotonic() + 5
            while core.calls("hy_websocket_start") <= base:
                assert time.monotonic() < deadline, "no WebSocket was started"
                time.sleep(0.001)
            action(core, core.last_id("websocket"))
        except BaseException as exc:
            errors.append(exc)

    thread = threading.Thread(target=run, daemon=True)
    thread.start()

    def join():
        thread.join(10)
        assert not thread.is_alive()
        if errors:
            raise errors[0]
    return join


def chat(core, ident):
    core.ws_open(ident, b"chat")
    core.ws_message(ident, "héllo".encode(), kind=1)
    core.ws_message(ident, b"\x00\xff", kind=2)
    core.ws_close(ident, 4000, "bye".encode())


def test_blocking_messages_then_close(core, client):
    join = on_connect(core, chat)
    ws = client.websocket("ws://x/chat", subprotocols=["chat"], origin="http://x")
    assert ws.subprotocol == "chat"
    assert ws.recv(timeout=5) == "héllo" and ws.recv(timeout=5) == b"\x00\xff"
    with pytest.raises(vesper.WebSocketClosed) as info:
        ws.recv(timeout=5)
    join()
    assert (info.value.code, info.value.reason, ws.close_code, ws.close_reason) == (4000, "bye", 4000, "bye")
    record = core.record("websocket")
    assert (text_of(record["url"]), text_of(record["origin"]), record["protocol_count"]) == (
        b"ws://x/chat", b"http://x", 1)


def test_iteration_stops_quietly_at_a_normal_close(core, client):
    def act(core, ident):
        core.ws_open(ident)
        core.ws_message(ident, b"one", kind=1)
        core.ws_close(ident, 1000, b"")
    join = on_connect(core, act)
    with client.websocket("ws://x/") as ws:
        assert list(ws) == ["one"]
    join()


@pytest.mark.parametrize("code, net_error, response, opened, cls", [
    (8, -102, 0, False, vesper.ConnectError),
    (9, -202, 0, False, vesper.CertificateUnknownAuthority),
    (6, -118, 0, False, vesper.ConnectTimeout),
    (11, -320, 403, False, vesper.WebSocketHandshakeError),
    (11, -145, 0, True, vesper.WebSocketError),
    (16, 0, 0, True, vesper.WebSocketError),
])
def test_failures(core, client, code, net_error, response, opened, cls):
    def act(core, ident):
        if opened:
            core.ws_open(ident)
        core.ws_error(ident, code, net_error, response)
    join = on_connect(core, act)
    with pytest.raises(cls) as info:
        ws = client.websocket("ws://x/")
        ws.recv(timeout=5)
    join()
    assert type(info.value) is cls
    if cls is vesper.WebSocketHandshakeError:
        assert info.value.status_code == 403


def test_sends_reach_the_core_and_closed_sockets_refuse(core, client):
    def act(core, ident):
        core.ws_open(ident)
    join = on_connect(core, act)
    ws = client.websocket("ws://x/")
    join()
    ws.send("text")
    ws.send(bytearray(b"data"))
    assert core.calls("hy_websocket_send") == 2
    with pytest.raises(TypeError):
        ws.send(12)
    closer = threading.Thread(target=lambda: (time.sleep(0.05), core.ws_close(core.last_id("websocket"), 1000, b"")))
    closer.start()
    ws.close()
    closer.join(5)
    assert ws.close_code == 1000 and core.calls("hy_websocket_close") == 1


@pytest.fixture
def package_handshake_wait(monkeypatch):
    """The package bounds its own wait for the open and cancels, as with a
    Core that lacks hy_websocket_set_timeouts."""
    import vesper._websocket
    monkeypatch.setattr(vesper._websocket, "CORE_KEEPS_WEBSOCKET_PHASES", False)


def test_handshake_timeout_cancels(core, client, package_handshake_wait):
    with pytest.raises(vesper.ReadTimeout):
        client.websocket("ws://x/", timeout=0.1)
    assert core.calls("hy_websocket_cancel") == 1
    assert core.calls("hy_websocket_set_timeouts") == 0


KEEPS_PHASES = pytest.mark.skipif("hy_websocket_set_timeouts" not in native.core_extensions,
                                  reason="the Core lacks hy_websocket_set_timeouts")


@KEEPS_PHASES
@pytest.mark.parametrize("timeout, limits, total_ms", [
    (2.5, (2500, 2500), 0),
    (vesper.Timeout(1, read=2, write=3, pool=4, total=7), (1000, 2000), 7000),
    (vesper.Timeout(None, connect=0.0004), (1, 0), 0),      # under 1 ms stays a limit
    (None, (0, 0), 0),
])
def test_connect_and_read_reach_the_core(core, client, timeout, limits, total_ms):
    join = on_connect(core, lambda c, i: c.ws_open(i))
    ws = client.websocket("ws://x/", timeout=timeout)
    join()
    record = core.record("ws_timeouts")
    assert record["size"] == 24 and record["id"] == core.last_id("websocket")
    assert (record["connect_ms"], record["handshake_ms"]) == limits
    assert core.record("websocket")["timeout_ms"] == total_ms
    ws.abort()


# HY_TIMEOUT_PHASE_*: connect 1, total 5, handshake 6.
PHASES = pytest.mark.parametrize("phase, net_error, cls", [
    (1, -118, vesper.ConnectTimeout),
    (6, -7, vesper.ReadTimeout),
    (5, -7, vesper.TimeoutError),
    (0, -7, vesper.TimeoutError),        # a Core that names no phase
])


def time_out_in(phase, net_error):
    def act(core, ident):
        # Later than the package's 0.05 s: its own wait would have ended first.
        time.sleep(0.2)
        core.ws_set_timeout_phase(ident, phase)
        core.ws_error(ident, 6, net_error, 0, b"timed out")
    return act


@KEEPS_PHASES
@PHASES
@pytest.mark.parametrize("asynchronous", [False, True], ids=["sync", "async"])
def test_the_phase_picks_the_class(core, client, phase, net_error, cls, asynchronous):
    join = on_connect(core, time_out_in(phase, net_error))
    with pytest.raises(vesper.TimeoutError) as info:
        if asynchronous:
            async def main():
                async with vesper.AsyncClient(trust_env=False) as async_client:
                    await async_client.websocket("ws://x/", timeout=0.05)
            asyncio.run(asyncio.wait_for(main(), 20))
        else:
            client.websocket("ws://x/", timeout=0.05)
    join()
    # The Core's failure, never the package's cancel.
    assert type(info.value) is cls
    assert info.value.kind == "Timeout" and info.value.net_error == net_error
    assert core.calls("hy_websocket_cancel") == 0


@pytest.mark.parametrize("url", ["http://x/", "ftp://x/"])
def test_only_ws_urls(core, client, url):
    with pytest.raises(vesper.UnsupportedProtocol):
        client.websocket(url)
    assert core.calls("hy_websocket_create") == 0


def test_asyncio_messages_and_close(core):
    async def main():
        async with vesper.AsyncClient(trust_env=False, timeout=5) as client:
            join = on_connect(core, chat)
            ws = await client.websocket("ws://x/")
            got = [await ws.recv(timeout=5), await ws.recv(timeout=5)]
            with pytest.raises(vesper.WebSocketClosed):
                await ws.recv(timeout=5)
            join()
            return ws.subprotocol, got, ws.close_code
    assert asyncio.run(asyncio.wait_for(main(), 20)) == ("chat", ["héllo", b"\x00\xff"], 4000)


def open_then_peer_closes(core, ident):
    core.ws_open(ident)
    deadline = time.monotonic() + 5
    while core.calls("hy_websocket_send") < 2:  # the two well-typed sends
        assert time.monotonic() < deadline, "the sends did not reach the Core"
        time.sleep(0.001)
    core.ws_close(ident, 1000, b"")


async def typed_sends_then_close(ws, asynchronous):
    async def run(result):
        if asynchronous:
            await result
    for send, wrong in ((ws.send_text, b"x"), (ws.send_bytes, "x")):
        with pytest.raises(TypeError):
            await run(send(wrong))
    await run(ws.send_text("a"))
    await run(ws.send_bytes(memoryview(b"b")))
    with pytest.raises(vesper.WebSocketClosed):
        await run(ws.recv(timeout=5))
    await run(ws.close())


@pytest.mark.parametrize("asynchronous", [False, True], ids=["WebSocket", "AsyncWebSocket"])
def test_typed_sends_and_no_close_frame_after_the_peer_closed(core, client, asynchronous):
    join = on_connect(core, open_then_peer_closes)

    async def main():
        if not asynchronous:
            await typed_sends_then_close(client.websocket("ws://x/"), False)
            return
        async with vesper.AsyncClient(trust_env=False, timeout=5) as async_client:
            await typed_sends_then_close(await async_client.websocket("ws://x/"), True)
    asyncio.run(asyncio.wait_for(main(), 20))
    join()
    assert core.calls("hy_websocket_send") == 2 and core.calls("hy_websocket_close") == 0
