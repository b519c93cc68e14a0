"""A slow asyncio reader of a large body: the body stays in the request,
whose 1 MiB pause bounds it, and the reader's takes resume the transfer;
every byte arrives, in order, and a stream left unread is cancelled on
close."""
import asyncio

import pytest

import vesper
from vesper import _async_client, _hub

from conftest import Driver

TOTAL = 16 * 1_048_576


def _expected(chunk, total):
    piece = bytes(i % 256 for i in range(chunk))
    return (piece * (total // chunk + 1))[:total]


@pytest.fixture
def takes():
    """The sizes of the package's takes."""
    return []


def _recording(takes, native_request):
    take = native_request.take_available

    class Recording:
        def __getattr__(self, name):
            return getattr(native_request, name)

        def take_available(self, most):
            piece = take(most)
            if piece:
                takes.append(len(piece))
            return piece

    return Recording()


@pytest.mark.parametrize("chunk,read_size", [(4096, None), (16384, 65536), (8192, 1000)])
def test_slow_aiter_bytes_gets_every_byte_with_a_bounded_queue(core, takes, monkeypatch, chunk, read_size):
    init = _async_client._AsyncBody.__init__

    def watched(self, channel, native_request, *args):
        init(self, channel, _recording(takes, native_request), *args)

    monkeypatch.setattr(_async_client._AsyncBody, "__init__", watched)

    async def main():
        async with vesper.AsyncClient(trust_env=False, timeout=10) as client:
            async with client.stream("GET", "http://x/big") as response:
                got = bytearray()
                await asyncio.sleep(0.1)          # the Core runs ahead of the reader
                async for piece in response.aiter_bytes(read_size):
                    got += piece
                    # The consumer is slower than the Core.
                    await asyncio.sleep(0.001 if len(got) % 65536 < len(piece) else 0)
                return response.status_code, bytes(got)

    idents = []

    def play(core, ident):
        idents.append(ident)
        core.stream_body(ident, chunk, TOTAL)

    driver = Driver(core, play)
    status, got = asyncio.run(asyncio.wait_for(main(), 60))
    driver.join()
    assert status == 200
    assert len(got) == TOTAL
    assert got == _expected(chunk, TOTAL)
    # The reader fell behind: each take joins what queued (up to 256 KiB),
    # the transfer paused (at the module's 1 MiB) and the takes resumed it.
    assert chunk < max(takes) <= 256 << 10 and sum(takes) == TOTAL
    assert core.resume_count(idents[0]) >= 8
    core.wait_idle()


@pytest.mark.parametrize("how", ["close", "client_close"])
def test_a_paused_stream_left_unread_is_cancelled_on_close(core, how):
    async def main():
        async with vesper.AsyncClient(trust_env=False, timeout=10) as client:
            response = await client.send(client.build_request("GET", "http://x/big"), stream=True)
            # Nothing is read: the module pauses the transfer at 1 MiB.
            for _ in range(2000):
                if driver.finished():
                    break
                await asyncio.sleep(0.005)
            if how == "close":
                await response.aclose()
        # Closed either way: the request left the hub and its channel let go of it.
        assert _hub.hub_for(asyncio.get_running_loop())._native.pending_count() == 0

    def play(core, ident):
        # 4 MiB without waiting for resumes (the double's paused stream would
        # wait forever once the request is cancelled).
        core.response(ident)
        answers.append(core.data_repeat(ident, b"q" * 8192, 512))

    answers = []
    driver = Driver(core, play)
    driver.finished = lambda: bool(answers)
    asyncio.run(asyncio.wait_for(main(), 30))
    driver.join()
    # The unread request was cancelled, not left paused on the hub.
    assert core.calls("hy_request_cancel") >= 1
    core.wait_idle()
