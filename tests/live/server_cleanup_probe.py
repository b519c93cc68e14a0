"""Run by test_server_cleanup.py in a pytest of its own (the name keeps it out
of the suite's collection): takes the suite's server fixtures, says so in the
file PROBE_READY names, then ends the way PROBE_ENDING says."""
import os
import pathlib
import time


def test_probe(http_server, http_proxy, ws_server):
    pathlib.Path(os.environ["PROBE_READY"]).write_text("ready")
    ending = os.environ["PROBE_ENDING"]
    if ending == "failure":
        raise AssertionError("the probe fails on purpose")
    if ending == "os._exit":
        os._exit(3)  # no handler runs
    # Ended from outside: a signal, or pytest-timeout.
    time.sleep(60)
