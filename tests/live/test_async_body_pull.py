"""The asyncio body as the package reads it, through the real Core: the hub
hands out no body, the reader takes it from the request, and the module's
1 MiB pause is the only flow control.  Both asyncio paths: the engine's
loop run by the event loop (loop-driven) and by its network thread
(VESPER_LOOP_DRIVEN=0); each runs in a child process, also pinned to one
CPU."""
import hashlib
import os
import socket
import subprocess
import sys
import threading

import pytest

from memory import SANITIZED
from servers.app import pattern

MIB = 1_048_576

SLOW_READER = r"""
import asyncio, hashlib, sys
import vesper
sys.path.insert(0, sys.argv[3])
from memory import rss_bytes
url, total = sys.argv[1], int(sys.argv[2])

async def main():
    async with vesper.AsyncClient(timeout=60) as client:
        async with client.stream("GET", f"{url}/bytes?n={total}&chunk=262144") as response:
            digest, got, peak = hashlib.sha256(), 0, 0
            pieces = response.aiter_bytes()
            first = await pieces.__anext__()
            digest.update(first)
            got += len(first)
            before = rss_bytes()
            await asyncio.sleep(1.0)          # loopback would bring the whole body by now
            grown = rss_bytes() - before
            async for piece in pieces:
                digest.update(piece)
                got += len(piece)
                if got % (4 * 1048576) < len(piece):
                    peak = max(peak, rss_bytes() - before)
                    await asyncio.sleep(0.01)  # a reader slower than the network
            print(got, digest.hexdigest(), grown, peak)

asyncio.run(asyncio.wait_for(main(), 120))
"""


def child(code, *args, driven, pin):
    command = [sys.executable, "-c", code, *map(str, args)]
    if pin:
        command = ["taskset", "-c", "0", *command]
    env = dict(os.environ, VESPER_LOOP_DRIVEN="1" if driven else "0")
    return subprocess.run(command, env=env, capture_output=True, text=True, timeout=180)


@pytest.mark.parametrize("pin", [False, True], ids=["two-cpus", "pinned"])
@pytest.mark.parametrize("driven", [True, False], ids=["loop-driven", "network-thread"])
def test_a_slow_reader_stays_bounded_and_gets_the_body_whole(http, driven, pin):
    total = 96 * MIB
    done = child(SLOW_READER, http, total, os.path.dirname(os.path.abspath(__file__)), driven=driven, pin=pin)
    assert done.returncode == 0, done.stderr[-3000:]
    got, digest, grown, peak = done.stdout.split()
    assert int(got) == total and digest == hashlib.sha256(pattern(total)).hexdigest()
    if not SANITIZED:
        # Paused at 1 MiB queued while the reader slept: nowhere near the body.
        assert int(grown) < 24 * MIB, grown
        assert int(peak) < 24 * MIB, peak


CUT_BODY = r"""
import asyncio, sys
import vesper
url = sys.argv[1]

async def main():
    async with vesper.AsyncClient(timeout=30) as client:
        async with client.stream("GET", url) as response:
            got = bytearray()
            try:
                async for piece in response.aiter_bytes():
                    got += piece
                    await asyncio.sleep(0.001)
            except vesper.TransportError as exc:
                print(len(got), bytes(got) == bytes(i % 251 for i in range(len(got))), type(exc).__name__)
                return
            print("no failure", len(got))

asyncio.run(asyncio.wait_for(main(), 60))
"""


class CutServer:
    """Answers each connection with a head announcing 4 MiB, sends `sent`
    bytes of it and closes."""

    def __init__(self, sent):
        self.sent = sent
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        self.listener.settimeout(60)
        try:
            conn, _ = self.listener.accept()
        except OSError:
            return
        with conn:
            conn.settimeout(30)
            request = b""
            while b"\r\n\r\n" not in request:
                data = conn.recv(65536)
                if not data:
                    return
                request += data
            body = bytes(i % 251 for i in range(self.sent))
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 4194304\r\n\r\n" + body)

    def close(self):
        self.listener.close()
        self.thread.join(10)


@pytest.mark.parametrize("driven", [True, False], ids=["loop-driven", "network-thread"])
def test_a_failure_mid_body_comes_after_the_bytes_before_it(driven):
    server = CutServer(3 * MIB + 12345)
    try:
        done = child(CUT_BODY, f"http://127.0.0.1:{server.port}/", driven=driven, pin=False)
    finally:
        server.close()
    assert done.returncode == 0, done.stderr[-3000:]
    got, in_order, failure = done.stdout.split()
    assert (int(got), in_order) == (3 * MIB + 12345, "True"), done.stdout
    assert failure in ("RemoteProtocolError", "ReadError"), failure
