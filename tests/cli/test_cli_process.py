"""The command line as a process: Ctrl-C and a reader that goes away."""
import json
import signal
import subprocess
import sys
import time
import urllib.request
import uuid

from conftest import child_env
from servers.process import WITH_DEFAULT_SIGNALS


def _arrived(http, group, timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with urllib.request.urlopen(f"{http}/log/order?group={group}", timeout=5) as answer:
            if json.load(answer):
                return True
        time.sleep(0.05)
    return False


def test_ctrl_c_exits_130_without_a_traceback(http):
    group = uuid.uuid4().hex
    proc = subprocess.Popen([sys.executable, *WITH_DEFAULT_SIGNALS, sys.executable, "-m", "vesper",
                             f"{http}/log?group={group}&tag=a&delay=20"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=child_env())
    try:
        assert _arrived(http, group), "the request never reached the server"
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=10)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(5)
    assert proc.returncode == 130, err
    assert err.decode().strip() == "vesper: error: interrupted"
    assert out == b""


def test_a_closed_pipe_ends_quietly(http):
    proc = subprocess.Popen([sys.executable, "-m", "vesper", f"{http}/bytes?n=5000000&chunk=65536"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=child_env())
    try:
        assert len(proc.stdout.read(1000)) == 1000
        proc.stdout.close()
        err = proc.stderr.read()
        proc.wait(10)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(5)
    assert proc.returncode == 0, err
    assert err == b""
