"""Headers multi-mapping, head parsing, redirect history and body decoding."""
import asyncio
import datetime

import pytest

import vesper
from vesper._headers import parse_head

from conftest import Driver, head


# --- Headers ----------------------------------------------------------------

def test_headers_multimap():
    h = vesper.Headers([("Set-Cookie", "a=1"), ("content-type", "text/plain"), ("set-cookie", "b=2")])
    assert h["SET-COOKIE"] == "a=1, b=2" and h.get_list("Set-Cookie") == ["a=1", "b=2"]
    assert list(h) == ["set-cookie", "content-type"] and len(h) == 2 and "Content-Type" in h
    h["Set-Cookie"] = "c=3"
    assert h.multi_items() == [("Set-Cookie", "c=3"), ("content-type", "text/plain")]
    h.add("X", "1")
    h.add("x", "2")
    del h["CONTENT-TYPE"]
    assert h.multi_items() == [("Set-Cookie", "c=3"), ("X", "1"), ("x", "2")]
    assert h == [("set-cookie", "c=3"), ("x", "1"), ("X", "2")] and h != [("x", "1")]
    with pytest.raises(KeyError):
        del h["missing"]
    with pytest.raises(TypeError):
        vesper.Headers({"a": 1})


def test_merged_replaces_names_given_again():
    base = vesper.Headers([("A", "1"), ("B", "2"), ("a", "3")])
    assert base.merged({"a": "x"}).multi_items() == [("B", "2"), ("a", "x")]


@pytest.mark.parametrize("block, version, status, reason, items", [
    (b"HTTP/1.1 404 Not Found\r\nA: 1\r\na: 2\r\n\r\n", "HTTP/1.1", 404, "Not Found", [("A", "1"), ("a", "2")]),
    (b"HTTP/2 200\r\ncontent-type: x\r\n\r\n", "HTTP/2", 200, "", [("content-type", "x")]),
    (b"HTTP/1.1 200 OK\r\nX: one\r\n  two\r\nY:\r\n\r\n", "HTTP/1.1", 200, "OK", [("X", "one two"), ("Y", "")]),
    (b"HTTP/1.0 200 All Good Here\r\nV: \xe9\r\n\r\n", "HTTP/1.0", 200, "All Good Here", [("V", "\xe9")]),
])
def test_parse_head(block, version, status, reason, items):
    got_version, got_status, got_reason, headers = parse_head(block)
    assert (got_version, got_status, got_reason, headers.multi_items()) == (version, status, reason, items)


# --- history ------------------------------------------------------------------

def hops(*records, final=b"done"):
    def act(core, ident):
        for status, location, method in records:
            core.redirect(ident, status, head(status, f"Location: {location}", "Set-Cookie: s=1"),
                          location.encode(), method.encode())
        core.response(ident, 200, head(200))
        core.data(ident, final)
        core.complete(ident)
    return act


def test_history_from_core_followed_redirects(core, client):
    driver = Driver(core, hops((301, "http://b/", "GET"), (307, "https://c/x", "GET")))
    response = client.post("http://a/", content=b"x")
    driver.join()
    assert [(h.status_code, h.request.method, h.url) for h in response.history] == [
        (301, "POST", "http://a/"), (307, "GET", "http://b/")]
    assert response.history[0].headers["location"] == "http://b/"
    assert response.history[0].cookies == {"s": "1"}
    assert (response.url, response.request.method, response.content) == ("https://c/x", "GET", b"done")


def get(client, asynchronous, url, **kwargs):
    """client.get, or the same through a fresh AsyncClient."""
    if not asynchronous:
        return client.get(url, **kwargs)

    async def main():
        async with vesper.AsyncClient(trust_env=False, timeout=5) as async_client:
            return await async_client.get(url, **kwargs)
    return asyncio.run(asyncio.wait_for(main(), 20))


def manual_walk(steps):
    """An action answering with the redirects ``steps`` one by one, each once
    the package followed the one before; it ends when the package cancels."""
    def act(core, ident):
        assert core.record("request")["redirect_mode"] == 1
        for n, (status, location) in enumerate(steps):
            core.redirect(ident, status, head(status, f"Location: {location}"), location.encode(), b"GET")
            deadline = __import__("time").monotonic() + 5
            while core.calls("hy_request_follow_redirect") <= n:
                if core.calls("hy_request_cancel"):
                    return
                assert __import__("time").monotonic() < deadline, "the package neither followed nor cancelled"
                __import__("time").sleep(0.001)
        core.response(ident, 200, head(200))
        core.complete(ident)
    return act


