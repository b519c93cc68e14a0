"""What the package hands the Core for each kind of request argument, and
what it refuses before anything is created."""
import asyncio
import base64
import json
import threading
import time

import pytest

import vesper

from conftest import Driver, answer, sent


def send(core, client, method="GET", url="http://x/p", **kwargs):
    driver = Driver(core, answer(200, b"ok"))
    response = client.request(method, url, **kwargs)
    driver.join()
    assert response.content == b"ok"
    return sent(core)


@pytest.mark.parametrize("params, query", [
    ({"a": "1", "b": ["x", "y"]}, "a=1&b=x&b=y"),
    ([("a", "1"), ("a", "2")], "a=1&a=2"),
    ({"s": "x y&z/é", "t": True, "n": None, "i": 3}, "s=x+y%26z%2F%C3%A9&t=true&n=&i=3"),
])
def test_params_encoding(core, client, params, query):
    _, url, _, _, _ = send(core, client, url="http://x/p?k=0", params=params)
    assert url == "http://x/p?k=0&" + query


def test_headers_keep_order_and_duplicates_and_override_defaults(core):
    with vesper.Client(trust_env=False, headers={"X-A": "default", "X-B": "kept"}) as client:
        _, _, headers, _, _ = send(core, client, headers=[("x-a", "1"), ("X-C", "2"), ("x-a", "3")])
    assert headers == [("X-B", "kept"), ("x-a", "1"), ("X-C", "2"), ("x-a", "3")]


@pytest.mark.parametrize("kwargs, content_type, body", [
    ({"json": {"a": [1, 2], "é": None}}, "application/json", json.dumps({"a": [1, 2], "é": None},
                                                                      separators=(",", ":"), ensure_ascii=False).encode()),
    ({"data": {"a": "1 2", "b": ["x", "y"]}}, "application/x-www-form-urlencoded", b"a=1+2&b=x&b=y"),
    ({"content": "text é"}, None, "text é".encode()),
    ({"content": b""}, None, None),
])
def test_bodies(core, client, kwargs, content_type, body):
    _, _, headers, sent_body, record = send(core, client, "POST", **kwargs)
    assert [v for k, v in headers if k.lower() == "content-type"] == ([content_type] if content_type else [])
    assert sent_body == body
    assert record["body_kind"] == 1


def test_json_content_type_given_by_the_caller_wins(core, client):
    _, _, headers, _, _ = send(core, client, "POST", json={}, headers={"Content-Type": "application/vnd+json"})
    assert [v for k, v in headers if k.lower() == "content-type"] == ["application/vnd+json"]


def test_streamed_bodies_go_through_upload_write(core, client):
    pieces = [b"a" * 10, b"", b"b" * 5]
    _, _, _, _, record = send(core, client, "POST", content=iter(pieces))
    assert record["body_kind"] == 2
    uploads = core.records("upload")
    assert [bytes.fromhex(u["data"]["hex"]) for u in uploads if not u["data"]["null"]][:2] == [b"a" * 10, b"b" * 5]


def test_auth_cookies_timeout_cache_priority(core):
    with vesper.Client(trust_env=False, cookies={"c1": "v1"}, timeout=vesper.Timeout(5, total=2.5)) as client:
        _, _, headers, _, record = send(core, client, auth=("user", "pä:ss"), cookies={"c2": "v2"},
                                        cache_mode="no_store", priority="low")
    expected = "Basic " + base64.b64encode("user:pä:ss".encode()).decode()
    assert ("Authorization", expected) in headers
    assert ("Cookie", "c1=v1; c2=v2") in headers
    assert record["timeout_ms"] == 2500
    assert (record["cache_mode"], record["priority"]) == (3, 3)


def test_base_url_joins_relative_paths(core):
    with vesper.Client(trust_env=False, base_url="http://x/api/v1/") as client:
        _, url, _, _, _ = send(core, client, url="items")
    assert url == "http://x/api/v1/items"


@pytest.mark.parametrize("url, kwargs, error", [
    ("ftp://x/", {}, vesper.UnsupportedProtocol),
    ("x/y", {}, vesper.InvalidURL),
    ("http://x:99999/", {}, vesper.InvalidURL),
    ("http:///path", {}, vesper.InvalidURL),
    ("http://x/", {"json": {}, "content": b"a"}, TypeError),
    ("http://x/", {"data": {"a": 1}, "json": {}}, TypeError),
    ("http://x/", {"content": 12}, TypeError),
    ("http://x/", {"headers": {"a": 1}}, TypeError),
    ("http://x/", {"priority": "urgent"}, ValueError),
    ("http://x/", {"cache_mode": "fast"}, ValueError),
    ("http://x/", {"auth": "token"}, TypeError),
    ("http://x/", {"timeout": "5"}, TypeError),
    ("http://x/", {"timeout": -1}, ValueError),
])
def test_bad_input_is_refused_before_the_core_sees_it(core, client, url, kwargs, error):
    with pytest.raises(error):
        client.get(url, **kwargs)
    assert core.calls("hy_request_create") == 0


