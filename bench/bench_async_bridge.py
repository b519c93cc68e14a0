"""Events from Core threads to an asyncio loop: the native bridge (notify +
poll_events, coalesced wake-ups) against a plain-Python bridge (one
call_soon_threadsafe per event into an asyncio.Queue), in one run.

Both producers run on their own thread and hand over the same event
values; the native one is the double streaming a body with flow control.
"""
import asyncio
import threading
import time

from _double import DOUBLE, native

KIB = 1024


def native_run(chunk, total):
    engine = native.PyEngine()
    scheduled = 0

    async def main():
        nonlocal scheduled
        loop = asyncio.get_running_loop()
        done = loop.create_future()
        request = engine.request("GET", "http://bench/")
        events = 0

        def notify():
            nonlocal scheduled, events
            scheduled += 1
            while True:
                batch = request.poll_events(64)
                events += len(batch)
                if batch and batch[-1][0] in ("done", "error"):
                    done.set_result(None)
                    return
                if len(batch) < 64:
                    return

        request.start_async(loop, notify)
        DOUBLE.stream_body(DOUBLE.last_id("request"), chunk, total)
        start = time.perf_counter()
        await done
        return events, time.perf_counter() - start

    events, seconds = asyncio.run(main())
    DOUBLE.wait_idle()
    return events, seconds, scheduled


def python_run(chunk, total):
    payload = bytes(range(256)) * (chunk // 256) if chunk >= 256 else bytes(range(chunk))
    count = total // chunk

    async def main():
        loop = asyncio.get_running_loop()
        queue = asyncio.Queue()

        def producer():
            put = queue.put_nowait
            loop.call_soon_threadsafe(put, ("response", 200, list(b"HTTP/1.1 200 OK\r\n\r\n"), [], None))
            for _ in range(count):
                loop.call_soon_threadsafe(put, ("body", 0, [], list(payload), None))
            loop.call_soon_threadsafe(put, ("done", 0, [], [], None))

        start = time.perf_counter()
        thread = threading.Thread(target=producer)
        thread.start()
        events = 0
        while True:
            event = await queue.get()
            events += 1
            if event[0] == "done":
                break
        thread.join()
        return events, time.perf_counter() - start

    return asyncio.run(main())


def main():
    DOUBLE.set_recording(False)
    print("async bridge (double)")
    for chunk, total in ((16, 4 * 1024 * 1024 // 16 * 16 // 8), (16 * KIB, 256 * 1024 * KIB)):
        best_native = best_python = None
        for _ in range(3):
            n_events, n_seconds, scheduled = native_run(chunk, total)
            p_events, p_seconds = python_run(chunk, total)
            rate_n, rate_p = n_events / n_seconds, p_events / p_seconds
            best_native = max(best_native or 0, rate_n)
            best_python = max(best_python or 0, rate_p)
        print(f"  {chunk} B chunks: native {best_native:,.0f} events/s, python bridge {best_python:,.0f} events/s, "
              f"ratio {best_native / best_python:.2f}; last run: {n_events} events, {scheduled} notify scheduled")


if __name__ == "__main__":
    main()
