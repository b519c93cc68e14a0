"""Many requests on one loop share one hub; each gets its own answer."""
import asyncio

import pytest

import vesper


@pytest.mark.parametrize("count", [1, 300])
def test_concurrent_requests_each_get_their_body(core, count):
    core.auto_respond(b"b" * 3000)

    async def main():
        async with vesper.AsyncClient(trust_env=False, timeout=5) as client:
            answers = await asyncio.gather(*(client.get(f"http://x/{i}") for i in range(count)))
            return [(a.status_code, a.content, a.url) for a in answers]

    results = asyncio.run(asyncio.wait_for(main(), 30))
    assert results == [(200, b"b" * 3000, f"http://x/{i}") for i in range(count)]


def test_timeouts_and_successes_mix_on_one_loop(core, package_waits):
    async def main():
        async with vesper.AsyncClient(trust_env=False, timeout=0.2) as client:
            core.auto_respond(b"", enabled=False)
            stuck = [asyncio.ensure_future(client.get("http://stuck/")) for _ in range(20)]
            await asyncio.sleep(0.05)
            core.auto_respond(b"ok")
            fine = await asyncio.gather(*(client.get("http://fine/") for _ in range(20)))
            outcomes = await asyncio.gather(*stuck, return_exceptions=True)
            return fine, outcomes

    fine, outcomes = asyncio.run(asyncio.wait_for(main(), 30))
    assert all(r.content == b"ok" for r in fine)
    assert all(isinstance(o, vesper.ReadTimeout) for o in outcomes)
    assert core.calls("hy_request_cancel") == 20
