"""MockTransport: a handler answers instead of the network, and the
package's redirects, cookies, retries, hooks, errors and streaming behave
as they do over it; no engine is ever made."""
import asyncio
import json

import pytest

import vesper


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 20))


@pytest.fixture(autouse=True)
def no_engine(core):
    yield
    assert core.calls("hy_engine_create") == 0


def site(request):
    """A small application: a login that sets a cookie and redirects."""
    path = request.url.split("://", 1)[1].split("/", 1)[1]
    if path == "login":
        return vesper.Response(302, headers=[("Location", "/home?from=login"), ("Set-Cookie", "s=abc; Path=/")])
    if path == "post-form":
        return vesper.Response(302, headers={"Location": "/show"})
    if path == "keep":
        return vesper.Response(307, headers={"Location": "/show"})
    if path == "away":
        return vesper.Response(301, headers={"Location": "https://other.test/show"})
    if path == "loop":
        return vesper.Response(302, headers={"Location": "/loop"})
    return vesper.Response(200, json={"method": request.method, "url": request.url,
                                      "cookie": request.headers.get("cookie"),
                                      "authorization": request.headers.get("authorization"),
                                      "content-type": request.headers.get("content-type"),
                                      "body": request.content.decode()})


def client(**kwargs):
    return vesper.Client(transport=vesper.MockTransport(site), trust_env=False, **kwargs)


def test_redirect_with_a_cookie_then_sent_back():
    with client() as c:
        r = c.get("https://app.test/login")
        assert r.json()["cookie"] == "s=abc" and r.url == "https://app.test/home?from=login"
        assert [h.status_code for h in r.history] == [302] and r.history[0].url == "https://app.test/login"
        assert r.request.url == r.url and r.elapsed.total_seconds() >= 0
        # The jar keeps the cookie for later requests, beside the client's own.
        assert c.get("https://app.test/x", cookies={"own": "1"}).json()["cookie"] == "own=1; s=abc"
        assert c.get("https://elsewhere.test/x").json()["cookie"] is None


@pytest.mark.parametrize("path, method, body, content_type", [
    ("post-form", "GET", "", None),                       # 302 after POST: a GET without the body
    ("keep", "POST", "a=1", "application/x-www-form-urlencoded"),   # 307 keeps both
])
def test_redirect_method_rules(path, method, body, content_type):
    with client() as c:
        answer = c.post(f"https://app.test/{path}", data={"a": "1"}).json()
    assert (answer["method"], answer["body"], answer["content-type"]) == (method, body, content_type)


def test_cross_origin_redirect_drops_authorization():
    with client(auth=("u", "p")) as c:
        assert c.get("https://app.test/show").json()["authorization"].startswith("Basic ")
        answer = c.get("https://app.test/away").json()
    assert answer["url"] == "https://other.test/show" and answer["authorization"] is None


def test_redirect_limits():
    with client(max_redirects=3) as c:
        with pytest.raises(vesper.TooManyRedirects) as info:
            c.get("https://app.test/loop")
        assert info.value.request.url == "https://app.test/loop"
        r = c.get("https://app.test/login", follow_redirects=False)
        assert r.status_code == 302 and r.next_request.url == "https://app.test/home?from=login"
        assert r.history == [] and r.is_redirect


def test_retries_hooks_and_raise_for_status():
    answers = iter([vesper.ConnectError("refused"),
                    vesper.Response(503, headers={"Retry-After": "0"}, text="busy"),
                    vesper.Response(500, text="broken")])
    seen = []

    def handler(request):
        answer = next(answers)
        if isinstance(answer, Exception):
            raise answer
        return answer

    hooks = {"request": [lambda r: seen.append(("request", r.method))],
             "response": [lambda r: seen.append(("response", r.status_code))]}
    with vesper.Client(transport=vesper.MockTransport(handler), retries=vesper.Retry(3, backoff_factor=0),
                       event_hooks=hooks) as c:
        r = c.delete("https://app.test/item")
    assert r.status_code == 500 and r.text == "broken" and r.attempts == 3
    assert isinstance(r.retry_history[0], vesper.ConnectError)
    assert r.retry_history[0].request.url == "https://app.test/item"
    assert seen == [("request", "DELETE"), ("request", "DELETE"), ("response", 503), ("request", "DELETE"),
                    ("response", 500)]
    with pytest.raises(vesper.HTTPStatusError) as info:
        r.raise_for_status()
    assert info.value.response is r and "500" in str(info.value)


