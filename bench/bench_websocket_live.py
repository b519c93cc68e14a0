"""WebSocket through vesper_native36 and the Core against a local native echo
server (bench/ws_echo_server.cpp, built here with g++ and wslay), beside the
websockets library and aiohttp's client, in one run:

- round trips per second: one 32-byte text message at a time, echo awaited;
- MB/s: a 64 MiB binary stream in 64 KiB messages, echoed, with at most
  1 MiB in flight (the module's queue holds 4 MiB unread: a reader must
  keep up, as every client here does).

vesper is measured through the blocking `recv` and through `poll_events` on
an asyncio loop (vesper._loop.AsyncWebSocket).  Compression is off on every
side (the server does not accept it).  The server's CPU use is printed with
each figure: far below one core means the server was not the limit.
"""
import asyncio
import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import time

import vesper_native36 as native

HERE = pathlib.Path(__file__).resolve().parent
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
                        "-lwslay", "-lcrypto", "-lpthread"], check=True)
        self.proc = subprocess.Popen([str(self.binary)], stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        assert line.startswith("READY"), line
        self.url = f"ws://127.0.0.1:{int(line.split()[1])}/"

    def cpu_seconds(self):
        fields = pathlib.Path(f"/proc/{self.proc.pid}/stat").read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(5)


def measure(server, fn):
    """(figure, server CPU share over the run)."""
    cpu = server.cpu_seconds()
    start = time.perf_counter()
    count = fn()
    elapsed = time.perf_counter() - start
    return count / elapsed, (server.cpu_seconds() - cpu) / elapsed


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


def vesper_recv_rtt(server):
    ws = vesper_open(server.url)

    def run():
        for _ in range(ROUND_TRIPS):
            ws.send_text(TEXT)
            assert ws.recv()[0] == "text"
        return ROUND_TRIPS
    figure = measure(server, run)
    vesper_close(ws)
    return figure


def vesper_recv_stream(server):
    ws = vesper_open(server.url)
    piece = bytes(PIECE)

    def run():
        total = STREAM // PIECE
        sent = received = 0
        while sent < min(WINDOW, total):
            ws.send_bytes(piece)
            sent += 1
        while received < total:
            kind, data, _, _ = ws.recv()
            assert kind == "binary" and len(data) == PIECE
            received += 1
            if sent < total:
                ws.send_bytes(piece)
                sent += 1
        return STREAM / MIB
    figure = measure(server, run)
    vesper_close(ws)
    return figure


def vesper_async(server, stream):
    from vesper._loop import AsyncWebSocket

    async def main():
        ws = AsyncWebSocket(native.PyEngine().websocket(server.url))
        assert (await ws.recv())[0] == "open"

        async def rtt():
            for _ in range(ROUND_TRIPS):
                ws.send_text(TEXT)
                assert (await ws.recv())[0] == "text"
            return ROUND_TRIPS

        async def flow():
            piece = bytes(PIECE)
            total = STREAM // PIECE
            sent = received = 0
            while sent < min(WINDOW, total):
                ws.send_bytes(piece)
                sent += 1
            while received < total:
                kind, data, _, _ = await ws.recv()
                assert kind == "binary" and len(data) == PIECE
                received += 1
                if sent < total:
                    ws.send_bytes(piece)
                    sent += 1
            return STREAM / MIB

        cpu = server.cpu_seconds()
        start = time.perf_counter()
        count = await (flow() if stream else rtt())
        elapsed = time.perf_counter() - start
        ws.close()
        return count / elapsed, (server.cpu_seconds() - cpu) / elapsed

    return asyncio.run(main())


# -------------------------------------------------------------- websockets

def websockets_sync(server, stream):
    from websockets.sync.client import connect
    with connect(server.url, compression=None, max_size=None) as ws:
        def rtt():
            for _ in range(ROUND_TRIPS):
                ws.send(TEXT)
                ws.recv()
            return ROUND_TRIPS

        def flow():
            piece = bytes(PIECE)
            total = STREAM // PIECE
            sent = received = 0
            while sent < min(WINDOW, total):
                ws.send(piece)
                sent += 1
            while received < total:
                assert len(ws.recv()) == PIECE
                received += 1
                if sent < total:
                    ws.send(piece)
                    sent += 1
            return STREAM / MIB
        return measure(server, flow if stream else rtt)


def websockets_async(server, stream):
    from websockets.asyncio.client import connect

    async def main():
        async with connect(server.url, compression=None, max_size=None) as ws:
            async def rtt():
                for _ in range(ROUND_TRIPS):
                    await ws.send(TEXT)
                    await ws.recv()
                return ROUND_TRIPS

            async def flow():
                piece = bytes(PIECE)
                total = STREAM // PIECE
                sent = received = 0
                while sent < min(WINDOW, total):
                    await ws.send(piece)
                    sent += 1
                while received < total:
                    assert len(await ws.recv()) == PIECE
                    received += 1
                    if sent < total:
                        await ws.send(piece)
                        sent += 1
                return STREAM / MIB

            cpu = server.cpu_seconds()
            start = time.perf_counter()
            count = await (flow() if stream else rtt())
            elapsed = time.perf_counter() - start
            return count / elapsed, (server.cpu_seconds() - cpu) / elapsed

    return asyncio.run(main())


# ------------------------------------------------------------------ aiohttp

def aiohttp_async(server, stream):
    import aiohttp

    async def main():
        async with aiohttp.ClientSession() as session:
            async with session.ws_connect(server.url, compress=0, max_msg_size=0) as ws:
                async def rtt():
                    for _ in range(ROUND_TRIPS):
                        await ws.send_str(TEXT)
                        await ws.receive()
                    return ROUND_TRIPS

                async def flow():
                    piece = bytes(PIECE)
                    total = STREAM // PIECE
                    sent = received = 0
                    while sent < min(WINDOW, total):
                        await ws.send_bytes(piece)
                        sent += 1
                    while received < total:
                        assert len((await ws.receive()).data) == PIECE
                        received += 1
                        if sent < total:
                            await ws.send_bytes(piece)
                            sent += 1
                    return STREAM / MIB

                cpu = server.cpu_seconds()
                start = time.perf_counter()
                count = await (flow() if stream else rtt())
                elapsed = time.perf_counter() - start
                return count / elapsed, (server.cpu_seconds() - cpu) / elapsed

    return asyncio.run(main())


def main():
    server = EchoServer()
    try:
        rows = {
            "round trips/s (32 B text, one at a time)": {
                "vesper recv": vesper_recv_rtt(server),
                "vesper poll_events (asyncio)": vesper_async(server, False),
                "websockets sync": websockets_sync(server, False),
                "websockets asyncio": websockets_async(server, False),
                "aiohttp": aiohttp_async(server, False),
            },
            "MB/s (64 MiB in 64 KiB binary, 1 MiB in flight)": {
                "vesper recv": vesper_recv_stream(server),
                "vesper poll_events (asyncio)": vesper_async(server, True),
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
        recv, pump = figures["vesper recv"][0], figures["vesper poll_events (asyncio)"][0]
        print(f"  ratio vesper recv / websockets sync:                {recv / figures['websockets sync'][0]:.2f}")
        print(f"  ratio vesper poll_events / websockets asyncio:      {pump / figures['websockets asyncio'][0]:.2f}")
        print(f"  ratio vesper poll_events / aiohttp:                 {pump / figures['aiohttp'][0]:.2f}")
        print(f"  ratio vesper recv / aiohttp:                        {recv / figures['aiohttp'][0]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
