"""Reassembling a WebSocket message from small fragments, and what it costs
the other work of the engine.

A raw local server (tests/live/servers/run_hostile_websocket.py, route
/fragmented) sends a binary message of 4 MiB (the module's queue holds 4 MiB
unread, so that is the largest a module reader can take) in 4 KiB
fragments.  Each client runs in a fresh process and reports the seconds
from the first byte to the whole message, best of five; vesper also reports
the slowest answer of an unrelated GET made on the same engine meanwhile
(its network thread does both).  The websockets library receives the same
messages as the peer.  One message per connection: the module's queue
holds one such message unread.

Usage: bench_websocket_reassembly.py [PYTHONPATH-of-a-vesper-build ...]
Each extra argument names another build of vesper_native36 to compare
(a directory holding the module and libhalyard.so).
"""
import json
import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "live"))
from servers.process import python_server  # noqa: E402

MESSAGES = 5
MIB_EACH = 4
FRAGMENT = 4096

VESPER = r'''
import json, sys, threading, time
sys.path.insert(0, sys.argv[1])
import vesper_native36 as native
url, http = sys.argv[2], sys.argv[3]
engine = native.PyEngine()
def next_event(ws, deadline):
    while (event := ws.poll_event()) is None and time.monotonic() < deadline:
        time.sleep(0.0002)
    return event
slowest, stop = [0.0], threading.Event()
def other():
    while not stop.is_set():
        started = time.monotonic()
        request = engine.request("GET", http, timeout=30)
        request.start()
        request.await_response()
        request.read_body()
        slowest[0] = max(slowest[0], time.monotonic() - started)
        time.sleep(0.01)
thread = threading.Thread(target=other, daemon=True)
thread.start()
times = []
for _ in range(int(sys.argv[4])):
    # One message per connection: the module's queue holds one 4 MiB message.
    deadline = time.monotonic() + 120
    ws = engine.websocket(url)
    ws.connect()
    event = next_event(ws, deadline)
    assert event is not None and event[0] == "open", event
    started = time.monotonic()
    event = next_event(ws, deadline)
    assert event is not None and event[0] == "binary", event
    times.append(time.monotonic() - started)
    ws.close(1000, "")
stop.set()
thread.join(30)
print(json.dumps({"best": round(min(times), 4), "slowest_other": round(slowest[0], 4)}))
'''

WEBSOCKETS = r'''
import json, sys, time
from websockets.sync.client import connect
times = []
for _ in range(int(sys.argv[2])):
    with connect(sys.argv[1], max_size=None, compression=None) as ws:
        started = time.monotonic()
        ws.recv()
        times.append(time.monotonic() - started)
print(json.dumps({"best": round(min(times), 4), "slowest_other": None}))
'''


def run(argv):
    out = subprocess.run(argv, capture_output=True, text=True, timeout=600)
    if out.returncode != 0:
        return {"error": out.stderr.strip().splitlines()[-1:]}
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    builds = [str(HERE.parent / "python")] + sys.argv[1:]
    server = python_server("run_hostile_websocket.py")
    try:
        url = (f"ws://127.0.0.1:{server.port}/fragmented?mib={MIB_EACH}&size={FRAGMENT}&count=1")
        http = f"http://127.0.0.1:{server.port}/report"
        print(f"{MESSAGES} connections, each one message of {MIB_EACH} MiB in {FRAGMENT}-byte fragments")
        for build in builds:
            r = run([sys.executable, "-c", VESPER, build, url, http, str(MESSAGES)])
            print(f"vesper ({build}): {r}")
        print(f"websockets: {run([sys.executable, '-c', WEBSOCKETS, url, str(MESSAGES)])}")
    finally:
        server.stop()


if __name__ == "__main__":
    main()
