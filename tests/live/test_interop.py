"""Against servers nobody here wrote: httpbin on gunicorn, hypercorn,
`openssl s_server`, and the websockets and aiohttp WebSocket servers.

Each server is started here, on 127.0.0.1, and stopped by process id."""
import json
import shutil
import socket
import sys
import time
from urllib.parse import quote, unquote

import pytest

from conftest import fetch, native
from event_tuples import as_tuple
from servers import reaper
from servers.process import python_server, wait_for_port
from websocket_helpers import close_cleanly, opened

MIB = 1 << 20
CORE_MAX_MESSAGE = 64 * MIB


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Spawned:
    """A third-party server on a port chosen here."""

    def __init__(self, argv, port, timeout=30.0):
        self.port = port
        self.proc = reaper.spawn(argv)
        try:
            wait_for_port(port, time.monotonic() + timeout)
        except RuntimeError:
            self.stop()
            raise

    def stop(self):
        reaper.stop(self.proc)


@pytest.fixture(scope="module")
def httpbin():
    port = free_port()
    server = Spawned([sys.executable, "-m", "gunicorn", "--workers", "1", "--bind", f"127.0.0.1:{port}",
                      "--log-level", "warning", "httpbin:app"], port)
    yield f"http://127.0.0.1:{port}"
    server.stop()


def request_of(engine, url, **kwargs):
    request = engine.request("GET", url, timeout=20.0, **kwargs)
    request.start()
    return request


# -- non-ASCII in URLs -------------------------------------------------------

@pytest.mark.parametrize("path, query, args", [
    ("/anything", "q=\u2713\u00fc", {"q": "\u2713\u00fc"}),
    ("/anything/\u00e4\u00df", "a=\"<x>\"&b='y'", {"a": "\"<x>\"", "b": "'y'"}),
    ("/anything/%C3%A4", "q=%E2%9C%93", {"q": "\u2713"}),
])
def test_gunicorn_takes_the_url_as_a_browser_sends_it(engine, httpbin, path, query, args):
    # gunicorn answers 400 to raw UTF-8 in the request line.
    answer = fetch(engine, "GET", f"{httpbin}{path}?{query}", timeout=20.0)
    assert answer.status == 200, answer.body[:200]
    body = answer.json()
    assert body["args"] == args
    # httpbin shows the path decoded again.
    assert unquote(body["url"].split("?")[0]) == f"{httpbin}{unquote(path)}"


def test_hypercorn_sees_upper_case_percent_encoding(engine, http):
    answer = fetch(engine, "GET", f"{http}/echo?q=\u2713\u00fc&r=<'>#frag\u00e9", timeout=20.0)
    assert answer.json()["query"] == "q=%E2%9C%93%C3%BC&r=%3C%27%3E"


def test_idna_host_reaches_the_server_in_ascii(engine, httpbin):
    # gunicorn as a forward proxy: the absolute-form request line and the
    # Host header carry the host as it would be looked up.
    proxied = native.PyEngine(proxy=httpbin)
    answer = fetch(proxied, "GET", "http://B\u00dcCHER.example/anything?h=\u00fc", timeout=20.0)
    assert answer.status == 200
    body = answer.json()
    assert body["headers"]["Host"] == "xn--bcher-kva.example"
    assert body["args"] == {"h": "\u00fc"}


def test_invalid_international_host_is_refused():
    with pytest.raises(RuntimeError, match="^InvalidArgument$"):
        native.PyEngine().request("GET", "http://a\u200b\U0001f600\u0301.test/")


def test_redirect_target_is_encoded(engine, http, httpbin):
    # hypercorn sends the Location as raw UTF-8 bytes; the next hop goes to
    # gunicorn, which accepts only the encoded form.
    target = f"{httpbin}/anything/\u00e4?q=\u2713"
    request = request_of(engine, f"{http}/redirect?to={quote(target)}")
    response = request.await_response()
    assert response.status_code == 200
    assert json.loads(bytes(request.read_body()))["args"] == {"q": "\u2713"}
    hops = request.take_redirects()
    assert [(status, first) for status, _, first, _ in hops] == [
        (302, f"{httpbin}/anything/%C3%A4?q=%E2%9C%93")]


def test_websocket_target_is_encoded(engine, ws):
    socket_, _ = opened(engine, f"{ws}/target/\u00e4?q=\u2713\u00fc")
    kind, payload, _, _ = as_tuple(socket_.recv_message(10))
    assert (kind, payload) == ("text", "/target/%C3%A4?q=%E2%9C%93%C3%BC")
    close_cleanly(socket_)


# -- h2c ---------------------------------------------------------------------

