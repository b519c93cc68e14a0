"""Bodies whose size is known go out with it; a caller's Content-Length is
checked against the body; the async WebSocket opener works with and
without await; vesper.stream."""
import asyncio
import io
import os

import pytest

import vesper

from conftest import Driver, answer, sent
from vesper._native import core_has
from test_websocket_wrappers import chat, on_connect


def prepared(client, **kwargs):
    return client.build_request("POST", "http://x/", **kwargs)


@pytest.fixture
def disk_file(tmp_path):
    path = tmp_path / "body.bin"
    path.write_bytes(b"z" * 70000)
    with open(path, "rb") as handle:
        handle.read(1000)  # a file part-read: only what is left is sent
        yield handle


def pipe_reader():
    read_end, write_end = os.pipe()
    os.write(write_end, b"abc")
    os.close(write_end)
    return os.fdopen(read_end, "rb")


@pytest.mark.parametrize("make, length", [
    (lambda f: {"content": f}, 69000),
    (lambda f: {"content": io.BytesIO(b"12345")}, 5),
    (lambda f: {"files": {"a": f, "b": ("b.txt", b"xy", "text/plain")}, "data": {"k": "v"}}, None),  # computed
    (lambda f: {"content": iter([b"a"])}, None),
    (lambda f: {"files": {"a": iter([b"a"])}}, "TypeError"),
])
def test_length_of_streamed_bodies(client, disk_file, make, length):
    if length == "TypeError":
        with pytest.raises(TypeError):
            prepared(client, **make(disk_file))
        return
    request = prepared(client, **make(disk_file))
    if "files" in make(disk_file):
        body = b"".join(request.body)
        assert request.upload_length == len(body) and len(body) > 69000
    else:
        assert request.upload_length == length
    assert "content-length" not in request.request.headers


def test_a_pipe_has_no_known_length(client):
    with pipe_reader() as reader:
        assert prepared(client, content=reader).upload_length is None


@pytest.mark.parametrize("kwargs, given, refused", [
    ({"content": b"abc"}, "3", None),
    ({"content": bytearray(b"abcd")}, "3", "Content-Length is 3 but the body has 4 bytes"),
    ({"json": {"a": 1}}, "99", "Content-Length is 99 but the body has 7 bytes"),
    ({}, "0", None),
    ({}, "12", "Content-Length is 12 but the body has 0 bytes"),
    ({"content": io.BytesIO(b"12345")}, "5", None),
    ({"content": io.BytesIO(b"12345")}, "6", "Content-Length is 6 but the body has 5 bytes"),
    ({"content": b"abc"}, "three", "one whole number"),
])
def test_caller_content_length(client, kwargs, given, refused):
    if refused:
        with pytest.raises(vesper.InvalidHeader, match=refused):
            prepared(client, headers={"Content-Length": given}, **kwargs)
        return
    request = prepared(client, headers={"Content-Length": given}, **kwargs)
    # The Core writes the header from the body (or the declared length).
    assert "content-length" not in request.request.headers


def test_bytes_like_bodies_go_whole_without_chunks(core, client):
    driver = Driver(core, answer(200, b"ok"))
    client.post("http://x/", content=bytearray(b"abc"), headers={"Content-Length": "3"})
    driver.join()
    _, _, headers, body, record = sent(core)
    assert (record["body_kind"], body) == (1, b"abc")
    assert not [h for h in headers if h[0].lower() in ("content-length", "transfer-encoding")]


def test_async_websocket_opens_with_and_without_await(core):
    async def main():
        async with vesper.AsyncClient(trust_env=False, timeout=5) as client:
            join = on_connect(core, chat)
            async with client.websocket("ws://x/") as ws:
                first = await ws.recv(timeout=5)
            join()
            join = on_connect(core, chat)
            async with await client.websocket("ws://x/") as ws2:
                second = await ws2.recv(timeout=5)
            join()
            opener = client.websocket("ws://x/")
            del opener  # never awaited: nothing was created, no warning
            return first, second
    assert asyncio.run(asyncio.wait_for(main(), 20)) == ("héllo", "héllo")
    assert core.calls("hy_websocket_create") == 2


def test_top_level_stream(core):
    driver = Driver(core, answer(200, b"streamed body"))
    with vesper.stream("GET", "http://x/s", trust_env=False) as response:
        assert not response.is_closed
        assert b"".join(response.iter_bytes(4)) == b"streamed body"
    driver.join()
    assert response.is_closed
    assert core.calls("hy_engine_release") == core.calls("hy_engine_create") == 1


@pytest.mark.skipif(not core_has("hy_request_set_upload_length"), reason="the Core takes no upload length")
@pytest.mark.parametrize("content, length", [(io.BytesIO(b"x" * 70000), 70000), (iter([b"abc"]), None)])
def test_the_length_of_a_sized_stream_reaches_the_core(core, client, content, length):
    driver = Driver(core, answer(200, b"ok"))
    client.post("http://x/", content=content)
    driver.join()
    lengths = core.records("upload_length")
    assert [r["length"] for r in lengths] == ([length] if length is not None else [])
    assert sent(core)[4]["body_kind"] == 2


@pytest.mark.skipif(not core_has("hy_request_set_max_redirects"), reason="the Core takes no redirect limit")
@pytest.mark.parametrize("limit, told", [(30, [30]), (20, []), (5, [])])
def test_a_redirect_limit_past_twenty_reaches_the_core(core, client, limit, told):
    driver = Driver(core, answer(200, b"ok"))
    client.get("http://x/", max_redirects=limit)
    driver.join()
    assert [r["limit"] for r in core.records("max_redirects")] == told
    # Past 20 the Core follows; below, the package walks the hops itself.
    assert sent(core)[4]["redirect_mode"] == (0 if limit >= 20 else 1)


@pytest.mark.skipif(not core_has("hy_request_from_cache"), reason="the Core cannot tell")
def test_from_cache_is_the_cores_answer(core):
    def cached(core, ident):
        core.set_from_cache(ident)
        answer(200, b"kept")(core, ident)
    with vesper.Client(trust_env=False, cache=True, timeout=5) as client:
        driver = Driver(core, cached)
        assert client.get("http://x/").from_cache is True
        driver.join()
