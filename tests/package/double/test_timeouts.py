"""Timeout's phases against the Core double: each goes to the Core
(hy_request_set_timeouts), the package itself waits without a limit, and a
Core timeout's phase picks the exception class."""
import asyncio

import pytest

import vesper
import vesper_native36 as native

from conftest import Driver

pytestmark = [
    pytest.mark.timeout(30),
    pytest.mark.skipif("hy_request_set_timeouts" not in native.core_extensions,
                       reason="the Core lacks hy_request_set_timeouts"),
]


@pytest.mark.parametrize("timeout, phases, total_ms", [
    (2.5, (2500, 2500, 2500, 2500), 0),
    (vesper.Timeout(1, read=2, write=3, pool=4), (1000, 2000, 3000, 4000), 0),
    (vesper.Timeout(None, connect=0.0004, total=7), (1, 0, 0, 0), 7000),   # under 1 ms stays a limit
    (None, (0, 0, 0, 0), 0),
])
def test_every_phase_reaches_the_core(core, client, timeout, phases, total_ms):
    driver = Driver(core, lambda c, i: (c.response(i), c.complete(i)))
    client.get("http://x/", timeout=timeout)
    driver.join()
    record = core.record("timeouts")
    assert record["size"] == 40 and record["id"] == core.last_id("request")
    assert (record["connect_ms"], record["read_ms"], record["write_ms"], record["pool_ms"]) == phases
    assert core.record("request")["timeout_ms"] == total_ms


# HY_TIMEOUT_PHASE_*: connect 1, read 2, write 3, pool 4, total 5.
PHASES = pytest.mark.parametrize("phase, net_error, cls", [
    (1, -118, vesper.ConnectTimeout),
    (2, -7, vesper.ReadTimeout),
    (3, -7, vesper.WriteTimeout),
    (4, -7, vesper.PoolTimeout),
    (5, -7, vesper.TimeoutError),
    (5, -118, vesper.ConnectTimeout),
    (0, -7, vesper.TimeoutError),        # a Core that names no phase
])


def fail_in(phase, net_error):
    def act(core, ident):
        core.set_timeout_phase(ident, phase)
        core.complete(ident, 6, net_error)
    return act


@PHASES
def test_the_phase_picks_the_class(core, client, phase, net_error, cls):
    # A short package timeout: the package's own wait must not be what ends it.
    driver = Driver(core, fail_in(phase, net_error))
    with pytest.raises(vesper.TimeoutError) as info:
        client.get("http://x/", timeout=vesper.Timeout(0.05, total=9))
    driver.join()
    # The Core's failure (a wait of the package's own has no kind).
    assert type(info.value) is cls
    assert info.value.kind == "Timeout" and info.value.net_error == net_error


@PHASES
def test_the_phase_picks_the_class_on_asyncio(core, phase, net_error, cls):
    async def main():
        async with vesper.AsyncClient(trust_env=False) as client:
            return await client.get("http://x/", timeout=vesper.Timeout(0.05))
    driver = Driver(core, fail_in(phase, net_error))
    with pytest.raises(vesper.TimeoutError) as info:
        asyncio.run(asyncio.wait_for(main(), 20))
    driver.join()
    assert type(info.value) is cls and info.value.kind == "Timeout"


def test_a_body_stall_ends_with_the_core_read_phase(core, client):
    def act(core, ident):
        core.response(ident)
        core.data(ident, b"part")
        core.set_timeout_phase(ident, 2)
        core.complete(ident, 6, -7)
    driver = Driver(core, act)
    with client.stream("GET", "http://x/", timeout=0.05) as response:
        with pytest.raises(vesper.ReadTimeout) as info:
            response.read()
    driver.join()
    assert "read timeout" in str(info.value) and info.value.kind == "Timeout"
