"""WebSocket messages from Core threads to Python: recv and poll_events
(through notify on an asyncio loop) against an asyncio.Queue fed by
call_soon_threadsafe with the same event values, in one run.

The double fires messages in batches from a native thread; the producer
waits for the consumer between batches so the module's queue (1024
events, 4 MiB) never overflows.
"""
import asyncio
import threading
import time

from _double import DOUBLE, native

KIB = 1024


def batches(size):
    batch = 256 if size <= KIB else 32
    return batch, (40 * 1024 * 1024 // size // batch) or 1


def start_producer(ident, payload, batch, rounds, room):
    """Fires `rounds` batches of messages from the double, each after the
    consumer made room (so the module's queue never overflows), then the
    close; returns the running thread."""
    def produce():
        for _ in range(rounds):
            DOUBLE.ws_message(ident, payload, kind=2, count=batch)
            room.acquire()
        DOUBLE.ws_close(ident, 1000, b"")

    thread = threading.Thread(target=produce)
    thread.start()
    return thread


def recv_run(size):
    batch, rounds = batches(size)
    payload = b"m" * size
    engine = native.PyEngine()
    socket = engine.websocket("ws://bench/")
    socket.connect()
    ident = DOUBLE.last_id("websocket")
    room = threading.Semaphore(0)
    start = time.perf_counter()
    thread = start_producer(ident, payload, batch, rounds, room)
    got = 0
    while (event := socket.recv()) is not None:
        got += 1
        if got % batch == 0:
            room.release()
    thread.join()
    return got, time.perf_counter() - start


def poll_run(size):
    batch, rounds = batches(size)
    payload = b"m" * size

    async def main():
        loop = asyncio.get_running_loop()
        engine = native.PyEngine()
        socket = engine.websocket("ws://bench/")
        room = threading.Semaphore(0)
        done = loop.create_future()
        got = 0

        def notify():
            nonlocal got
            while True:
                events = socket.poll_events(64)
                for _ in events:
                    got += 1
                    if got % batch == 0:
                        room.release()
                if events and events[-1][0] in ("closed", "error"):
                    done.set_result(None)
                    return
                if len(events) < 64:
                    return

        socket.start_async(loop, notify)
        ident = DOUBLE.last_id("websocket")
        start = time.perf_counter()
        thread = start_producer(ident, payload, batch, rounds, room)
        await done
        thread.join()
        return got, time.perf_counter() - start

    return asyncio.run(main())


def queue_run(size):
    batch, rounds = batches(size)
    payload = b"m" * size

    async def main():
        loop = asyncio.get_running_loop()
        queue = asyncio.Queue()

        def producer():
            put = queue.put_nowait
            for _ in range(rounds * batch):
                loop.call_soon_threadsafe(put, ("binary", list(payload), None, None))
            loop.call_soon_threadsafe(put, ("closed", [], 1000, ""))

        start = time.perf_counter()
        thread = threading.Thread(target=producer)
        thread.start()
        got = 0
        while (await queue.get())[0] != "closed":
            got += 1
        thread.join()
        return got + 1, time.perf_counter() - start

    return asyncio.run(main())


def main():
    DOUBLE.set_recording(False)
    print("websocket events (double)")
    for size in (32, 64 * KIB):
        rates = {"recv": 0.0, "poll_events": 0.0, "asyncio.Queue": 0.0}
        for _ in range(3):
            for name, run in (("recv", recv_run), ("poll_events", poll_run), ("asyncio.Queue", queue_run)):
                n, seconds = run(size)
                rates[name] = max(rates[name], n / seconds)
        peer = rates["asyncio.Queue"]
        print(f"  {size} B messages: recv {rates['recv']:,.0f}/s ({rates['recv'] / peer:.2f}x), "
              f"poll_events {rates['poll_events']:,.0f}/s ({rates['poll_events'] / peer:.2f}x), "
              f"asyncio.Queue {peer:,.0f}/s")


if __name__ == "__main__":
    main()
