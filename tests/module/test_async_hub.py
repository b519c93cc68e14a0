"""The package's hub path (vesper._hub) on a real loop, against the double."""
import asyncio
import gc
import weakref

import pytest
from event_tuples import as_tuple

import vesper_native36 as native
from asyncio_paths import HubRequest, HubWebSocket, attached_after_settling, hub_for


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 30))


def test_many_requests_in_flight(core, engine):
    core.auto_respond(b"0123456789" * 50)

    async def main():
        async def one():
            request = HubRequest(engine.request("GET", "http://x/"))
            status, head = await request.response()
            return status, head, await request.read()

        results = await asyncio.gather(*(one() for _ in range(300)))
        return results, await attached_after_settling()

    results, attached = run(main())
    assert attached == 0
    assert all(r == (200, b"HTTP/1.1 200 OK\r\n\r\n", b"0123456789" * 50) for r in results)
    core.wait_idle()


def test_failure_and_cancel(core, engine):
    async def main():
        loop = asyncio.get_running_loop()
        failing = HubRequest(engine.request("GET", "http://x/"))
        ident = core.last_id("request")
        await loop.run_in_executor(None, core.complete, ident, 6, -7)
        with pytest.raises(RuntimeError, match=r"^Timeout \(Chromium net error -7\)$"):
            await failing.response()
        canceled = HubRequest(engine.request("GET", "http://x/"))
        waiting = asyncio.ensure_future(canceled.response())
        await asyncio.sleep(0.01)
        canceled.cancel()
        with pytest.raises(RuntimeError, match="ended without a response"):
            await waiting
        return await attached_after_settling()

    assert run(main()) == 0


def test_websocket_to_the_end_after_close(core, engine):
    async def main():
        loop = asyncio.get_running_loop()
        socket = HubWebSocket(engine.websocket("ws://x/"))
        ident = core.last_id("websocket")

        def core_side():
            core.ws_open(ident, b"p")
            for i in range(100):
                core.ws_message(ident, str(i).encode(), kind=1 + i % 2)

        await loop.run_in_executor(None, core_side)
        events = [await socket.recv() for _ in range(101)]
        socket.close(1000, "bye")
        await loop.run_in_executor(None, core.ws_close, ident, 1000, b"bye")
        events += [await socket.recv(), await socket.recv()]
        return events

    events = run(main())
    assert as_tuple(events[0]) == ("open", b"p", None, None)
    assert [e.payload for e in events[1:101]] == [str(i) if i % 2 == 0 else str(i).encode() for i in range(100)]
    assert [as_tuple(e) for e in events[-2:]] == [("closed", b"", 1000, "bye"), None]


def test_loops_and_hubs_are_let_go(core, engine):
    core.auto_respond(b"x")
    refs = []

    async def main():
        refs.append(weakref.ref(asyncio.get_running_loop()))
        refs.append(weakref.ref(hub_for(asyncio.get_running_loop())))
        request = HubRequest(engine.request("GET", "http://x/"))
        await request.response()
        await request.read()

    for _ in range(3):
        run(main())
    core.wait_idle()
    gc.collect()
    native.PyEngine.abi_version()
    gc.collect()
    assert [ref() for ref in refs] == [None] * 6


@pytest.mark.parametrize("chunk", [4096, 8192])
def test_slow_reader_keeps_the_request_paused_and_gets_every_byte(core, engine, chunk):
    """The hub hands out no body: a slow reader takes what the request
    queued, which the module's pause keeps at 1 MiB however far the Core
    could run ahead; the takes resume it."""
    total = 16 * 1_048_576

    async def main():
        request = HubRequest(engine.request("GET", "http://x/"))
        core.stream_body(core.last_id("request"), chunk, total)
        assert (await request.response())[0] == 200
        got, largest = bytearray(), 0
        await asyncio.sleep(0.2)                  # the Core runs ahead of a reader that has not begun
        async for piece in request.chunks():
            largest = max(largest, len(piece))
            got += piece
            await asyncio.sleep(0)                # the consumer is slower
        return bytes(got), largest

    got, largest = run(main())
    piece = bytes(i % 256 for i in range(chunk))
    assert got == (piece * (total // chunk + 1))[:total]
    # The reader fell behind: its takes join what queued, up to their max.
    assert chunk < largest <= 1_048_576
    # The Core ran ahead and paused (at the module's 1 MiB): the takes
    # resumed it, many times over 16 MiB.
    assert core.resume_count(core.last_id("request")) >= 8
    core.wait_idle()