def walk_in_manual_mode(core, client, steps, asynchronous=False, **kwargs):
    """The package walks redirects itself (redirect mode manual)."""
    driver = Driver(core, manual_walk(steps))
    try:
        return get(client, asynchronous, "http://a/", **kwargs)
    finally:
        driver.join()


@pytest.mark.parametrize("asynchronous", [False, True], ids=["Client", "AsyncClient"])
def test_max_redirects_below_the_core_limit(core, client, asynchronous):
    steps = [(302, "http://b/"), (302, "http://c/")]
    response = walk_in_manual_mode(core, client, steps, asynchronous, max_redirects=2)
    assert response.status_code == 200 and [h.url for h in response.history] == ["http://a/", "http://b/"]
    assert response.url == "http://c/"
    with pytest.raises(vesper.TooManyRedirects):
        walk_in_manual_mode(core, client, steps, asynchronous, max_redirects=1)


@pytest.mark.parametrize("asynchronous", [False, True], ids=["Client", "AsyncClient"])
def test_not_following_returns_the_3xx(core, client, asynchronous):
    response = walk_in_manual_mode(core, client, [(303, "http://b/")], asynchronous, follow_redirects=False)
    assert response.status_code == 303 and response.is_redirect and response.history == []
    assert response.next_request.url == "http://b/"
    assert core.calls("hy_request_follow_redirect") == 0


def _seen(hop):
    return hop.status_code, hop.url, hop.location, [h.url for h in hop.response.history]


def walk(client, asynchronous, follows):
    """Walks from http://a/ following the first ``follows`` hops; (hops seen, walk)."""
    seen = []
    if not asynchronous:
        with client.walk_redirects("GET", "http://a/") as steps:
            for hop in steps:
                seen.append((_seen(hop), hop))
                if len(seen) <= follows:
                    hop.follow()
        return seen, steps

    async def main():
        async with vesper.AsyncClient(trust_env=False, timeout=5) as async_client:
            async with async_client.walk_redirects("GET", "http://a/") as steps:
                async for hop in steps:
                    seen.append((_seen(hop), hop))
                    if len(seen) <= follows:
                        hop.follow()
            return seen, steps
    return asyncio.run(asyncio.wait_for(main(), 20))


@pytest.mark.parametrize("asynchronous", [False, True], ids=["RedirectWalk", "AsyncRedirectWalk"])
@pytest.mark.parametrize("follows, status, url, history", [
    (2, 200, "http://c/", ["http://a/", "http://b/"]),
    (1, 307, "http://b/", ["http://a/"]),
])
def test_walk_hops_and_where_it_ends(core, client, asynchronous, follows, status, url, history):
    driver = Driver(core, manual_walk([(302, "http://b/"), (307, "http://c/")]))
    try:
        seen, steps = walk(client, asynchronous, follows)
    finally:
        driver.join()
    assert [s for s, _hop in seen] == [(302, "http://a/", "http://b/", []),
                                       (307, "http://b/", "http://c/", ["http://a/"])]
    response = steps.response
    assert (response.status_code, response.url, [h.url for h in response.history]) == (status, url, history)
    assert response.elapsed is not None
    assert core.calls("hy_request_follow_redirect") == follows
    assert core.calls("hy_request_cancel") == (follows < 2)
    last = seen[-1][1]
    if not last.followed:
        with pytest.raises(RuntimeError):
            last.follow()


def test_async_history(core):
    async def main():
        async with vesper.AsyncClient(trust_env=False, timeout=5) as client:
            driver = Driver(core, hops((302, "http://b/", "GET")))
            try:
                return await client.post("http://a/", json={})
            finally:
                driver.join()
    response = asyncio.run(asyncio.wait_for(main(), 20))
    assert [h.request.method for h in response.history] == ["POST"] and response.url == "http://b/"


# --- bodies and encodings -------------------------------------------------------

def fetched(core, client, lines, *chunks, stream=False):
    def act(core, ident):
        core.response(ident, 200, head(200, *lines))
        for chunk in chunks:
            core.data(ident, chunk)
        core.complete(ident)
    driver = Driver(core, act)
    if stream:
        return driver, client.stream("GET", "http://x/")
    response = client.get("http://x/")
    driver.join()
    return response


@pytest.mark.parametrize("lines, body, encoding, text", [
    (["Content-Type: text/plain; charset=iso-8859-1"], "é".encode("latin-1"), "iso8859-1", "é"),
    (["Content-Type: text/plain; charset=\"UTF-8\""], "ü".encode(), "utf-8", "ü"),
    (["Content-Type: text/plain"], "naïve ☃".encode(), "utf-8", "naïve ☃"),
    (["Content-Type: text/plain; charset=bogus"], b"abc", "utf-8", "abc"),
])
def test_text_encoding(core, client, lines, body, encoding, text):
    response = fetched(core, client, lines, body)
    assert response.encoding == encoding and response.text == text


