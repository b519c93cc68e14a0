"""Session fixtures of the local test servers, shared by the live and the
command-line tests: a conftest imports the ones it uses."""
import pytest

from .certs import make_certs
from .process import python_server


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
def http(http_server):
    return f"http://127.0.0.1:{http_server.port}"


@pytest.fixture
def https(https_server):
    return f"https://127.0.0.1:{https_server.port}"


@pytest.fixture
def ws(ws_server):
    return f"ws://127.0.0.1:{ws_server.port}"


@pytest.fixture(scope="session")
def h3_server(certs):
    """HTTPS over TCP and HTTP/3 over UDP on the same port number."""
    yield from _server("run_http3.py", "--cert", certs["good"][0], "--key", certs["good"][1], "--udp", "same")


@pytest.fixture(scope="session")
def h3_alt_server(certs):
    """HTTP/3 on another UDP port, advertised only by Alt-Svc."""
    yield from _server("run_http3.py", "--cert", certs["good"][0], "--key", certs["good"][1], "--udp", "other")


@pytest.fixture(scope="session")
def h3_untrusted_server(certs):
    """HTTP/3 with a certificate from a CA nobody trusts here."""
    yield from _server("run_http3.py", "--cert", certs["other_ca"][0], "--key", certs["other_ca"][1], "--udp", "same")


@pytest.fixture(scope="session")
def h3(h3_server):
    return f"https://127.0.0.1:{h3_server.port}"
