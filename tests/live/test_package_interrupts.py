"""Ctrl-C and asyncio cancellation reach a waiting request promptly."""
import asyncio
import signal
import subprocess
import sys
import time

import pytest

import vesper
from servers.process import WITH_DEFAULT_SIGNALS

pytestmark = pytest.mark.timeout(60)

WAITER = """
import sys, time, vesper
print("waiting", flush=True)
started = time.monotonic()
try:
    vesper.get(sys.argv[1], timeout=None, trust_env=False)
except KeyboardInterrupt:
    print("interrupted after", round(time.monotonic() - started, 2), flush=True)
"""


# A blocking WebSocket receive runs the engine's loop on the waiting
# thread; Ctrl-C ends it and leaves the connection open for the next one.
WS_WAITER = """
import sys, time, vesper
with vesper.Client(trust_env=False) as client, client.websocket(sys.argv[1]) as ws:
    print("waiting", flush=True)
    started = time.monotonic()
    try:
        ws.recv()
    except KeyboardInterrupt:
        print("interrupted after", round(time.monotonic() - started, 2), flush=True)
    ws.send("still open")
    print("echo", ws.recv(timeout=10), flush=True)
"""


def interrupted(script, url):
    """Runs `script` on `url`, sends it SIGINT once it waits; its output."""
    import os
    proc = subprocess.Popen([sys.executable, *WITH_DEFAULT_SIGNALS, sys.executable, "-c", script, url],
                            stdout=subprocess.PIPE, text=True,
                            env=dict(os.environ))
    try:
        assert proc.stdout.readline().strip() == "waiting"
        time.sleep(0.8)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=10)
        assert "interrupted after" in out and time.monotonic() - sent < 3
        return out
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(5)


@pytest.mark.parametrize("path", ["/slow?delay=20", "/drip?n=20&interval=1"])
def test_ctrl_c_interrupts_a_blocking_request(http, path):
    interrupted(WAITER, http + path)


def test_ctrl_c_interrupts_a_blocking_websocket_receive(ws_server):
    out = interrupted(WS_WAITER, f"ws://127.0.0.1:{ws_server.port}/echo")
    assert "echo still open" in out


def test_cancelling_a_task_cancels_the_request(http):
    async def main():
        async with vesper.AsyncClient(trust_env=False, timeout=None) as client:
            task = asyncio.ensure_future(client.get(http + "/slow?delay=20"))
            await asyncio.sleep(0.3)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            # The client still serves requests afterwards.
            return (await client.get(http + "/echo")).status_code
    assert asyncio.run(asyncio.wait_for(main(), 20)) == 200