def test_h2_in_clear_text_is_http1_against_an_h2c_server(http):
    # hypercorn takes the h2c upgrade from a client that offers it (curl
    # does, and then gets HTTP/2); the Core never offers it.
    pycurl = pytest.importorskip("pycurl")
    import io
    handle, sink = pycurl.Curl(), io.BytesIO()
    handle.setopt(pycurl.URL, f"{http}/echo")
    handle.setopt(pycurl.HTTP_VERSION, pycurl.CURL_HTTP_VERSION_2_0)
    handle.setopt(pycurl.WRITEDATA, sink)
    handle.setopt(pycurl.TIMEOUT, 20)
    handle.perform()
    assert json.loads(sink.getvalue())["http_version"] == "2"
    handle.close()

    engine = native.PyEngine(http_version="h2")
    for _ in range(2):  # a reused connection stays HTTP/1.1 as well
        answer = fetch(engine, "GET", f"{http}/echo", timeout=20.0)
        assert answer.status == 200
        body = answer.json()
        assert body["http_version"] == "1.1"
        sent = {name.lower() for name, _ in body["headers"]}
        assert not sent & {"upgrade", "http2-settings"}


# -- TLS versions and their failures (openssl s_server) -----------------------

@pytest.fixture(scope="module")
def s_server(certs):
    openssl = shutil.which("openssl")
    assert openssl is not None, "the openssl command is missing (make deps installs it)"
    started = []

    def start(*options):
        port = free_port()
        cert, key = certs["good"]
        server = Spawned([openssl, "s_server", "-accept", f"127.0.0.1:{port}", "-cert", cert, "-key", key,
                          "-www", "-quiet", *options], port)
        started.append(server)
        return f"https://127.0.0.1:{port}"
    yield start
    for server in started:
        server.stop()


@pytest.mark.parametrize("options", [
    pytest.param(("-tls1_2",), id="tls1.2"),
    pytest.param(("-tls1_3",), id="tls1.3"),
])
def test_modern_versions_pass(ca_pem, s_server, options):
    answer = fetch(native.PyEngine(ca_pem=ca_pem), "GET", f"{s_server(*options)}/", timeout=20.0)
    assert answer.status == 200


@pytest.mark.parametrize("group", ["ffdhe2048", "ffdhe3072"])
def test_firefox_finite_field_groups_complete_with_openssl(ca_pem, s_server, group):
    """A TLS 1.3 server that takes one finite-field group alone: Firefox's
    profile offers it without a key share, is asked for one (HelloRetryRequest)
    and completes the exchange with OpenSSL's; Chrome's offers none of them
    and gets a clean handshake failure, no hang."""
    url = f"{s_server('-tls1_3', '-groups', group)}/"
    firefox = native.PyEngine(impersonate="firefox_153", ca_pem=ca_pem)
    assert fetch(firefox, "GET", url, timeout=20.0).status == 200
    request = request_of(native.PyEngine(impersonate="chrome_156", ca_pem=ca_pem), url)
    with pytest.raises(RuntimeError) as info:
        request.await_response()
    assert str(info.value) == "Tls (Chromium net error -113)"


@pytest.mark.parametrize("options", [
    pytest.param(("-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0"), id="tls1.1-server"),
    pytest.param(("-tls1", "-cipher", "DEFAULT:@SECLEVEL=0"), id="tls1.0-server"),
    pytest.param(("-tls1_2", "-cipher", "NULL-SHA256:@SECLEVEL=0"), id="no-common-cipher"),
])
@pytest.mark.parametrize("verify", ["ca", "off"])
def test_old_or_foreign_tls_is_a_version_or_cipher_mismatch(ca_pem, s_server, options, verify):
    engine = native.PyEngine(ca_pem=ca_pem) if verify == "ca" else native.PyEngine(verify=False)
    request = request_of(engine, f"{s_server(*options)}/")
    with pytest.raises(RuntimeError) as info:
        request.await_response()
    assert str(info.value) == "Tls (Chromium net error -113)"


def test_not_tls_at_all_stays_a_protocol_error(http):
    # hypercorn in clear text answers the ClientHello with HTTP.
    https_url = http.replace("http://", "https://")
    request = request_of(native.PyEngine(verify=False), f"{https_url}/echo")
    with pytest.raises(RuntimeError) as info:
        request.await_response()
    assert str(info.value) == "Tls (Chromium net error -107)"


# -- WebSocket messages past the unread queue's 4 MiB -------------------------

@pytest.fixture(scope="module")
def aiohttp_ws():
    server = python_server("run_aiohttp_ws.py")
    yield f"ws://127.0.0.1:{server.port}"
    server.stop()


