"""The module with the real Core against local servers started here."""
import json
import pathlib
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import vesper_native36 as native  # noqa: E402
from servers.certs import make_certs  # noqa: E402
from servers.process import python_server  # noqa: E402

assert (native.PyEngine.core_version() or "").startswith("halyard/"), "the live tests need the real Core"


def _server(*args):
    server = python_server(*args)
    yield server
    server.stop()


@pytest.fixture(scope="session")
def certs(tmp_path_factory):
    return make_certs(tmp_path_factory.mktemp("certs"))


@pytest.fixture(scope="session")
def ca_pem(certs):
    return pathlib.Path(certs["ca"]).read_bytes()


@pytest.fixture(scope="session")
def http_server():
    yield from _server("run_http.py")


@pytest.fixture(scope="session")
def second_http_server():
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
def socks_proxy():
    yield from _server("run_proxy.py", "socks5", "user:secret")


@pytest.fixture(scope="session")
def ws_server():
    """The WebSocket test server, accepting permessage-deflate."""
    yield from _server("run_websocket.py")


@pytest.fixture(scope="session")
def ws_plain_server():
    """The WebSocket test server without compression."""
    yield from _server("run_websocket.py", "--no-compression")


@pytest.fixture(scope="session")
def wss_server(certs):
    yield from _server("run_websocket.py", "--cert", certs["good"][0], "--key", certs["good"][1])


@pytest.fixture
def engine(ca_pem):
    return native.PyEngine(ca_pem=ca_pem)


@pytest.fixture
def http(http_server):
    return f"http://127.0.0.1:{http_server.port}"


@pytest.fixture
def https(https_server):
    return f"https://127.0.0.1:{https_server.port}"


class Answer:
    def __init__(self, status, head, body):
        self.status = status
        self.head = head
        self.body = body

    def json(self):
        return json.loads(self.body)

    def header(self, name):
        """Values of the response header `name`, parsed from the head block."""
        lines = self.head.decode("latin-1").split("\r\n")[1:]
        return [line.split(":", 1)[1].strip() for line in lines
                if ":" in line and line.split(":", 1)[0].lower() == name.lower()]


def fetch(engine, method, url, **kwargs):
    """Runs one request to its end: Answer(status, head block, body bytes)."""
    request = engine.request(method, url, **kwargs)
    request.start()
    response = request.await_response()
    return Answer(response.status_code, response.headers, bytes(request.read_body()))
