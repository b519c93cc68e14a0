"""The vesper package against the Core double: the double is loaded before
the module, so the package's engines and requests are the double's."""
import pathlib
import sys
import threading
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "double"))

from bound import DOUBLE, ROOT, core, native  # noqa: E402,F401
from control import text_of  # noqa: E402

import vesper  # noqa: E402


@pytest.fixture
def package_waits(monkeypatch):
    """The package keeps read and connect with its own waits and cancels,
    as with a Core that lacks hy_request_set_timeouts (the double never
    times a request out by itself)."""
    import vesper._base
    monkeypatch.setattr(vesper._base, "CORE_KEEPS_PHASES", False)


@pytest.fixture
def client(core):
    with vesper.Client(trust_env=False, timeout=5) as c:
        yield c


class Driver:
    """Plays the network for the next started request, on its own thread."""

    def __init__(self, core, action, count=1):
        self.core = core
        self.error = None
        base = core.calls("hy_request_start")
        self._thread = threading.Thread(target=self._run, args=(action, base, count), daemon=True)
        self._thread.start()

    def _run(self, action, base, count):
        try:
            for n in range(1, count + 1):
                deadline = time.monotonic() + 5
                while self.core.calls("hy_request_start") < base + n:
                    if time.monotonic() > deadline:
                        raise AssertionError("no request was started")
                    time.sleep(0.001)
                action(self.core, self.core.last_id("request"))
        except BaseException as exc:  # handed to the test
            self.error = exc

    def join(self):
        self._thread.join(10)
        assert not self._thread.is_alive(), "driver did not finish"
        if self.error is not None:
            raise self.error


def head(status=200, *lines):
    return (f"HTTP/1.1 {status} X\r\n" + "".join(line + "\r\n" for line in lines) + "\r\n").encode()


def answer(status=200, body=b"", lines=()):
    """An action that answers with a head, one body chunk and completion."""
    def act(core, ident):
        core.response(ident, status, head(status, *lines))
        if body:
            core.data(ident, body)
        core.complete(ident)
    return act


def sent(core):
    """(method, url, headers, body) of the last request the package created."""
    record = core.record("request")
    headers = [(text_of(h["name"]).decode(), text_of(h["value"]).decode()) for h in record["headers"]]
    body = text_of(record["body"])
    return text_of(record["method"]).decode(), text_of(record["url"]).decode(), headers, body, record
