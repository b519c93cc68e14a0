"""walk_redirects(stream=True): the walk ends at the final head and leaves
its body to read, so a large final body is never held whole."""
import asyncio
import threading

import pytest

import vesper

from conftest import Driver, head


def _blocking(release):
    with vesper.Client(trust_env=False, timeout=5) as client:
        with client.walk_redirects("GET", "http://a/", stream=True) as walk:
            assert list(walk) == []
            assert walk.response is not None and walk.response.status_code == 200
            release.set()
            return b"".join(walk.response.iter_bytes())


def _asyncio(release):
    async def main():
        async with vesper.AsyncClient(trust_env=False, timeout=5) as client:
            async with client.walk_redirects("GET", "http://a/", stream=True) as walk:
                assert [hop async for hop in walk] == []
                assert walk.response is not None and walk.response.status_code == 200
                release.set()
                return b"".join([chunk async for chunk in walk.response.aiter_bytes()])
    return asyncio.run(asyncio.wait_for(main(), 20))


@pytest.mark.parametrize("walk", [_blocking, _asyncio], ids=["Client", "AsyncClient"])
def test_a_streamed_walk_leaves_the_body_to_read(core, walk):
    release = threading.Event()

    def act(core, ident):
        core.response(ident, 200, head(200, "Content-Length: 4"))
        # The body comes only once the walk has ended: a walk that read it
        # would wait here until its read timeout.
        assert release.wait(5)
        core.data(ident, b"body")
        core.complete(ident)

    driver = Driver(core, act)
    try:
        assert walk(release) == b"body"
    finally:
        release.set()
        driver.join()
