"""Requests through the real Core: heads, headers, bodies, encodings, cookies."""
import hashlib
import socket
import threading

import pytest

from conftest import fetch, native
from servers.app import pattern

MIB = 1024 * 1024


def test_head_block_format(engine, http):
    answer = fetch(engine, "GET", f"{http}/status?code=204")
    assert answer.status == 204
    assert answer.head.startswith(b"HTTP/1.1 204")
    assert answer.head.endswith(b"\r\n\r\n")
    assert all(line.endswith(b"\r") or line == b"" for line in answer.head.split(b"\n")[:-1])


def test_header_order_and_duplicates(engine, http):
    headers = [("X-Zeta", "1"), ("X-Alpha", "2"), ("X-Zeta", "3")]
    sent = fetch(engine, "GET", f"{http}/echo", headers=headers).json()["headers"]
    ours = [(k, v) for k, v in sent if k.startswith("x-")]
    assert ours == [("x-zeta", "1"), ("x-alpha", "2"), ("x-zeta", "3")]


@pytest.mark.parametrize("method", ["GET", "POST", "PUT", "DELETE", "PATCH", "OPTIONS", "CUSTOM"])
def test_methods_and_bodies(engine, http, method):
    body = b"payload" * 100
    answer = fetch(engine, method, f"{http}/echo", body=body).json()
    assert answer["method"] == method
    assert answer["body_len"] == len(body)
    assert answer["body_sha256"] == hashlib.sha256(body).hexdigest()


def test_head_gets_no_body(engine, http):
    answer = fetch(engine, "HEAD", f"{http}/bytes?n=5000")
    assert answer.status == 200 and answer.body == b""


@pytest.mark.parametrize("size", [0, 1, 65535, 3 * MIB + 7])
@pytest.mark.parametrize("chunked", ["0", "1"])
def test_bodies(engine, http, size, chunked):
    answer = fetch(engine, "GET", f"{http}/bytes?n={size}&chunked={chunked}")
    assert answer.body == pattern(size)


@pytest.mark.timeout(300)
def test_large_body_with_checksum(engine, http):
    size = 256 * MIB
    request = engine.request("GET", f"{http}/bytes?n={size}&chunk=262144")
    request.start()
    request.await_response()
    digest = hashlib.sha256()
    received = 0
    while (chunk := request.next_body()) is not None:
        data = bytes(chunk)
        digest.update(data)
        received += len(data)
    assert received == size
    expected = hashlib.sha256()
    for offset in range(0, size, MIB):
        expected.update(pattern(MIB, offset))
    assert digest.hexdigest() == expected.hexdigest()


def test_slow_reader_pauses_without_loss(engine, http):
    size = 8 * MIB
    request = engine.request("GET", f"{http}/bytes?n={size}")
    request.start()
    request.await_response()
    import time
    time.sleep(0.5)  # the Core fills 1 MiB and pauses meanwhile
    body = bytes(request.read_body())
    assert body == pattern(size)


@pytest.mark.parametrize("coding", ["gzip", "deflate", "br", "zstd"])
def test_content_decoding(engine, http, coding):
    answer = fetch(engine, "GET", f"{http}/encoded?n=200000&coding={coding}")
    assert answer.body == pattern(200000)


def test_caller_accept_encoding_gets_raw_bytes(engine, http):
    answer = fetch(engine, "GET", f"{http}/encoded?n=1000&coding=gzip", headers=[("Accept-Encoding", "gzip")])
    import gzip
    assert gzip.decompress(answer.body) == pattern(1000)


def test_cookies_across_requests(engine, http):
    fetch(engine, "GET", f"{http}/cookies/set?flavour=oat&size=big")
    headers = fetch(engine, "GET", f"{http}/cookies").json()["headers"]
    cookie = "; ".join(v for k, v in headers if k == "cookie")
    assert "flavour=oat" in cookie and "size=big" in cookie
    other = native.PyEngine()
    assert not [v for k, v in fetch(other, "GET", f"{http}/cookies").json()["headers"] if k == "cookie"]


def test_engine_options_on_the_wire(http):
    engine = native.PyEngine(user_agent="vesper-test/1", accept_language="fr-CH")
    headers = dict(fetch(engine, "GET", f"{http}/echo").json()["headers"])
    assert headers["user-agent"] == "vesper-test/1"
    assert headers["accept-language"] == "fr-CH"


