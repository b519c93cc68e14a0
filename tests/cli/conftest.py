"""The command line as a subprocess against local servers started here."""
import os
import pathlib
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
LIVE = HERE.parent / "live"
sys.path.insert(0, str(LIVE))

import vesper  # noqa: E402
import vesper_native36  # noqa: E402
from servers.fixtures import (bad_tls_servers, certs, http, http_proxy, http_server,  # noqa: E402,F401
                              h3, h3_server, https, https_server, ws, ws_server)
from servers.process import ServerProcess  # noqa: E402

# The child imports the same package and native module as this process.
CHILD_PATH = os.pathsep.join(dict.fromkeys(
    [str(pathlib.Path(vesper.__file__).absolute().parent.parent),
     str(pathlib.Path(vesper_native36.__file__).absolute().parent)]))


class Run:
    def __init__(self, proc: subprocess.CompletedProcess):
        self.code = proc.returncode
        self.out = proc.stdout
        self.err = proc.stderr.decode("utf-8", "replace")

    @property
    def text(self) -> str:
        return self.out.decode("utf-8", "replace")

    def __repr__(self):
        return f"<Run {self.code} out={self.out[:300]!r} err={self.err[:500]!r}>"


def child_env(**extra):
    env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
    env["PYTHONPATH"] = CHILD_PATH
    env.update(extra)
    return env


def vesper_cli(*args, stdin=b"", timeout=30, cwd=None):
    """Runs ``python -m vesper ARGS`` with its output on pipes."""
    proc = subprocess.run([sys.executable, "-m", "vesper", *map(str, args)], input=stdin,
                          capture_output=True, timeout=timeout, cwd=cwd, env=child_env())
    return Run(proc)


@pytest.fixture
def cli():
    return vesper_cli


@pytest.fixture(scope="session")
def close_recorder():
    """A WebSocket echo server that prints "CLOSED <code>" for each close it sees."""
    server = ServerProcess([sys.executable, str(HERE / "close_recorder.py")])
    yield server
    server.stop()