def test_module_level_functions_use_a_throw_away_client(core):
    driver = Driver(core, answer(201, b'{"x": 1}', ["Content-Type: application/json"]))
    response = vesper.post("http://x/", json={"a": 1}, trust_env=False)
    driver.join()
    assert response.status_code == 201 and response.json() == {"x": 1}
    assert core.calls("hy_engine_create") == 1


def test_retries_only_connection_failures(core, monkeypatch):
    monkeypatch.setattr("vesper._retry.Retry.backoff", lambda self, n: 0.0)

    def refuse_then_answer(core, ident):
        if core.calls("hy_request_start") < 3:
            core.complete(ident, 8, -102)
        else:
            answer(200, b"ok")(core, ident)

    with vesper.Client(trust_env=False, retries=2) as client:
        driver = Driver(core, refuse_then_answer, count=3)
        assert client.get("http://x/").content == b"ok"
        driver.join()
        driver = Driver(core, lambda c, i: c.complete(i, 8, -100))
        with pytest.raises(vesper.ReadError):
            client.get("http://x/")
        driver.join()
    assert core.calls("hy_request_start") == 4


def test_read_timeout_cancels_the_request(core, client, package_waits):
    with pytest.raises(vesper.ReadTimeout):
        client.get("http://x/", timeout=0.1)
    assert core.calls("hy_request_cancel") == 1


def test_closed_client_refuses_requests(core):
    client = vesper.Client(trust_env=False)
    client.close()
    with pytest.raises(RuntimeError):
        client.get("http://x/")


def test_close_cancels_open_streams(core):
    def act(core, ident):
        core.response(ident, 200, b"HTTP/1.1 200 OK\r\n\r\n")
        core.data(ident, b"part")
    client = vesper.Client(trust_env=False)
    driver = Driver(core, act)
    response = client.send(client.build_request("GET", "http://x/"), stream=True)
    driver.join()
    client.close()
    assert core.calls("hy_request_cancel") == 1
    assert client.is_closed
    with pytest.raises(RuntimeError):
        client.get("http://x/")
    del response


def _part_then_wait_for_cancel(core, ident):
    core.response(ident, 200, b"HTTP/1.1 200 OK\r\n\r\n")
    core.data(ident, b"part")
    deadline = time.monotonic() + 10
    while not core.calls("hy_request_cancel"):
        assert time.monotonic() < deadline, "closing the client did not cancel the read"
        time.sleep(0.005)
    core.complete(ident, 7, -3)  # canceled


def test_close_from_another_thread_cancels_a_body_read_inside_get(core):
    # get() reads a whole body before it returns; a close() meanwhile
    # cancels that read as it cancels an open stream.
    client = vesper.Client(trust_env=False, timeout=20)
    driver = Driver(core, _part_then_wait_for_cancel)
    closer = threading.Timer(0.2, client.close)
    closer.start()
    started = time.monotonic()
    with pytest.raises(vesper.RequestCancelled):
        client.get("http://x/")
    closer.join()
    driver.join()
    assert time.monotonic() - started < 10
    assert core.calls("hy_request_cancel") >= 1 and client.is_closed


@pytest.mark.parametrize("streamed", [False, True], ids=["get", "aiter_bytes"])
def test_aclose_from_another_task_fails_the_body_read_not_truncates_it(core, streamed):
    # What came before the close is not the whole body: the reader gets
    # RequestCancelled, never "part" as if it were complete.
    async def read(client):
        if not streamed:
            return (await client.get("http://x/")).content
        async with client.stream("GET", "http://x/") as response:
            return b"".join([piece async for piece in response.aiter_bytes()])

    async def main():
        client = vesper.AsyncClient(trust_env=False, timeout=20)
        reader = asyncio.ensure_future(read(client))
        await asyncio.sleep(0.2)
        await client.aclose()
        with pytest.raises(vesper.RequestCancelled):
            await reader

    driver = Driver(core, _part_then_wait_for_cancel)
    asyncio.run(asyncio.wait_for(main(), 20))
    driver.join()
    assert core.calls("hy_request_cancel") >= 1


def _breaking_body():
    yield b"a" * 10
    raise ValueError("the body broke")


@pytest.mark.parametrize("asynchronous", [False, True], ids=["Client", "AsyncClient"])
def test_a_body_that_fails_midway_cancels_the_request(core, client, asynchronous):
    if not asynchronous:
        with pytest.raises(ValueError, match="the body broke"):
            client.post("http://x/", content=_breaking_body())
    else:
        async def main():
            async with vesper.AsyncClient(trust_env=False, timeout=5) as async_client:
                with pytest.raises(ValueError, match="the body broke"):
                    await async_client.post("http://x/", content=_breaking_body())
        asyncio.run(asyncio.wait_for(main(), 20))
    assert core.calls("hy_request_start") == 1 and core.calls("hy_request_cancel") == 1
