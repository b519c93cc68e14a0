"""The package's blocking calls made on their engine's own network thread
raise NetworkThreadError (a RuntimeError) at once instead of freezing the
engine.  Engines of one profile namespace share a network thread: a loop
object of one of them that makes a Client call of another is such a call."""
import time

import pytest

import vesper
from bound import native
from conftest import Driver, answer


class CallingLoop:
    """A loop object whose call_soon_threadsafe makes one blocking call."""

    def __init__(self, call):
        self.call = call
        self.outcomes = []

    def call_soon_threadsafe(self, callback, *args):
        begun = time.monotonic()
        try:
            self.call()
            outcome = None
        except BaseException as exc:  # recorded for the test
            outcome = exc
        self.outcomes.append((outcome, time.monotonic() - begun))


@pytest.mark.parametrize("call", ["get", "stream"])
def test_a_client_call_on_its_network_thread_raises_at_once(core, call):
    with vesper.Client(trust_env=False, timeout=5, profile_namespace="one-thread") as client:
        def blocking():
            if call == "get":
                client.get("http://x/refused")
            else:
                with client.stream("GET", "http://x/refused") as response:
                    response.read()

        loop = CallingLoop(blocking)
        engine = native.PyEngine(profile_namespace="one-thread")
        trigger = engine.request("GET", "http://x/trigger")
        trigger.start_async(loop, lambda: None)
        core.response(core.last_id("request"))
        outcome, seconds = loop.outcomes[0]
        assert isinstance(outcome, vesper.NetworkThreadError), outcome
        assert isinstance(outcome, RuntimeError) and isinstance(outcome, vesper.Error)
        assert "own network thread" in str(outcome) and seconds < 1.0
        # The same client goes on working from an ordinary thread.
        driver = Driver(core, answer(200, b"fine"))
        assert client.get("http://x/after").content == b"fine"
        driver.join()
