"""Request body delivery against the double.

1. next_body building its list of ints, against list(bytes) of the same size.
2. Peak memory streaming 1 GiB through next_body against 16 MiB (flow control),
   and through the package's hub path (vesper._hub) on asyncio read by a slow reader (the body
   taken from the request, paused at 1 MiB by the module), 256 MiB against 1 GiB.
3. Per-call cost of a non-blocking method (is_finished) against a built-in
   method call of the same shape.
Prints ratios measured side by side in one run.
"""
import resource
import subprocess
import sys
import timeit

from _double import DOUBLE, best_of, native

KIB = 1024
MIB = 1024 * KIB


def next_body_ratio(chunk_size, total=16 * MIB):
    count = total // chunk_size
    chunk = bytes(range(256)) * (chunk_size // 256)
    engine = native.PyEngine()

    def queued_request():
        request = engine.request("GET", "http://bench/")
        request.start()
        ident = DOUBLE.last_id("request")
        DOUBLE.response(ident)
        request.await_response()
        DOUBLE.data_repeat(ident, chunk, count)
        return request

    requests = [queued_request() for _ in range(5)]
    it = iter(requests)

    def native_run():
        request = next(it)
        for _ in range(count):
            request.next_body()

    def python_run():
        for _ in range(count):
            list(chunk)

    native_time = best_of(native_run, repeat=5)
    python_time = best_of(python_run, repeat=5)
    return python_time / native_time


def peak_rss_streaming(total):
    code = (
        "import resource, sys; sys.path.insert(0, 'bench');"
        "from _double import DOUBLE, native;"
        "e = native.PyEngine(); r = e.request('GET', 'http://bench/'); r.start();"
        "i = DOUBLE.last_id('request'); DOUBLE.stream_body(i, 65536, %d); r.await_response();"
        "n = 0\n"
        "while (c := r.next_body()) is not None: n += len(c)\n"
        "assert n == %d; print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)" % (total, total)
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return int(out.stdout.strip()) * 1024


HUB_SLOW_READER = """
import asyncio, resource, sys
sys.path.insert(0, 'bench')
from _double import DOUBLE, native
sys.path.insert(0, 'tests/support')
from asyncio_paths import HubRequest
async def main():
    request = HubRequest(native.PyEngine().request('GET', 'http://bench/'))
    DOUBLE.stream_body(DOUBLE.last_id('request'), 65536, {total})
    await request.response()
    n = i = 0
    async for data in request.chunks():
        n += len(data)
        i += 1
        # Slower than the network: 1 ms every 8 chunks (512 KiB).
        await asyncio.sleep(0.001 if i % 8 == 0 else 0)
    return n
assert asyncio.run(main()) == {total}
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def peak_rss_hub_slow_reader(total):
    code = HUB_SLOW_READER.format(total=total)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return int(out.stdout.strip()) * 1024


def call_overhead_ratio():
    engine = native.PyEngine()
    request = engine.request("GET", "http://bench/")
    blob = b""
    n = 2_000_000
    native_time = min(timeit.repeat(request.is_finished, number=n, repeat=5))
    builtin_time = min(timeit.repeat(blob.isdigit, number=n, repeat=5))
    call_time = min(timeit.repeat("r.is_finished()", globals={"r": request}, number=n, repeat=5))
    builtin_call = min(timeit.repeat("b.isdigit()", globals={"b": blob}, number=n, repeat=5))
    return native_time / builtin_time, call_time / builtin_call, call_time / n * 1e9, builtin_call / n * 1e9


def main():
    DOUBLE.set_recording(False)
    print("request body (double)")
    for size in (64 * KIB, MIB):
        print(f"  next_body {size // KIB} KiB chunks: {next_body_ratio(size):.2f}x the speed of list(bytes)")
    small = peak_rss_streaming(16 * MIB)
    large = peak_rss_streaming(1024 * MIB)
    print(f"  peak RSS streaming 16 MiB: {small / MIB:.1f} MiB; 1 GiB: {large / MIB:.1f} MiB "
          f"(difference {(large - small) / MIB:.1f} MiB)")
    peaks = [peak_rss_hub_slow_reader(total) for total in (256 * MIB, 1024 * MIB)]
    print(f"  peak RSS, slow asyncio reader through the hub: 256 MiB {peaks[0] / MIB:.1f} MiB, "
          f"1 GiB {peaks[1] / MIB:.1f} MiB (difference {(peaks[1] - peaks[0]) / MIB:.1f} MiB)")
    bound, looked_up, ns, builtin_ns = call_overhead_ratio()
    print(f"  is_finished() vs bytes.isdigit(): {looked_up:.2f}x the time per call "
          f"({ns:.0f} ns vs {builtin_ns:.0f} ns; bound method objects {bound:.2f}x)")


if __name__ == "__main__":
    main()
