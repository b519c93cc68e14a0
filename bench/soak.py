"""Soak: resident memory, threads and file descriptors sampled at every tenth
of a long run, each workload in a fresh process against local servers
(nginx for HTTP, the native echo server for WebSocket).

Workloads (counts scaled by SOAK_SCALE, default 1):
- 100,000 sequential GETs of a 1 KiB file on one engine;
- 20,000 asyncio GETs through vesper.AsyncClient, 64 in flight;
- 10,000 WebSocket connect / echo / close cycles;
- 2,000 engines created and dropped with requests in flight (a 256 MiB
  download partly read, one not yet answered).

Targets: RSS flat within 5 MiB after the first tenth (warm-up); threads and
descriptors back to their starting count at the end.  Exits 1 when one is
missed.
"""
import json
import os
import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
SCALE = float(os.environ.get("SOAK_SCALE", "1"))
FLAT_KIB = 5 * 1024

COUNTS = {"sequential_gets": 100_000, "asyncio_gets": 20_000, "websocket_cycles": 10_000, "engines_dropped": 2_000}


def probe():
    status = pathlib.Path("/proc/self/status").read_text()
    rss = int(next(line.split()[1] for line in status.splitlines() if line.startswith("VmRSS:")))
    return {"rss_kib": rss, "threads": len(os.listdir("/proc/self/task")), "fds": len(os.listdir("/proc/self/fd"))}


# ---- workloads (run in the child) ----------------------------------------

def sequential_gets(base, _ws, count, sample):
    import vesper_native36 as native
    engine = native.PyEngine(cache=False)  # every GET goes to the server
    url = base + "/small"
    for i in range(count):
        request = engine.request("GET", url)
        request.start_for_wait()
        response = request.wait_response(30)
        assert response.status_code == 200
        assert len(request.read_all(30)) == 1024
        sample(i + 1)


def asyncio_gets(base, _ws, count, sample):
    import asyncio

    import vesper

    async def main():
        async with vesper.AsyncClient() as client:
            done = 0
            queue = iter(range(count))

            async def worker():
                nonlocal done
                for _ in queue:
                    response = await client.get(base + "/small")
                    assert response.status_code == 200 and len(response.content) == 1024
                    done += 1
                    sample(done)
            await asyncio.gather(*(worker() for _ in range(64)))
    asyncio.run(main())


def websocket_cycles(_base, ws, count, sample):
    import vesper_native36 as native
    engine = native.PyEngine()
    for i in range(count):
        socket = engine.websocket(ws)
        socket.connect()
        assert socket.recv(30)[0] == "open"
        socket.send_text("soak")
        event = socket.recv(30)
        assert event[0] == "text" and bytes(event[1]) == b"soak", event
        socket.close(1000, "")
        while (event := socket.recv(30)) is not None and event[0] not in ("closed", "error"):
            pass
        sample(i + 1)


def engines_dropped(base, _ws, count, sample):
    import gc

    import vesper_native36 as native
    for i in range(count):
        engine = native.PyEngine()
        reading = engine.request("GET", base + "/large")
        reading.start()
        assert reading.wait_response(30).status_code == 200
        reading.read_chunk(30)           # part of the body, the rest in flight
        waiting = engine.request("GET", base + "/small")
        waiting.start()
        del engine, reading, waiting     # dropped mid-flight
        if i % 50 == 49:
            gc.collect()
        sample(i + 1)


WORKLOADS = {f.__name__: f for f in (sequential_gets, asyncio_gets, websocket_cycles, engines_dropped)}


def child(name, base, ws, count):
    import gc
    import time
    samples = [dict(done=0, **probe())]
    step = max(1, count // 10)
    begun = time.monotonic()

    def sample(done):
        if done % step == 0:
            gc.collect()
            samples.append(dict(done=done, **probe()))

    WORKLOADS[name](base, ws, count, sample)
    gc.collect()
    time.sleep(0.5)                      # threads of dropped engines wind down
    end = dict(done=count, **probe())
    print(json.dumps({"samples": samples, "end": end, "seconds": time.monotonic() - begun}), flush=True)


# ---- the run ---------------------------------------------------------------

def verdict(result):
    samples = result["samples"]
    after_warmup = [s["rss_kib"] for s in samples[2:]] or [samples[-1]["rss_kib"]]
    growth = max(after_warmup) - min(after_warmup)
    start, end = samples[0], result["end"]
    ok = growth <= FLAT_KIB and end["threads"] <= start["threads"] and end["fds"] <= start["fds"]
    return ok, growth


def main():
    from bench_websocket_live import EchoServer
    from nginx_server import Nginx
    nginx = Nginx(large_bytes=256 * 1024 * 1024)
    echo = EchoServer()
    failed = False
    try:
        for name, base_count in COUNTS.items():
            count = max(10, int(base_count * SCALE))
            proc = subprocess.run([sys.executable, __file__, "--child", name, nginx.base, echo.url, str(count)],
                                  capture_output=True, text=True, timeout=1800)
            if proc.returncode != 0:
                print(f"{name}: FAILED (exit {proc.returncode})\n{proc.stderr[-2000:]}")
                failed = True
                continue
            result = json.loads(proc.stdout.strip().splitlines()[-1])
            ok, growth = verdict(result)
            failed |= not ok
            print(f"\n{name}: {count} in {result['seconds']:.1f} s  "
                  f"RSS spread after warm-up {growth} KiB  {'ok' if ok else 'MISSED'}")
            print(f"  {'done':>8} {'RSS KiB':>9} {'threads':>7} {'fds':>4}")
            for s in result["samples"] + [dict(result["end"], done="end")]:
                print(f"  {s['done']:>8} {s['rss_kib']:>9} {s['threads']:>7} {s['fds']:>4}")
    finally:
        echo.stop()
        nginx.stop()
    return 1 if failed else 0


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]))
    else:
        sys.exit(main())