def test_timeout(engine, http):
    request = engine.request("GET", f"{http}/slow?delay=10", timeout=0.5)
    request.start()
    with pytest.raises(RuntimeError) as info:
        request.await_response()
    assert str(info.value) == "Timeout (Chromium net error -7)"


@pytest.fixture
def unanswered_listener():
    """A listening socket that never accepts, with its backlog filled: the
    kernel drops further SYNs, so a connect to it stays pending."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    fillers = []
    for _ in range(4):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(listener.getsockname())
        fillers.append(s)
    yield listener.getsockname()[1]
    for s in fillers + [listener]:
        s.close()


def test_timeout_while_connecting_is_a_connect_timeout(engine, unanswered_listener):
    request = engine.request("GET", f"http://127.0.0.1:{unanswered_listener}/", timeout=0.5)
    request.start()
    with pytest.raises(RuntimeError) as info:
        request.await_response(timeout=10)
    assert str(info.value) == "Timeout (Chromium net error -118)"


def test_timeout_after_connecting_is_not(engine):
    """Connected, TLS handshake unanswered: the connection was made, so the
    request's timeout is the plain one."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    try:
        request = engine.request("GET", f"https://127.0.0.1:{listener.getsockname()[1]}/", timeout=0.5)
        request.start()
        with pytest.raises(RuntimeError) as info:
            request.await_response(timeout=10)
        assert str(info.value) == "Timeout (Chromium net error -7)"
    finally:
        listener.close()


def test_connection_refused(engine):
    request = engine.request("GET", "http://127.0.0.1:9/")
    request.start()
    with pytest.raises(RuntimeError, match=r"^Network \(Chromium net error -102\)$"):
        request.await_response()


def test_cancel_mid_body_from_another_thread(engine, http):
    request = engine.request("GET", f"{http}/drip?n=100&interval=0.05")
    request.start()
    request.await_response()
    threading.Timer(0.2, request.cancel).start()
    with pytest.raises(RuntimeError) as info:
        request.read_body()
    assert str(info.value) == "Canceled (Chromium net error -3)"


def test_engine_released_while_requests_run(http):
    engine = native.PyEngine()
    requests = [engine.request("GET", f"{http}/bytes?n=300000") for _ in range(5)]
    for request in requests:
        request.start()
    del engine
    for request in requests:
        request.await_response()
        assert bytes(request.read_body()) == pattern(300000)


def test_release_of_a_running_request(engine, http):
    for _ in range(20):
        request = engine.request("GET", f"{http}/drip?n=50&interval=0.05")
        request.start()
        del request
    assert fetch(engine, "GET", f"{http}/status?code=200").status == 200


@pytest.mark.timeout(120)
def test_200_concurrent_requests(engine, http):
    requests = [engine.request("GET", f"{http}/bytes?n={1000 + i}") for i in range(200)]
    for request in requests:
        request.start()
    for i, request in enumerate(requests):
        assert request.await_response().status_code == 200
        assert bytes(request.read_body()) == pattern(1000 + i)


@pytest.mark.parametrize("own, jar, expected", [
    ([("Cookie", "own=1")], True, ["jar=2; own=1"]),
    ([("Cookie", "own=1"), ("cookie", "two=3")], True, ["jar=2; own=1; two=3"]),
    ([("Cookie", "own=1")], False, ["own=1"]),
    ([], True, ["jar=2"]),
])
def test_a_callers_cookie_header_joins_the_jars_line(engine, http, own, jar, expected):
    # Servers read one Cookie line: the caller's own cookies go on the
    # jar's line instead of a second one.
    if jar:
        fetch(engine, "GET", f"{http}/cookies/set?jar=2")
    headers = fetch(engine, "GET", f"{http}/echo", headers=own).json()["headers"]
    assert [v for k, v in headers if k == "cookie"] == expected


def test_spaces_and_browser_escaped_characters_are_percent_encoded(engine, http):
    # The Core encodes what browsers encode (the package does too, before it).
    answer = fetch(engine, "GET", f"{http}/echo?q=a b&r=<x>'^").json()
    assert answer["query"] == "q=a%20b&r=%3Cx%3E%27^"
    with pytest.raises(RuntimeError, match="InvalidArgument"):
        engine.request("GET", f" {http}/echo")