def test_streaming_reads_the_handler_iterator_as_the_caller_does():
    produced = []

    def events():
        for i in range(3):
            produced.append(i)
            yield f"id: {i}\r\ndata: {i}\r\n\r\n".encode()

    def handler(request):
        return vesper.Response(200, headers={"Content-Type": "text/event-stream"}, content=events())

    with vesper.Client(transport=vesper.MockTransport(handler)) as c:
        with c.stream("GET", "https://app.test/events") as r:
            assert produced == []
            for event in r.iter_sse():
                assert produced[-1] == int(event.id)
        assert produced == [0, 1, 2]
        with pytest.raises(vesper.StreamConsumed):
            r.read()
        assert c.get("https://app.test/events").text.count("data:") == 3


def test_async_client_with_an_async_handler_and_body():
    async def chunks():
        for piece in (b"hello ", b"world"):
            await asyncio.sleep(0)
            yield piece

    async def handler(request):
        await asyncio.sleep(0)
        if request.url.endswith("/r"):
            return vesper.Response(303, headers={"Location": "/body", "Set-Cookie": "k=v"})
        assert request.headers["cookie"] == "k=v" and request.method == "GET"
        return vesper.Response(200, content=chunks())

    async def main():
        async with vesper.AsyncClient(transport=vesper.MockTransport(handler)) as c:
            r = await c.post("https://app.test/r", content=b"x")
            async with c.stream("GET", "https://app.test/body") as s:
                pieces = [p async for p in s.aiter_bytes()]
            return r, pieces
    r, pieces = run(main())
    assert r.content == b"hello world" and [h.status_code for h in r.history] == [303]
    assert pieces == [b"hello ", b"world"]


def test_async_client_with_a_sync_handler_and_streamed_upload():
    def handler(request):
        return vesper.Response(200, content=iter([b"got ", request.content]))

    async def body():
        yield b"up"
        yield b"load"

    async def main():
        async with vesper.AsyncClient(transport=vesper.MockTransport(handler)) as c:
            return (await c.put("https://app.test/", content=body())).content
    assert run(main()) == b"got upload"


@pytest.mark.parametrize("kwargs, content, content_type", [
    ({"json": {"a": "é"}}, '{"a":"é"}'.encode(), "application/json"),
    ({"text": "héllo"}, "héllo".encode(), "text/plain; charset=utf-8"),
    ({"content": b"\x00\x01", "headers": {"Content-Type": "x/y"}}, b"\x00\x01", "x/y"),
    ({"content": "s"}, b"s", None),
    ({}, b"", None),
])
def test_response_built_by_hand(kwargs, content, content_type):
    r = vesper.Response(201, **kwargs)
    assert r.content == content and r.headers.get("content-type") == content_type
    assert r.headers["content-length"] == str(len(content)) and r.reason_phrase == "Created"
    assert r.raw_head.startswith(b"HTTP/1.1 201 Created\r\n") and r.http_version == "HTTP/1.1"
    if "json" in kwargs:
        assert r.json() == kwargs["json"]


@pytest.mark.parametrize("make, error", [
    (lambda: vesper.Response(200, text="a", json=1), TypeError),
    (lambda: vesper.Response(200, content=3), TypeError),
    (lambda: vesper.MockTransport("not callable"), TypeError),
    (lambda: vesper.Client(transport=object()), TypeError),
])
def test_bad_arguments(make, error):
    with pytest.raises(error):
        make()


def test_misuse_is_reported():
    async def async_handler(request):
        return vesper.Response(200)

    with vesper.Client(transport=vesper.MockTransport(async_handler)) as c:
        with pytest.raises(TypeError, match="AsyncClient"):
            c.get("https://app.test/")
    with vesper.Client(transport=vesper.MockTransport(lambda r: "text")) as c:
        with pytest.raises(TypeError, match="vesper.Response"):
            c.get("https://app.test/")
        with pytest.raises(TypeError, match="MockTransport"):
            c.websocket("wss://app.test/")
    c = vesper.Client(transport=vesper.MockTransport(site))
    c.close()
    with pytest.raises(RuntimeError, match="closed"):
        c.get("https://app.test/")
