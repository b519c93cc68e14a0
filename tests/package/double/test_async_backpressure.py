"""A slow asyncio reader of a large body: the request is held on the loop's
hub past the high-water mark, so the package's queue stays bounded while
every byte still arrives, in order."""
import asyncio

import pytest

import vesper
from vesper import _hub

from conftest import Driver

TOTAL = 16 * 1_048_576


def _expected(chunk, total):
    piece = bytes(i % 256 for i in range(chunk))
    return (piece * (total // chunk + 1))[:total]


@pytest.fixture
def observed(monkeypatch):
    """Records, per feed, the body bytes queued in a request's channel and
    whether it was held at that moment."""
    seen = {"largest": 0, "held": 0, "feeds": 0}
    feed = _hub.Channel.feed

    def watching(self, event):
        feed(self, event)
        seen["feeds"] += 1
        seen["largest"] = max(seen["largest"], self.queued)
        seen["held"] += self.held
        seen["channel"] = self

    monkeypatch.setattr(_hub.Channel, "feed", watching)
    return seen


@pytest.mark.parametrize("chunk,read_size", [(4096, None), (16384, 65536), (8192, 1000)])
def test_slow_aiter_bytes_gets_every_byte_with_a_bounded_queue(core, observed, chunk, read_size):
    async def main():
        async with vesper.AsyncClient(trust_env=False, timeout=10) as client:
            async with client.stream("GET", "http://x/big") as response:
                got = bytearray()
                async for piece in response.aiter_bytes(read_size):
                    got += piece
                    # The consumer is slower than the Core.
                    await asyncio.sleep(0.001 if len(got) % 65536 < len(piece) else 0)
                return response.status_code, bytes(got)

    driver = Driver(core, lambda core, ident: core.stream_body(ident, chunk, TOTAL))
    status, got = asyncio.run(asyncio.wait_for(main(), 60))
    driver.join()
    assert status == 200
    assert len(got) == TOTAL
    assert got == _expected(chunk, TOTAL)
    # The reader fell behind: the request was held, and what waited in
    # Python stayed within the mark plus one hub batch.
    assert observed["held"] > 0
    assert observed["largest"] <= _hub._HOLD_ABOVE + _hub._BATCH * chunk
    core.wait_idle()


def test_a_fast_reader_is_never_held(core, observed):
    core.auto_respond(b"z" * 200_000)

    async def main():
        async with vesper.AsyncClient(trust_env=False, timeout=5) as client:
            return (await client.get("http://x/")).content

    assert asyncio.run(asyncio.wait_for(main(), 20)) == b"z" * 200_000
    assert observed["feeds"] > 0
    assert observed["held"] == 0


@pytest.mark.parametrize("how", ["close", "client_close"])
def test_a_held_stream_left_unread_is_cancelled_on_close(core, observed, how):
    async def main():
        async with vesper.AsyncClient(trust_env=False, timeout=10) as client:
            response = await client.send(client.build_request("GET", "http://x/big"), stream=True)
            # Wait (bounded) until the hub holds the request: nothing is read.
            for _ in range(2000):
                if observed["held"]:
                    break
                await asyncio.sleep(0.005)
            assert observed["held"], "the unread request was never held"
            if how == "close":
                await response.aclose()
        # Closed either way: the request left the hub and its channel let go of it.
        assert _hub.hub_for(asyncio.get_running_loop())._native.pending_count() == 0
        channel = observed["channel"]
        assert channel.finished and not channel.held

    def play(core, ident):
        # 4 MiB without waiting for resumes (the double's paused stream would
        # wait forever once the request is cancelled).
        core.response(ident)
        core.data_repeat(ident, b"q" * 8192, 512)

    driver = Driver(core, play)
    asyncio.run(asyncio.wait_for(main(), 30))
    driver.join()
    # The held request was cancelled, not left paused on the hub.
    assert core.calls("hy_request_cancel") >= 1
    core.wait_idle()
