"""Memory per request: 20,000 sequential GETs on one engine, the resident
size sampled every 500 after a collection; its least-squares slope over the
last 15,000 (the first 5,000 warm caches, pools and arenas up) must stay far
below what a small fixed loss per request would add.  A lost curl list of
71 bytes per request grew it by about 70 bytes per request."""
import gc

import pytest

import vesper_native36 as native
from memory import SANITIZED, rss_bytes
from servers.process import python_server

COUNT = 20_000
WARM_UP = 5_000
EVERY = 500
# Bytes per request the slope may show: a 70-byte loss is over four times it.
BOUND = 16


def slope(points):
    """Least-squares slope of (x, y) points."""
    n = len(points)
    mean_x = sum(x for x, _ in points) / n
    mean_y = sum(y for _, y in points) / n
    num = sum((x - mean_x) * (y - mean_y) for x, y in points)
    return num / sum((x - mean_x) ** 2 for x, _ in points)


@pytest.fixture(scope="module")
def keepalive():
    server = python_server("run_keepalive.py")
    yield f"http://127.0.0.1:{server.port}"
    server.stop()


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer's quarantine hides the process's own size")
@pytest.mark.parametrize("phases", [False, True], ids=["plain", "phase_limits"])
def test_resident_size_does_not_grow_with_the_request_count(keepalive, phases):
    if phases and "hy_request_set_timeouts" not in native.core_extensions:
        pytest.skip("the Core lacks hy_request_set_timeouts")
    engine = native.PyEngine()
    url = keepalive + "/small"
    samples = []
    for i in range(1, COUNT + 1):
        request = engine.request("GET", url)
        if phases:
            # The per-request deadlines: armed, pushed on each byte, checked.
            request.set_timeouts(30, 30, 30, 30)
        request.start()
        assert request.wait_response(30).status_code == 200
        assert len(request.read_all(30)) == 64
        del request
        if i >= WARM_UP and i % EVERY == 0:
            gc.collect()
            samples.append((i, rss_bytes()))
    per_request = slope(samples)
    grown = samples[-1][1] - samples[0][1]
    assert per_request < BOUND, (
        f"resident size grows {per_request:.1f} bytes per request over the last {COUNT - WARM_UP} "
        f"({grown} bytes in all); bound {BOUND}")
