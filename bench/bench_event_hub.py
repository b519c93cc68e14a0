"""The module's asyncio and bytes paths against the Core double, each run in
a fresh process, median of 5, ratios from the same run:

- 2,000 auto-answered 1 KiB GETs, 64 in flight on one loop: start_async +
  poll_events (one notifier per request) against PyEventHub + start_hub;
- the same sequentially, sync: await_response + read_body (lists of ints)
  against wait_response + read_all (bytes);
- a 64 MiB body streamed by the double with flow control: read_body against
  read_all and readinto into one 64 KiB bytearray.
"""
import json
import os
import pathlib
import resource
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
N = 2000
IN_FLIGHT = 64
BODY = b"b" * 1024
MIB = 1_048_576
STREAM = 64 * MIB


def variant(name):
    sys.path.insert(0, str(HERE))
    sys.path.insert(0, str(HERE.parent / "tests" / "support"))
    import asyncio

    from _double import DOUBLE, native
    from asyncio_paths import AsyncRequest, HubRequest

    engine = native.PyEngine()
    DOUBLE.set_recording(False)

    def concurrent(make):
        DOUBLE.auto_respond(BODY)

        async def main():
            semaphore = asyncio.Semaphore(IN_FLIGHT)

            async def one():
                async with semaphore:
                    request = make(engine.request("GET", "http://bench/"))
                    await request.response()
                    assert len(await request.read()) == len(BODY)

            start = time.perf_counter()
            await asyncio.gather(*(one() for _ in range(N)))
            return time.perf_counter() - start

        seconds = asyncio.run(main())
        DOUBLE.wait_idle()
        return N / seconds

    def sequential(bytes_path):
        DOUBLE.auto_respond(BODY)
        start = time.perf_counter()
        for _ in range(N):
            request = engine.request("GET", "http://bench/")
            request.start()
            if bytes_path:
                request.wait_response()
                assert len(request.read_all()) == len(BODY)
            else:
                request.await_response()
                assert len(request.read_body()) == len(BODY)
        seconds = time.perf_counter() - start
        DOUBLE.wait_idle()
        return N / seconds

    def stream(read):
        DOUBLE.auto_respond(enabled=False)
        request = engine.request("GET", "http://bench/")
        request.start()
        DOUBLE.stream_body(DOUBLE.last_id("request"), 65_536, STREAM)
        request.await_response()
        start = time.perf_counter()
        got = read(request)
        seconds = time.perf_counter() - start
        assert got == STREAM
        DOUBLE.wait_idle()
        return STREAM / MIB / seconds

    def readinto(request):
        buffer = bytearray(65_536)
        total = 0
        while n := request.readinto(buffer):
            total += n
        return total

    runs = {
        "async_notifier": lambda: concurrent(AsyncRequest),
        "async_hub": lambda: concurrent(HubRequest),
        "sync_lists": lambda: sequential(False),
        "sync_bytes": lambda: sequential(True),
        "stream_read_body": lambda: stream(lambda r: len(r.read_body())),
        "stream_read_all": lambda: stream(lambda r: len(r.read_all())),
        "stream_readinto": lambda: stream(readinto),
    }
    figure = runs[name]()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024
    print(json.dumps({"figure": figure, "peak_mib": peak}))


def measure(name, repeat=5):
    figures, peaks = [], []
    for _ in range(repeat):
        out = subprocess.run([sys.executable, __file__, name], capture_output=True, text=True, env=os.environ,
                             timeout=300, check=True).stdout
        result = json.loads(out.strip().splitlines()[-1])
        figures.append(result["figure"])
        peaks.append(result["peak_mib"])
    return statistics.median(figures), max(peaks)


def main():
    pairs = [
        ("2,000 GETs, 64 in flight, asyncio (req/s)", "async_notifier", "async_hub"),
        ("2,000 sequential GETs, sync (req/s)", "sync_lists", "sync_bytes"),
        ("64 MiB body, read_body vs read_all (MiB/s)", "stream_read_body", "stream_read_all"),
        ("64 MiB body, read_body vs readinto 64 KiB (MiB/s)", "stream_read_body", "stream_readinto"),
    ]
    print("module paths against the double (median of 5, fresh process each)")
    for title, old, new in pairs:
        (a, pa), (b, pb) = measure(old), measure(new)
        print(f"  {title}: {old} {a:,.0f} (peak {pa} MiB) | {new} {b:,.0f} (peak {pb} MiB) | {b / a:.2f}x")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        variant(sys.argv[1])
    else:
        main()
