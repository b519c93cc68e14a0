"""The real Core across fork() and interpreter exit (each case in child
processes, so a crash or a hang shows as a child's failure)."""
import os
import pathlib
import signal
import subprocess
import sys
import textwrap

import pytest

# The asyncio paths module the child scripts import.
SUPPORT = pathlib.Path(__file__).resolve().parents[1] / "support"

pytestmark = pytest.mark.timeout(300)

FORK_CHILD = """
import os, sys, time
import vesper_native36 as native
url = sys.argv[1]
engine = native.PyEngine()
request = engine.request("GET", url + "/echo")
request.start()
assert request.await_response(10).status_code == 200
request.read_body(10)
unstarted = engine.request("GET", url + "/echo")
pid = os.fork()
if pid == 0:
    code = 0
    begun = time.monotonic()
    for attempt in (lambda: engine.request("GET", url + "/echo"),
                    lambda: engine.websocket("ws://127.0.0.1:1/"),
                    lambda: unstarted.start(),
                    lambda: request.read_body(1)):
        try:
            attempt()
            code = 3
        except RuntimeError as exc:
            if "another process" not in str(exc) or "fork" not in str(exc):
                code = 4
    if time.monotonic() - begun > 2:
        code = 5
    fresh = native.PyEngine()       # a new engine in the child works
    again = fresh.request("GET", url + "/echo")
    again.start()
    if again.await_response(10).status_code != 200:
        code = 6
    again.read_body(10)
    os._exit(code) if code else sys.exit(0)   # sys.exit: the parent's engine is dropped at exit
_, status = os.waitpid(pid, 0)
print("child", os.waitstatus_to_exitcode(status), flush=True)
# The parent's engine still works.
check = engine.request("GET", url + "/echo")
check.start()
print("parent", check.await_response(10).status_code, flush=True)
"""


def test_fork_child_using_the_parents_engine_fails_clearly(http):
    proc = subprocess.run([sys.executable, "-c", FORK_CHILD, http], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["child", "0", "parent", "200"], proc.stdout + proc.stderr


# 200 asyncio requests through the loop helper, the engine left alive at
# exit: the network thread must not touch a finalizing interpreter.
EXIT_SCRIPT = """
import asyncio, sys
sys.path.insert(0, sys.argv[2])
import vesper_native36 as native
from asyncio_paths import AsyncRequest
engine = native.PyEngine()
async def one(url):
    request = engine.request("GET", url)
    reader = AsyncRequest(request)
    status, _ = await reader.response()
    await reader.read()
    return status
async def main(url):
    statuses = await asyncio.gather(*(one(url) for _ in range(200)))
    assert set(statuses) == {200}, statuses
asyncio.run(main(sys.argv[1] + "/echo"))
print("ok", flush=True)
"""


def test_exit_with_a_live_engine_after_asyncio_requests(http):
    script = EXIT_SCRIPT
    runs = int(os.environ.get("VESPER_EXIT_RUNS", "100"))
    failures = []
    for i in range(runs):
        proc = subprocess.run([sys.executable, "-c", script, http, str(SUPPORT)], capture_output=True, text=True,
                              timeout=60)
        if proc.returncode != 0 or proc.stdout.strip() != "ok" or "Fatal Python error" in proc.stderr:
            failures.append((i, proc.returncode, proc.stderr[-400:]))
    assert failures == [], failures
