"""WebSocket through vesper_native36 and the Core against a local native echo
server (bench/ws_echo_server.cpp, built here with g++), beside the
websockets library and aiohttp's client, in one run:

- round trips per second: one 32-byte text message at a time, echo awaited;
- MB/s: a 64 MiB binary stream in 64 KiB messages, echoed, with at most
  1 MiB in flight (the module's queue holds 4 MiB unread: a reader must
  keep up, as every client here does).

vesper is measured through the blocking `recv` and through the event hub on
an asyncio loop (the package's hub path, vesper._hub).  Compression is off on every
side (the server does not accept it).  The server's CPU use is printed with
each figure: far below one core means the server was not the limit.
"""
import asyncio
import os
import pathlib
import subprocess
import sys
import tempfile
import time

import vesper_native36 as native

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "live"))
sys.path.insert(0, str(HERE.parent / "tests" / "support"))
from servers import reaper  # noqa: E402

MIB = 1024 * 1024
ROUND_TRIPS = 5000
STREAM = 64 * MIB
PIECE = 64 * 1024
WINDOW = 16  # messages in flight: 1 MiB
TEXT = "x" * 32


class EchoServer:
    def __init__(self):
        self.binary = pathlib.Path(tempfile.mkdtemp(prefix="vesper-bench-")) / "ws_echo_server"
        subprocess.run(["g++", "-O2", "-std=c++20", str(HERE / "ws_echo_server.cpp"), "-o", str(self.binary),
                        "-lcrypto", "-lpthread"], check=True)
        self.proc = reaper.spawn([str(self.binary)], stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        assert line.startswith("READY"), line
        self.url = f"ws://127.0.0.1:{int(line.split()[1])}/"

    def cpu_seconds(self):
        fields = pathlib.Path(f"/proc/{self.proc.pid}/stat").read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        reaper.stop(self.proc)


def measure(server, fn):
    """(figure, server CPU share over the run)."""
    cpu = server.cpu_seconds()
    start = time.perf_counter()
    count = fn()
    elapsed = time.perf_counter() - start
    return count / elapsed, (server.cpu_seconds() - cpu) / elapsed


async def measure_async(server, coroutine_fn):
    cpu = server.cpu_seconds()
    start = time.perf_counter()
    count = await coroutine_fn()
    elapsed = time.perf_counter() - start
    return count / elapsed, (server.cpu_seconds() - cpu) / elapsed


# The two workloads, written once over a client's send and receive.  A
# receive of the stream returns the echoed payload's length.

def round_trips(send_text, receive):
    for _ in range(ROUND_TRIPS):
        send_text(TEXT)
        receive()
    return ROUND_TRIPS


def windowed_stream(send_bytes, receive_length):
    piece = bytes(PIECE)
    total = STREAM // PIECE
    sent = received = 0
    while sent < min(WINDOW, total):
        send_bytes(piece)
        sent += 1
    while received < total:
        assert receive_length() == PIECE
        received += 1
        if sent < total:
            send_bytes(piece)
            sent += 1
    return STREAM / MIB


async def _maybe_await(value):
    if asyncio.iscoroutine(value):
        await value


async def round_trips_async(send_text, receive):
    for _ in range(ROUND_TRIPS):
        await _maybe_await(send_text(TEXT))
        await receive()
    return ROUND_TRIPS


async def windowed_stream_async(send_bytes, receive_length):
    piece = bytes(PIECE)
    total = STREAM // PIECE
    sent = received = 0
    while sent < min(WINDOW, total):
        await _maybe_await(send_bytes(piece))
        sent += 1
    while received < total:
        assert await receive_length() == PIECE
        received += 1
        if sent < total:
            await _maybe_await(send_bytes(piece))
            sent += 1
    return STREAM / MIB


# ------------------------------------------------------------------ vesper

def vesper_open(url):
    ws = native.PyEngine().websocket(url)
    ws.connect()
    assert ws.recv()[0] == "open"
    return ws


def vesper_close(ws):
    ws.close(1000, "")
    while (event := ws.recv()) is not None and event[0] not in ("closed", "error"):
        pass


def payload_length(event, kind):
    """The payload length of a ("text"|"binary", payload, ...) tuple or of
    a WebSocketEvent record of that kind."""
    if isinstance(event, native.WebSocketEvent):
        assert event.kind == getattr(native.WebSocketEvent, kind.upper()), event
        return len(event.payload)
    assert event[0] == kind, event
    return len(event[1])


def vesper_recv(server, stream):
    ws = vesper_open(server.url)
    if stream:
        figure = measure(server, lambda: windowed_stream(ws.send_bytes, lambda: payload_length(ws.recv(), "binary")))
    else:
        figure = measure(server, lambda: round_trips(ws.send_text, lambda: payload_length(ws.recv(), "text")))
    vesper_close(ws)
    return figure


def vesper_async(server, stream):
    from asyncio_paths import HubWebSocket

    async def main():
        ws = HubWebSocket(native.PyEngine().websocket(server.url))
        assert (await ws.recv()).kind == native.WebSocketEvent.OPEN

        async def length(kind):
            return payload_length(await ws.recv(), kind)

        if stream:
            figure = await measure_async(server, lambda: windowed_stream_async(ws.send_bytes, lambda: length("binary")))
        else:
            figure = await measure_async(server, lambda: round_trips_async(ws.send_text, lambda: length("text")))
        ws.close()
        return figure

    return asyncio.run(main())


# -------------------------------------------------------------- websockets

def websockets_sync(server, stream):
    from websockets.sync.client import connect
    with connect(server.url, compression=None, max_size=None) as ws:
        if stream:
            return measure(server, lambda: windowed_stream(ws.send, lambda: len(ws.recv())))
        return measure(server, lambda: round_trips(ws.send, ws.recv))


def websockets_async(server, stream):
    from websockets.asyncio.client import connect

    async def main():
        async with connect(server.url, compression=None, max_size=None) as ws:
            async def length():
                return len(await ws.recv())

            if stream:
                return await measure_async(server, lambda: windowed_stream_async(ws.send, length))
            return await measure_async(server, lambda: round_trips_async(ws.send, ws.recv))

    return asyncio.run(main())


# ------------------------------------------------------------------ aiohttp

def aiohttp_async(server, stream):
    import aiohttp

    async def main():
        async with aiohttp.ClientSession() as session:
            async with session.ws_connect(server.url, compress=0, max_msg_size=0) as ws:
                async def length():
                    return len((await ws.receive()).data)

                if stream:
                    return await measure_async(server, lambda: windowed_stream_async(ws.send_bytes, length))
                return await measure_async(server, lambda: round_trips_async(ws.send_str, ws.receive))

    return asyncio.run(main())


def main():
    server = EchoServer()
    try:
        rows = {
            "round trips/s (32 B text, one at a time)": {
                "vesper recv": vesper_recv(server, False),
                "vesper hub (asyncio)": vesper_async(server, False),
                "websockets sync": websockets_sync(server, False),
                "websockets asyncio": websockets_async(server, False),
                "aiohttp": aiohttp_async(server, False),
            },
            "MB/s (64 MiB in 64 KiB binary, 1 MiB in flight)": {
                "vesper recv": vesper_recv(server, True),
                "vesper hub (asyncio)": vesper_async(server, True),
                "websockets sync": websockets_sync(server, True),
                "websockets asyncio": websockets_async(server, True),
                "aiohttp": aiohttp_async(server, True),
            },
        }
    finally:
        server.stop()
    print("WebSocket echo against a native server on loopback (server CPU share in brackets)")
    for title, figures in rows.items():
        print(f"\n{title}")
        for name, (value, cpu) in figures.items():
            print(f"  {name:32s} {value:12.1f}   [server {cpu * 100:4.0f}% of a core]")
        recv, pump = figures["vesper recv"][0], figures["vesper hub (asyncio)"][0]
        print(f"  ratio vesper recv / websockets sync:                {recv / figures['websockets sync'][0]:.2f}")
        print(f"  ratio vesper hub / websockets asyncio:      {pump / figures['websockets asyncio'][0]:.2f}")
        print(f"  ratio vesper hub / aiohttp:                 {pump / figures['aiohttp'][0]:.2f}")
        print(f"  ratio vesper recv / aiohttp:                        {recv / figures['aiohttp'][0]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
