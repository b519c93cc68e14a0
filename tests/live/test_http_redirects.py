"""Redirects handled by the Core: follow, manual, error, and the browser rules."""
import json
import urllib.parse

import pytest

from conftest import fetch


def to(base, target, status=302):
    return f"{base}/redirect?status={status}&to={urllib.parse.quote(target, safe='')}"


def test_follow_reports_each_hop(engine, http):
    request = engine.request("GET", f"{http}/redirect-chain?n=3")
    request.start()
    response = request.await_response()
    assert response.status_code == 200 and bytes(request.read_body()) == b"end of chain"
    hops = request.take_redirects()
    assert [h[0] for h in hops] == [302, 302, 302]
    assert hops[0][2] == f"{http}/redirect-chain?n=2" and hops[0][3] == "GET"
    assert bytes(hops[0][1]).startswith(b"HTTP/1.1 302")


def test_too_many_redirects(engine, http):
    request = engine.request("GET", f"{http}/redirect-chain?n=21")
    request.start()
    with pytest.raises(RuntimeError, match=r"^Redirect \(Chromium net error -310\)$"):
        request.await_response()
    assert len(request.take_redirects()) == 20


def test_twenty_hops_are_fine(engine, http):
    assert fetch(engine, "GET", f"{http}/redirect-chain?n=20").status == 200


def test_error_mode(engine, http):
    request = engine.request("GET", to(http, "/echo"), redirect="error")
    request.start()
    with pytest.raises(RuntimeError, match=r"^Redirect \(Chromium net error -2\)$"):
        request.await_response()


def test_manual_mode(engine, http):
    request = engine.request("GET", f"{http}/redirect-chain?n=2", allow_redirects=False)
    request.start()
    seen = []
    while True:
        redirect, head = request.wait_manual(10)
        if head is not None:
            break
        assert redirect is not None, "timed out"
        seen.append(redirect[2])
        request.follow_redirect()
    assert head[0] == 200
    assert seen == [f"{http}/redirect-chain?n=1", f"{http}/redirect-chain?n=0"]
    assert bytes(request.read_body()) == b"end of chain"


def test_manual_mode_cancel(engine, http):
    request = engine.request("GET", to(http, "/echo"), redirect="manual")
    request.start()
    redirect, _ = request.wait_manual(10)
    assert redirect[0] == 302
    request.cancel()
    # The Core ends the request; redirect waits report it by its kind.
    with pytest.raises(RuntimeError, match="^Canceled$"):
        request.wait_redirect(10)
    assert request.is_finished() is True


@pytest.mark.parametrize("status, method, next_method, keeps_body", [
    (301, "POST", "GET", False), (302, "POST", "GET", False), (303, "POST", "GET", False),
    (303, "PUT", "GET", False), (303, "HEAD", "HEAD", False), (307, "POST", "POST", True),
    (308, "PUT", "PUT", True), (302, "PUT", "PUT", True),
])
def test_method_rules(engine, http, status, method, next_method, keeps_body):
    body = b"the body"
    request = engine.request(method, to(http, "/echo", status), body=body)
    request.start()
    request.await_response()
    hop = request.take_redirects()[0]
    assert hop[3] == next_method
    data = bytes(request.read_body())
    if method == "HEAD":
        assert data == b""
        return
    echoed = json.loads(data)
    assert echoed["method"] == next_method
    assert echoed["body_len"] == (len(body) if keeps_body else 0)


def test_streamed_body_cannot_be_replayed(engine, http):
    request = engine.request("POST", to(http, "/echo", 307), chunked=True)
    request.start()
    request.upload_write(b"data", True)
    with pytest.raises(RuntimeError, match=r"^Redirect \(Chromium net error -25\)$"):
        request.await_response()


def test_authorization_dropped_across_origins(engine, http, second_http_server):
    other = f"http://127.0.0.1:{second_http_server.port}/echo"
    auth = [("Authorization", "Bearer secret")]
    same = fetch(engine, "GET", to(http, "/echo"), headers=auth).json()["headers"]
    cross = fetch(engine, "GET", to(http, other), headers=auth).json()["headers"]
    assert ("authorization", "Bearer secret") in [tuple(h) for h in same]
    assert "authorization" not in [h[0] for h in cross]


@pytest.mark.parametrize("target, net_error", [("ftp://127.0.0.1/x", -311), ("http://[::1", -303)])
def test_bad_targets(engine, http, target, net_error):
    request = engine.request("GET", to(http, target))
    request.start()
    with pytest.raises(RuntimeError, match=rf"\(Chromium net error {net_error}\)$"):
        request.await_response()


def test_relative_target_is_made_absolute(engine, http):
    request = engine.request("GET", to(http, "/echo?x=1"))
    request.start()
    request.await_response()
    assert request.take_redirects()[0][2] == f"{http}/echo?x=1"
    assert json.loads(bytes(request.read_body()))["query"] == "x=1"
