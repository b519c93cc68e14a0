"""Requests driven from a real asyncio loop by notify and poll_events only."""
import asyncio
import gc
import sys
import weakref

import pytest

import vesper_native36 as native
from asyncio_paths import AsyncRequest, EventPump


def run(coro, timeout=20):
    return asyncio.run(asyncio.wait_for(coro, timeout))


def test_a_whole_request(core, engine):
    async def main():
        loop = asyncio.get_running_loop()
        request = engine.request("GET", "http://x/")
        pump = EventPump(request, {"done", "error"})
        request.start_async(loop, pump.notify)
        ident = core.last_id("request")

        def core_side():
            core.redirect(ident, 302, b"R", b"http://y/", b"GET")
            core.response(ident, 200, b"H")
            for i in range(300):
                core.data(ident, i.to_bytes(2, "big"))
            core.complete(ident)

        await loop.run_in_executor(None, core_side)
        return [event async for event in pump]

    events = run(main())
    assert events[0] == ("redirect", 302, [82], list(b"http://y/"), "GET")
    assert events[1] == ("response", 200, [72], [], None)
    body = [e for e in events if e[0] == "body"]
    assert [bytes(e[3]) for e in body] == [i.to_bytes(2, "big") for i in range(300)]
    assert all(e[1] == 0 and e[2] == [] and e[4] is None for e in body)
    assert events[-1] == ("done", 0, [], [], None)
    assert len(events) == 303


def test_failure_before_head(core, engine):
    async def main():
        loop = asyncio.get_running_loop()
        request = engine.request("GET", "http://x/")
        pump = EventPump(request, {"done", "error"})
        request.start_async(loop, pump.notify)
        ident = core.last_id("request")
        await loop.run_in_executor(None, core.complete, ident, 8, -105)
        events = [event async for event in pump]
        return events, request.poll_event(), request.poll_events()

    events, after, batch = run(main())
    assert events == [("error", 0, [], [], "Network (Chromium net error -105)")]
    assert after is None and batch == []


def test_callback_fault_event(core, engine):
    async def main():
        loop = asyncio.get_running_loop()
        request = AsyncRequest(engine.request("GET", "http://x/"))
        ident = core.last_id("request")

        def core_side():
            core.response(ident)
            core.raw_data(ident, b"x", 2 ** 64 - 1)

        await loop.run_in_executor(None, core_side)
        status, _ = await request.response()
        with pytest.raises(RuntimeError) as info:
            await request.read()
        return status, str(info.value)

    assert run(main()) == (200, "CallbackPanic (Chromium net error 0)")


def test_batches_of_64_then_36(core, engine):
    request = engine.request("GET", "http://x/")
    request.start()
    ident = core.last_id("request")
    core.response(ident)
    assert request.poll_events()[0][0] == "response"
    core.data_repeat(ident, b"b", 100)
    core.complete(ident)
    first = request.poll_events()
    second = request.poll_events()
    assert [e[0] for e in first] == ["body"] * 64
    assert [e[0] for e in second] == ["body"] * 36 + ["done"]
    assert request.poll_events() == [] and request.poll_event() is None


def test_limit_zero_takes_one(core, engine):
    request = engine.request("GET", "http://x/")
    request.start()
    ident = core.last_id("request")
    core.response(ident)
    core.data(ident, b"a")
    assert [e[0] for e in request.poll_events(0)] == ["response"]
    assert [e[0] for e in request.poll_events(limit=5)] == ["body"]


def test_body_bytes_as_ints(core, engine):
    request = engine.request("GET", "http://x/")
    request.start()
    ident = core.last_id("request")
    core.response(ident)
    core.data(ident, b"\x00\xff")
    request.poll_event()
    assert request.poll_event() == ("body", 0, [], [0, 255], None)


def test_many_async_requests_leave_nothing_behind(core, engine):
    core.set_recording(False)
    core.auto_respond(b"x" * 100)

    async def main():
        loop = asyncio.get_running_loop()

        async def settled_count():
            # The Core's threads first, then the loop retires the handles
            # they scheduled last (each holds the loop).
            core.wait_idle()
            for _ in range(3):
                await asyncio.sleep(0)
            gc.collect()
            native.PyEngine.abi_version()  # applies decrements queued by Core threads
            return sys.getrefcount(loop)

        baseline = await settled_count()
        refs = []
        for i in range(10_000):
            request = AsyncRequest(engine.request("GET", "http://x/"), loop)
            if i % 1000 == 0:
                refs.append(weakref.ref(request.pump.notify))
            await request.response()
            assert len(await request.read()) == 100
        del request
        return baseline, await settled_count(), refs

    # 10,000 requests take about 8 s under AddressSanitizer on a busy machine.
    baseline, after, refs = run(main(), timeout=90)
    assert after == baseline
    assert all(ref() is None for ref in refs)


def test_a_slow_reader_keeps_the_native_bound(core, engine):
    """The pump takes events only as fast as its reader: the Core stays
    paused instead of the pump's queue growing with the whole body."""
    chunk, total = 64 * 1024, 64 * 1024 * 1024

    async def main():
        loop = asyncio.get_running_loop()
        request = engine.request("GET", "http://x/")
        pump = EventPump(request, {"done", "error"})
        request.start_async(loop, pump.notify)
        ident = core.last_id("request")
        core.stream_body(ident, chunk, total)     # a Core thread that obeys pauses
        most, received, reads = 0, 0, 0
        async for kind, _n, _first, second, _text in pump:
            most = max(most, sum(len(e[3]) for e in pump._events))
            if kind == "body":
                received += len(second)
                reads += 1
                if reads % 16 == 0:
                    await asyncio.sleep(0.001)    # a slow consumer
        return most, received, core.resume_count(ident)

    most, received, resumes = run(main(), timeout=120)
    assert received == total
    # One batch of events at most waits in the pump (64 x 64 KiB), not the
    # 64 MiB the Core would send unpaused.
    assert most <= 64 * chunk, most
    assert resumes > 0


def test_a_websocket_reader_that_lags_reaches_buffer_limit(core, engine):
    from asyncio_paths import AsyncWebSocket

    async def main():
        socket = engine.websocket("ws://x/")
        reader = AsyncWebSocket(socket)
        ident = core.last_id("websocket")
        core.ws_open(ident)
        assert (await reader.recv())[0] == "open"
        loop = asyncio.get_running_loop()
        # 5,000 messages while the reader does not read: far past the
        # module's queue of 1,024 events.
        for _ in range(10):
            await loop.run_in_executor(None, lambda: core.ws_message(ident, b"m" * 100, count=500))
            await asyncio.sleep(0)                # the pump is woken meanwhile
        kinds = []
        for _ in range(2000):
            event = await reader.recv()
            if event is None:
                break
            kinds.append(event[0])
            if event[0] == "error":
                return kinds, event
        return kinds, None

    kinds, last = run(main(), timeout=60)
    assert last is not None and "BufferLimit" in last[3], (kinds[-3:], last)
    assert len(kinds) < 1200
