"""vesper ws URL: messages sent and received, closes and failures."""
import re
import selectors
import time

import pytest


def test_send_and_count(cli, ws):
    run = cli("ws", f"{ws}/echo", "--send", "hello", "--send", "wörld", "--count", "2")
    assert run.code == 0, run
    assert run.text.splitlines() == ["hello", "wörld"]


def test_stdin_lines_are_sent_as_text(cli, ws):
    run = cli("ws", f"{ws}/digest", "--count", "2", stdin=b"abc\nxyz\n")
    assert run.code == 0, run
    import hashlib
    assert run.text.splitlines() == [f"3 {hashlib.sha256(t).hexdigest()}" for t in (b"abc", b"xyz")]


@pytest.mark.parametrize("size, preview", [
    (5, "binary 5 bytes: 00 00 00 00 00"),
    (40, "binary 40 bytes: " + " ".join(["00"] * 32) + " ..."),
])
def test_binary_messages_show_a_hex_preview(cli, ws, size, preview):
    run = cli("ws", f"{ws}/burst?count=3&size={size}", "--count", "3")
    assert run.code == 0, run
    assert run.text.splitlines() == [preview] * 3


def test_server_close_is_reported(cli, ws):
    run = cli("ws", f"{ws}/close?code=4001&reason=go+away", "--count", "1")
    assert run.code == 7, run
    assert "closed by the server: 4001 go away" in run.err


def test_normal_server_close_exits_0(cli, ws):
    run = cli("ws", f"{ws}/close?code=1000&reason=bye", "--count", "1")
    assert run.code == 0, run
    assert "closed by the server: 1000 bye" in run.err


def _closed_line(server, timeout=10.0):
    """The next "CLOSED ..." line of the close recorder."""
    selector = selectors.DefaultSelector()
    selector.register(server.proc.stdout, selectors.EVENT_READ)
    deadline = time.monotonic() + timeout
    try:
        while time.monotonic() < deadline:
            if selector.select(deadline - time.monotonic()):
                line = server.proc.stdout.readline()
                if line.startswith("CLOSED"):
                    return line.strip()
        return None
    finally:
        selector.close()


@pytest.mark.parametrize("args, stdin", [
    ([], b"one\n"),                             # end of stdin (Ctrl-D)
    (["--send", "x", "--count", "1"], b""),     # --count reached
])
def test_client_closes_with_1000(cli, close_recorder, args, stdin):
    run = cli("ws", f"ws://127.0.0.1:{close_recorder.port}/", *args, stdin=stdin)
    assert run.code == 0, run
    assert _closed_line(close_recorder) == "CLOSED 1000"


@pytest.mark.parametrize("path, code", [("/refuse?status=403", 4), ("/refuse?status=502", 5)])
def test_refused_handshake_exits_by_status(cli, ws, path, code):
    run = cli("ws", ws + path, "--count", "1")
    assert run.code == code, run
    assert re.search(r"Chromium net error -\d+", run.err)


def test_refused_connection(cli):
    run = cli("ws", "ws://127.0.0.1:1/", "--count", "1")
    assert run.code == 7, run
    assert "Chromium net error -102" in run.err


def test_timeout_waiting_for_messages(cli, ws):
    run = cli("ws", f"{ws}/silent", "--count", "1", "--timeout", "1")
    assert run.code == 8, run
