"""Exiting the interpreter while Core threads still deliver events must not
crash the process (each case runs in a child process)."""
import os
import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import os, sys, threading, time
sys.path.insert(0, {double_dir!r})
from control import CoreDouble
core = CoreDouble({double!r})
import vesper_native36 as native
engine = native.PyEngine()
"""

CASES = {
    # A loop notifier attached while a Core thread keeps firing.
    "notifier": """
        class Loop:
            def call_soon_threadsafe(self, fn, *args):
                pass
        request = engine.request("GET", "http://x/")
        request.start_async(Loop(), lambda: None)
        ident = core.last_id("request")
        core.response(ident)
        threading.Thread(target=core.data_repeat, args=(ident, b"x", 10**8), daemon=True).start()
        time.sleep(0.2)
    """,
    # A daemon thread blocked in a read that the Core wakes during exit.
    "blocked_reader": """
        request = engine.request("GET", "http://x/")
        request.start()
        ident = core.last_id("request")
        core.response(ident)
        request.await_response()
        def read():
            while request.next_body() is not None:
                pass
        threading.Thread(target=read, daemon=True).start()
        threading.Thread(target=core.data_repeat, args=(ident, b"y" * 100, 10**8), daemon=True).start()
        time.sleep(0.2)
    """,
    "websocket": """
        class Loop:
            def call_soon_threadsafe(self, fn, *args):
                pass
        socket = engine.websocket("ws://x/")
        socket.start_async(Loop(), lambda: None)
        ident = core.last_id("websocket")
        def feed():
            while True:
                core.ws_message(ident, b"m", count=500)
                socket.poll_events(1000)
        threading.Thread(target=feed, daemon=True).start()
        time.sleep(0.2)
    """,
}


@pytest.mark.parametrize("case", sorted(CASES))
@pytest.mark.timeout(60)
def test_exit_with_live_core_threads(case):
    from conftest import ROOT
    double = os.environ.get("VESPER_DOUBLE", str(ROOT / "build" / "double" / "libhalyard.so"))
    code = PRELUDE.format(double_dir=str(ROOT / "tests" / "double"), double=double) + textwrap.dedent(CASES[case])
    for _ in range(3):
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=50)
        assert result.returncode == 0, result.stderr[-2000:]
        assert "terminate called" not in result.stderr
