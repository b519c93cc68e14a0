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
from servers.certs import make_certs  # noqa: E402
from servers.process import ServerProcess, python_server  # noqa: E402

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


def _server(*args):
    server = python_server(*args)
    yield server
    server.stop()


@pytest.fixture(scope="session")
def certs(tmp_path_factory):
    return make_certs(tmp_path_factory.mktemp("certs"))


@pytest.fixture(scope="session")
def http_server():
    yield from _server("run_http.py")


@pytest.fixture(scope="session")
def https_server(certs):
    yield from _server("run_http.py", "--cert", certs["good"][0], "--key", certs["good"][1])


@pytest.fixture(scope="session")
def bad_tls_servers(certs):
    servers = {name: python_server("run_http.py", "--cert", certs[name][0], "--key", certs[name][1])
               for name in ("expired", "wrong_host", "other_ca")}
    yield servers
    for server in servers.values():
        server.stop()


@pytest.fixture(scope="session")
def http_proxy():
    yield from _server("run_proxy.py", "http", "user:secret")


@pytest.fixture(scope="session")
def ws_server():
    yield from _server("run_websocket.py")


@pytest.fixture(scope="session")
def close_recorder():
    """A WebSocket echo server that prints "CLOSED <code>" for each close it sees."""
    server = ServerProcess([sys.executable, str(HERE / "close_recorder.py")])
    yield server
    server.stop()


@pytest.fixture
def http(http_server):
    return f"http://127.0.0.1:{http_server.port}"


@pytest.fixture
def https(https_server):
    return f"https://127.0.0.1:{https_server.port}"


@pytest.fixture
def ws(ws_server):
    return f"ws://127.0.0.1:{ws_server.port}"