def pattern_bytes(n):
    return (bytes(range(251)) * (n // 251 + 1))[:n]


@pytest.mark.parametrize("server", ["websockets", "aiohttp"])
@pytest.mark.parametrize("size", [4 * MIB + 1, 16 * MIB])
def test_large_echo_passes_the_queue(engine, ws, aiohttp_ws, server, size):
    url = {"websockets": ws, "aiohttp": aiohttp_ws}[server]
    socket_, _ = opened(engine, f"{url}/echo")
    data = pattern_bytes(size)
    socket_.send_bytes(data)
    socket_.send_text("after")
    kind, payload, _, _ = as_tuple(socket_.recv_message(60))
    assert kind == "binary" and len(payload) == size and payload == data
    assert as_tuple(socket_.recv_message(30))[:2] == ("text", "after")
    close_cleanly(socket_)


def test_the_core_maximum_passes_the_queue(engine, ws_plain_server):
    socket_, _ = opened(engine, f"ws://127.0.0.1:{ws_plain_server.port}/echo")
    data = pattern_bytes(CORE_MAX_MESSAGE)
    socket_.send_bytes(data)
    kind, payload, _, _ = as_tuple(socket_.recv_message(120))
    assert kind == "binary" and len(payload) == CORE_MAX_MESSAGE and payload == data
    close_cleanly(socket_)


def test_one_byte_past_the_core_maximum_fails_in_the_core(engine, ws_plain_server):
    # The Core refuses it (close code 1009): an error, not the queue's BufferLimit.
    url = f"ws://127.0.0.1:{ws_plain_server.port}/burst?count=1&size={CORE_MAX_MESSAGE + 1}"
    socket_, _ = opened(engine, url)
    event = socket_.recv_message(120)
    assert event.kind == native.WebSocketEvent.ERROR and native.failure_kinds[event.failure.kind] != "BufferLimit", event


def test_two_unread_large_messages_overflow(engine, ws_plain_server):
    url = f"ws://127.0.0.1:{ws_plain_server.port}/burst?count=2&size={4 * MIB + 1}"
    socket_ = engine.websocket(url)
    socket_.connect()
    deadline = time.monotonic() + 30
    while not socket_.is_finished():
        assert time.monotonic() < deadline
        time.sleep(0.01)
    (event,) = map(as_tuple, socket_.poll_events_bytes(10))
    assert event[:3] == ("error", b"", None) and native.failure_kinds[event[3].kind] == "BufferLimit"
    assert str(event[3]) == "BufferLimit (Chromium net error 0, response 0)"


# -- the permessage-deflate offer ---------------------------------------------

@pytest.mark.parametrize("deflate, answered", [
    (True, {"permessage-deflate"}),
    (False, set()),
    ({"client_no_context_takeover": True}, {"permessage-deflate", "client_no_context_takeover"}),
    ({"server_no_context_takeover": True, "server_max_window_bits": 10, "client_max_window_bits": 9},
     {"permessage-deflate", "server_no_context_takeover", "server_max_window_bits=10", "client_max_window_bits=9"}),
])
@pytest.mark.parametrize("server", ["websockets", "aiohttp"])
def test_deflate_offer_reaches_the_server(engine, ws, aiohttp_ws, server, deflate, answered):
    url = {"websockets": ws, "aiohttp": aiohttp_ws}[server]
    socket_, _ = opened(engine, f"{url}/extensions", deflate=deflate)
    kind, payload, _, _ = as_tuple(socket_.recv_message(10))
    assert kind == "text"
    params = {p.strip() for p in payload.split(";") if p.strip()}
    if server == "aiohttp":
        # aiohttp answers with its own window choice and names the client's
        # parameters only when it wants them itself.
        params = {p for p in params if "window_bits" not in p and not p.startswith("client_")}
        answered = {p for p in answered if "window_bits" not in p and not p.startswith("client_")}
    assert answered <= params, payload
    if not deflate:
        assert params == set()
    # Repeated, compressible messages: each side's context rules hold.
    for i in range(5):
        text = f"message {i % 2} " * 200
        socket_.send_text(text)
        assert as_tuple(socket_.recv_message(10))[:2] == ("text", text)
    close_cleanly(socket_)


@pytest.mark.parametrize("deflate", [{"client_max_window_bits": 7}, {"server_max_window_bits": 16}])
def test_deflate_offer_out_of_range_is_refused(engine, ws, deflate):
    with pytest.raises(RuntimeError, match="^InvalidArgument$"):
        engine.websocket(f"{ws}/echo", deflate=deflate)