def test_non_utf8_without_charset_is_guessed_not_mangled(core, client):
    sample = ("Le cœur déçu mais l'âme plutôt naïve, Louÿs rêva de crapaüter en canoë au delà des "
              "îles, près du mälström où brûlent les novæ.").encode("cp1252")
    response = fetched(core, client, [], sample)
    assert response.encoding != "utf-8" and "déçu" in response.text


async def _collect(pieces):
    return [piece async for piece in pieces]

# (how, chunks delivered, what the iterator gives): each way is read blocking and through asyncio.
STREAMED = [
    ("lines", [b"one\r", b"\ntw", "o ☃".encode()[:-1], "☃".encode()[-1:] + b"\nthree"], ["one", "two ☃", "three"]),
    ("lines", [b"a\r"], ["a"]),
    ("lines", [b"a\n", b"\nb\n"], ["a", "", "b"]),
    ("text", [b"\xe2\x98", b"\x83!"], ["☃!"]),
    ("bytes4", [b"abcde", b"fg", b"hijklmnop"], [b"abcd", b"efgh", b"ijkl", b"mnop"]),
    ("bytes4", [b"abcdef"], [b"abcd", b"ef"]),
    ("bytes", [b"ab", b"cde"], [b"ab", b"cde"]),
]
SYNC_ITER = {"lines": lambda r: r.iter_lines(), "text": lambda r: ["".join(r.iter_text())],
             "bytes4": lambda r: r.iter_bytes(4), "bytes": lambda r: r.iter_bytes()}


async def _async_iter(how, response):
    if how == "lines":
        return await _collect(response.aiter_lines())
    if how == "text":
        return ["".join(await _collect(response.aiter_text()))]
    return await _collect(response.aiter_bytes(4 if how == "bytes4" else None))


@pytest.mark.parametrize("asynchronous", [False, True], ids=["Client", "AsyncClient"])
@pytest.mark.parametrize("how, chunks, expected", STREAMED)
def test_streamed_pieces_across_chunk_edges(core, client, asynchronous, how, chunks, expected):
    def act(core, ident):
        core.response(ident, 200, head(200, "Content-Type: text/plain; charset=utf-8"))
        for chunk in chunks:
            core.data(ident, chunk)
        core.complete(ident)
    driver = Driver(core, act)
    try:
        if not asynchronous:
            with client.stream("GET", "http://x/") as response:
                got = list(SYNC_ITER[how](response))
        else:
            async def main():
                async with vesper.AsyncClient(trust_env=False, timeout=5) as async_client:
                    async with async_client.stream("GET", "http://x/") as response:
                        return await _async_iter(how, response)
            got = asyncio.run(asyncio.wait_for(main(), 20))
    finally:
        driver.join()
    if how == "bytes":
        # As they arrive: the delivered pieces, or runs of them joined when
        # several were queued by the time the reader asked; never cut.
        assert b"".join(got) == b"".join(expected) and all(got)
        assert set(_edges(got)) <= set(_edges(chunks))
    else:
        assert got == expected


def _edges(pieces):
    at, edges = 0, []
    for piece in pieces:
        at += len(piece)
        edges.append(at)
    return edges


def test_json_and_raise_for_status(core, client):
    response = fetched(core, client, ["Content-Type: application/json"], b'{"a": [1, "\xc3\xa9"]}')
    assert response.json() == {"a": [1, "é"]} and response.raise_for_status() is response


@pytest.mark.parametrize("hooked", [False, True], ids=["plain", "response-hook"])
def test_a_whole_response_is_read_before_the_call_returns(core, hooked):
    # Without hooks the body is read inside get(); a response hook still
    # sees the response before its body is read.
    seen = []
    hooks = {"response": [lambda r: seen.append(r.is_closed)]} if hooked else None
    with vesper.Client(trust_env=False, timeout=5, event_hooks=hooks) as client:
        driver = Driver(core, hops(final=b"whole body"))
        response = client.get("http://a/")
        driver.join()
    assert seen == ([False] if hooked else [])
    assert (response.content, response.is_closed, response.is_stream_consumed) == (b"whole body", True, False)
    assert b"".join(response.iter_bytes()) == b"whole body"
    elapsed = response.elapsed
    assert isinstance(elapsed, datetime.timedelta) and elapsed.total_seconds() >= 0
    assert response.elapsed is elapsed
    response.elapsed = datetime.timedelta(seconds=3)
    assert response.elapsed.total_seconds() == 3
