"""WebSocket connections through the module and the real Core against a
hostile server: frames over the bound, invalid UTF-8, broken control frames,
and a flood to a reader that does not read.  Each case asserts the error,
what the client told the server, bounded memory and an end in bounded time."""
import time

import pytest

from conftest import fetch
from servers.process import python_server
from websocket_helpers import next_event, opened
from memory import rss_bytes

MIB = 1024 * 1024
PROTOCOL_ERROR = ("error", [], None, "Protocol (Chromium net error -145, response 0)")


@pytest.fixture(scope="module")
def hostile_ws_server():
    server = python_server("run_hostile_websocket.py")
    yield server
    server.stop()


def report_for(engine, server, path, timeout=15.0):
    """The server's record of the last finished connection to `path`."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        entries = fetch(engine, "GET", f"http://127.0.0.1:{server.port}/report", timeout=5).json()
        found = [e for e in entries if e["path"] == path]
        if found:
            return found[-1]
        time.sleep(0.05)
    raise AssertionError(f"the server recorded no finished connection to {path} within {timeout} s")


@pytest.mark.parametrize("path, close_code", [
    ("/oversized", 1009),         # one frame announcing 65 MiB, over the 64 MiB bound
    ("/invalid-utf8", 1007),      # a text frame that is not UTF-8
    # Control frames may not be fragmented nor carry more than 125 bytes:
    # wslay's frame layer answers those with a close without a code (1005).
    ("/fragmented-ping", 1005),
    ("/long-ping", 1005),
])
def test_broken_frames_fail_the_connection_and_tell_the_server(engine, hostile_ws_server, path, close_code):
    base = rss_bytes()
    ws, _ = opened(engine, f"ws://127.0.0.1:{hostile_ws_server.port}{path}", timeout=20)
    assert next_event(ws, 15) == PROTOCOL_ERROR
    assert ws.is_finished()
    entry = report_for(engine, hostile_ws_server, path)
    assert entry["close_code"] == close_code
    assert entry["client_ended"]
    # Nothing of the announced 65 MiB was set aside.
    assert rss_bytes() - base < 16 * MIB


def flooded(engine, url):
    """A connected WebSocket to a flooding route.  Its "open" is taken when it
    comes first; on a busy machine the flood can fill the queue before the
    test polls, and the overflow then replaces "open" with BufferLimit,
    which the test reads later."""
    ws = engine.websocket(url)
    ws.connect()
    deadline = time.monotonic() + 10
    while not ws.is_finished() and time.monotonic() < deadline:
        event = ws.poll_event()
        if event is not None:
            assert event[0] == "open", event
            return ws
        time.sleep(0.0005)
    return ws


@pytest.mark.timeout(120)
def test_flood_to_a_reader_that_does_not_read_ends_the_connection(engine, hostile_ws_server):
    base = rss_bytes()
    ws = flooded(engine, f"ws://127.0.0.1:{hostile_ws_server.port}/flood")
    # The module's queue fills (4 MiB), ends with BufferLimit, and the Core's
    # connection must end with it: the server sees the client go away.
    entry = report_for(engine, hostile_ws_server, "/flood", timeout=30)
    assert entry["client_ended"]
    assert entry["sent"] < 512 * MIB, f"the client read {entry['sent'] / MIB:.0f} MiB after its queue was full"
    assert ws.is_finished()
    assert next_event(ws, 5) == ("error", [], None, "BufferLimit (Chromium net error 0, response 0)")
    assert ws.poll_event() is None
    assert rss_bytes() - base < 64 * MIB


def test_close_after_an_overflow_changes_nothing(engine, hostile_ws_server):
    ws = flooded(engine, f"ws://127.0.0.1:{hostile_ws_server.port}/flood?tag=close")
    deadline = time.monotonic() + 30
    while not ws.is_finished() and time.monotonic() < deadline:
        time.sleep(0.01)
    assert ws.is_finished()
    ws.close(1000, "late")
    assert next_event(ws, 5)[3].startswith("BufferLimit")
    assert report_for(engine, hostile_ws_server, "/flood?tag=close")["client_ended"]
