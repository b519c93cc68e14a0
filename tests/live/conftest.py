"""The module with the real Core against local servers started here."""
import json
import pathlib
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
# The asyncio paths the tests drive (tests/support/asyncio_paths.py).
sys.path.insert(0, str(HERE.parent / "support"))

import vesper_native36 as native  # noqa: E402
from servers.fixtures import (bad_tls_servers, certs, http, http_proxy, http_server,  # noqa: E402,F401
                              https, https_server, second_http_server, socks_proxy, ws,
                              ws_plain_server, ws_server, wss_server)

assert (native.PyEngine.core_version() or "").startswith("halyard/"), "the live tests need the real Core"
# The Core on its own BoringSSL and libcurl (the default build), or on the
# system's OpenSSL libcurl (TLS_STACK=system): the ClientHello tests differ.
OWN_TLS = " BoringSSL/" in (native.PyEngine.core_version() or "")


@pytest.fixture(scope="session")
def ca_pem(certs):
    return pathlib.Path(certs["ca"]).read_bytes()


@pytest.fixture
def engine(ca_pem):
    return native.PyEngine(ca_pem=ca_pem)


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
