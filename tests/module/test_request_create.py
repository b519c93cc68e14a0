"""PyEngine.request: the RequestConfig the Core receives, and creation failures."""
import gc
import sys

import pytest

from conftest import text_of


def record_of(core, engine, *args, **kwargs):
    request = engine.request(*args, **kwargs)
    return request, core.record("request")


def test_minimal_request(core, engine):
    _, r = record_of(core, engine, "GET", "http://example.test/")
    assert (r["size"], r["abi"]) == (144, 8)
    assert (text_of(r["method"]), text_of(r["url"])) == (b"GET", b"http://example.test/")
    assert r["headers_null"] and r["header_count"] == 0
    assert r["body"] == {"null": True, "len": 0, "hex": ""} and r["body_kind"] == 0
    assert (r["timeout_ms"], r["cache_mode"], r["redirect_mode"], r["priority"]) == (0, 0, 0, 0)
    assert r["callbacks"] == {"size": 48, "abi": 8, "context_null": False, "all_set": True}


def test_header_order_and_duplicates(core, engine):
    headers = [("X-B", "2"), ("x-a", "1"), ("X-B", "3"), ("Empty", "")]
    _, r = record_of(core, engine, "GET", "http://x/", headers=headers)
    assert r["header_count"] == 4 and not r["headers_null"]
    sent = [(text_of(h["name"]), text_of(h["value"])) for h in r["headers"]]
    assert sent == [(b"X-B", b"2"), (b"x-a", b"1"), (b"X-B", b"3"), (b"Empty", None)]


@pytest.mark.parametrize("kwargs, kind, body", [
    ({"body": b"abc"}, 1, b"abc"),
    ({"body": b""}, 1, None),
    ({"chunked": True}, 2, None),
    ({"chunked": False, "body": b"x"}, 1, b"x"),
    ({"body": None}, 0, None),
])
def test_body_kinds(core, engine, kwargs, kind, body):
    _, r = record_of(core, engine, "POST", "http://x/", **kwargs)
    assert r["body_kind"] == kind and text_of(r["body"]) == body


@pytest.mark.parametrize("kwargs, mode", [
    ({}, 0), ({"allow_redirects": False}, 1), ({"allow_redirects": False, "redirect": "follow"}, 0),
    ({"redirect": "manual"}, 1), ({"redirect": "error"}, 2), ({"allow_redirects": True, "redirect": "error"}, 2),
    ({"redirect": None, "allow_redirects": False}, 1),
])
def test_redirect_modes(core, engine, kwargs, mode):
    assert record_of(core, engine, "GET", "http://x/", **kwargs)[1]["redirect_mode"] == mode


@pytest.mark.parametrize("name, table", [
    ("cache", ["default", "validate", "bypass", "no_store", "force", "only_if_cached"]),
    ("priority", ["default", "highest", "medium", "low", "lowest", "idle"]),
])
def test_enumerations(core, engine, name, table):
    field = {"cache": "cache_mode", "priority": "priority"}[name]
    for value, text in enumerate(table):
        assert record_of(core, engine, "GET", "http://x/", **{name: text})[1][field] == value


@pytest.mark.parametrize("kwargs, message", [
    ({"redirect": "Follow"}, 'unknown redirect mode "Follow"'),
    ({"cache": "fast"}, 'unknown cache mode "fast"'),
    ({"priority": "urgent"}, 'unknown priority "urgent"'),
    ({"cache": "a\"b"}, 'unknown cache mode "a\\"b"'),
])
def test_unknown_enumerations(core, engine, kwargs, message):
    with pytest.raises(RuntimeError) as info:
        engine.request("GET", "http://x/", **kwargs)
    assert str(info.value) == message
    assert core.calls("hy_request_create") == 0


def test_argument_matching_messages(core, engine):
    with pytest.raises(TypeError) as info:
        engine.request("GET")
    assert str(info.value) == "PyEngine.request() missing 1 required positional argument: 'url'"
    with pytest.raises(TypeError) as info:
        engine.request()
    assert str(info.value) == "PyEngine.request() missing 2 required positional arguments: 'method' and 'url'"
    with pytest.raises(TypeError) as info:
        engine.request("GET", "u", bogus=1)
    assert str(info.value) == "PyEngine.request() got an unexpected keyword argument 'bogus'"
    with pytest.raises(TypeError) as info:
        engine.request("GET", "u", None, None, None, True, None, None, None, False, 11)
    assert str(info.value) == "PyEngine.request() takes from 2 to 10 positional arguments but 11 were given"


def test_all_parameters_by_keyword(core, engine):
    _, r = record_of(core, engine, method="DELETE", url="http://x/", headers=[], body=b"b", timeout=2,
                     allow_redirects=False, redirect=None, cache="bypass", priority="low", chunked=False)
    assert (text_of(r["method"]), r["timeout_ms"], r["redirect_mode"], r["cache_mode"], r["priority"]) == \
        (b"DELETE", 2000, 1, 2, 3)
    assert r["headers_null"]


@pytest.mark.parametrize("code, null_handle, text", [
    (1, False, "InvalidArgument"), (5, False, "InvalidState"), (99, False, "native error 99"),
    (0, True, "InitializationFailed"),
])
def test_refused_creation(core, engine, code, null_handle, text):
    core.script("hy_request_create", code, null_handle)
    with pytest.raises(RuntimeError) as info:
        engine.request("GET", "http://x/")
    assert str(info.value) == text
    assert core.calls("hy_request_release") == 0


def test_release_of_unstarted_request(core, engine):
    request = engine.request("GET", "http://x/")
    ident = core.last_id("request")
    del request
    gc.collect()
    assert core.released("request", ident) == 1


def test_release_of_running_request(core, engine):
    request = engine.request("GET", "http://x/")
    ident = core.last_id("request")
    request.start()
    del request
    assert core.released("request", ident) == 1
    # The Core still ends it; the state it calls back into is alive.
    core.response(ident)
    core.data(ident, b"late")
    core.complete(ident)


def test_running_pairs_keep_the_handle(core, engine):
    request = engine.request("GET", "http://x/")
    ident = core.last_id("request")
    request.start()
    core.response(ident)
    request.await_response()
    assert core.released("request", ident) == 0
    refs = sys.getrefcount(request)
    request.is_finished()
    assert sys.getrefcount(request) == refs
    del request
    assert core.released("request", ident) == 1


@pytest.mark.parametrize("body", [b"dropped", b"", bytearray(b"x")])
def test_chunked_with_a_body_is_refused(core, engine, body):
    # The streamed body comes through upload_write: a body= beside it was
    # once dropped without a word.
    with pytest.raises(ValueError, match="chunked=True streams the body through upload_write"):
        engine.request("POST", "http://x/", body=body, chunked=True)
    assert core.calls("hy_request_create") == 0
