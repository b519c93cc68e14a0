"""What a newcomer meets, against the real Core: the cache only when asked
and from_cache, sized bodies with Content-Length (and a declared length held
to), max_redirects past 20, the default User-Agent, browser URL encoding."""
import pytest

import vesper
from vesper._native import core_has

# Each Core extension the package builds on, and what it does without one.
FROM_CACHE = core_has("hy_request_from_cache")
UPLOAD_LENGTH = core_has("hy_request_set_upload_length")
REDIRECT_LIMIT = core_has("hy_request_set_max_redirects")


def header(answer, name):
    return [v for k, v in answer["headers"] if k == name]


def test_from_cache_says_who_answered(http):
    url = http + "/cache?id=newcomer-fc&cc=max-age%3D60"
    with vesper.Client(trust_env=False, cache=True) as c:
        first, second = c.get(url), c.get(url)
        fresh = c.get(url, cache_mode="bypass")
    if FROM_CACHE:
        assert (first.from_cache, second.from_cache, fresh.from_cache) == (False, True, False)
    else:
        assert (first.from_cache, second.from_cache, fresh.from_cache) == (None, None, None)
    assert first.headers["x-hit"] == second.headers["x-hit"] != fresh.headers["x-hit"]
    with vesper.Client(trust_env=False) as c:
        assert [c.get(url).from_cache for _ in range(2)] == [False, False]


@pytest.mark.parametrize("make", [
    lambda path: open(path, "rb"),
    lambda path: {"files": {"f": open(path, "rb")}, "data": {"k": "v"}},
    lambda path: bytearray(path.read_bytes()),
])
def test_sized_bodies_carry_content_length(http, tmp_path, make):
    path = tmp_path / "body.bin"
    path.write_bytes(b"q" * 300_000)
    made = make(path)
    kwargs = made if isinstance(made, dict) else {"content": made}
    with vesper.Client(trust_env=False) as c:
        answer = c.post(http + "/echo", **kwargs).json()
    for handle in ([made] if hasattr(made, "close") else [v for v in kwargs.get("files", {}).values()]):
        handle.close()
    assert answer["body_len"] >= 300_000
    if UPLOAD_LENGTH or isinstance(made, bytearray):
        assert header(answer, "transfer-encoding") == []
        assert header(answer, "content-length") == [str(answer["body_len"])]
    else:  # streamed chunked by a Core that cannot take the length
        assert header(answer, "transfer-encoding") == ["chunked"]


def test_a_generator_goes_chunked_unless_a_length_is_declared(http):
    def pieces():
        yield b"a" * 1000
        yield b"b" * 234
    with vesper.Client(trust_env=False) as c:
        chunked = c.post(http + "/echo", content=pieces()).json()
        if not UPLOAD_LENGTH:
            with pytest.raises(vesper.InvalidHeader, match="declared upload length"):
                c.post(http + "/echo", content=pieces(), headers={"Content-Length": "1234"})
            return
        declared = c.post(http + "/echo", content=pieces(), headers={"Content-Length": "1234"}).json()
    assert header(chunked, "transfer-encoding") == ["chunked"] and header(chunked, "content-length") == []
    assert header(declared, "content-length") == ["1234"] and declared["body_len"] == 1234


@pytest.mark.skipif(not UPLOAD_LENGTH, reason="the Core cannot take a declared upload length")
@pytest.mark.parametrize("declared", [1233, 1235])
def test_a_body_that_differs_from_its_declared_length_never_goes_out_cut_or_padded(http, declared):
    def pieces():
        yield b"a" * 1000
        yield b"b" * 234
    with vesper.Client(trust_env=False) as c:
        with pytest.raises(vesper.Error) as info:
            c.post(http + "/echo", content=pieces(), headers={"Content-Length": str(declared)})
        assert info.value.net_error == -14
        assert "declared" in str(info.value)
        # The client goes on working.
        assert c.get(http + "/echo").status_code == 200


@pytest.mark.parametrize("hops, limit, ok", [(25, 25, True), (26, 25, False), (21, None, False), (3, 2, False),
                                             (2, 2, True)])
def test_max_redirects_is_honoured_as_given(http, hops, limit, ok):
    kwargs = {} if limit is None else {"max_redirects": limit}
    if limit is not None and limit > 20 and not REDIRECT_LIMIT:
        ok = False  # the Core stops at its own 20
    with vesper.Client(trust_env=False) as c:
        if ok:
            response = c.get(f"{http}/redirect-chain?n={hops}", **kwargs)
            assert (response.status_code, len(response.history)) == (200, hops)
        else:
            with pytest.raises(vesper.TooManyRedirects):
                c.get(f"{http}/redirect-chain?n={hops}", **kwargs)


def test_default_user_agent_and_encoded_urls(http):
    with vesper.Client(trust_env=False) as c:
        answer = c.get(http + "/echo?q=a b&e=é").json()
    assert header(answer, "user-agent") == [f"vesper/{vesper.__version__}"]
    assert answer["query"] == "q=a%20b&e=%C3%A9"
