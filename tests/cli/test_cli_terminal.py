"""The command line in a real terminal (tmux): colours, the progress bar
appearing and leaving nothing behind, an interactive WebSocket session."""
import os
import shlex
import shutil
import signal
import subprocess
import sys
import time
import uuid

import pytest

from conftest import CHILD_PATH

pytestmark = pytest.mark.skipif(shutil.which("tmux") is None, reason="tmux is not installed")

BAR = "\u2501"  # the heavy line rich draws its bars with


class Terminal:
    """One tmux server on a private socket, with one 100x30 pane."""

    def __init__(self):
        self.socket = f"vesper-cli-{uuid.uuid4().hex[:8]}"
        self._tmux("new-session", "-d", "-x", "100", "-y", "30",
                   f"env PYTHONPATH={shlex.quote(CHILD_PATH)} TERM=xterm-256color bash --norc --noprofile")
        self.pid = int(self._tmux("display-message", "-p", "#{pid}").strip())

    def _tmux(self, *args):
        return subprocess.run(["tmux", "-L", self.socket, *args], check=True, capture_output=True,
                              text=True, timeout=10).stdout

    def type(self, text, enter=True):
        self._tmux("send-keys", "-l", text)
        if enter:
            self._tmux("send-keys", "Enter")

    def key(self, name):
        self._tmux("send-keys", name)

    def screen(self, colours=False):
        return self._tmux("capture-pane", "-p", *(["-e"] if colours else []))

    def wait_for(self, predicate, timeout=15.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            screen = self.screen(colours=True)
            if predicate(screen):
                return screen
            time.sleep(0.05)
        raise AssertionError(f"the terminal never showed what was awaited:\n{self.screen()}")

    def stop(self):
        try:
            os.kill(self.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass


@pytest.fixture
def terminal():
    term = Terminal()
    yield term
    term.stop()


def _vesper(*args):
    return " ".join(shlex.quote(a) for a in [sys.executable, "-m", "vesper", *args])


def test_head_and_json_are_coloured(terminal, http):
    terminal.type(_vesper("-i", f"{http}/reflect", "Content-Type:application/json",
                          "--data", '{"method": "GET"}') + "; echo END-$?")
    screen = terminal.wait_for(lambda s: "END-0" in s)
    status_line = next(line for line in screen.splitlines() if "200" in line and "HTTP/1.1" in line)
    assert "\x1b[" in status_line
    key_line = [line for line in screen.splitlines() if '"method"' in line][-1]
    assert "\x1b[" in key_line and '"GET"' in key_line


def test_progress_bar_renders_then_disappears(terminal, http, tmp_path):
    target = tmp_path / "drip.bin"
    terminal.type(_vesper("-o", str(target), f"{http}/drip?n=40&interval=0.08") + "; echo END-$?")
    bar = terminal.wait_for(lambda s: BAR in s and "/40 bytes" in s)
    bar_line = next(line for line in bar.splitlines() if BAR in line)
    assert "download drip.bin" in bar_line and "\x1b[" in bar_line
    done = terminal.wait_for(lambda s: "END-0" in s)
    assert BAR not in done and "/40 bytes" not in done
    assert "saved 40 bytes" in done
    assert target.read_bytes() == b"x" * 40


def test_no_progress_bar_for_a_quick_transfer(terminal, http, tmp_path):
    terminal.type(_vesper("-o", str(tmp_path / "b"), f"{http}/bytes?n=1000") + "; echo END-$?")
    done = terminal.wait_for(lambda s: "END-0" in s)
    assert BAR not in done


def test_interactive_websocket_session(terminal, ws):
    terminal.type(_vesper("ws", f"{ws}/echo") + "; echo END-$?")
    time.sleep(0.5)
    terminal.type("typed line")
    terminal.wait_for(lambda s: "< typed line" in s or s.count("typed line") >= 2)
    terminal.key("C-d")
    terminal.wait_for(lambda s: "END-0" in s)


def test_step_asks_at_each_redirect(terminal, http):
    terminal.type(_vesper("--step", "-i", f"{http}/redirect-chain?n=3") + "; echo END-$?")
    terminal.wait_for(lambda s: "n=2? [Y/n]" in s)
    terminal.type("y")
    terminal.wait_for(lambda s: "n=1? [Y/n]" in s)
    terminal.type("n")
    screen = terminal.wait_for(lambda s: "END-0" in s)
    plain = terminal.screen()
    assert "n=0? [Y/n]" not in plain
    # Declining the second hop ends the walk at the 302 that offered it.
    assert "location: /redirect-chain?n=1" in plain
    assert "location: /redirect-chain?n=0" not in plain and "end of chain" not in plain
    assert "\x1b[" in screen
