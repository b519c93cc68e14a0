"""The HTTP cache through the module: each cache mode against a server that
counts its answers and sends validators; Vary, no-store, invalidation,
limits, flow control on a cached body, and the cache flag of the engine."""
import json
import urllib.parse
import uuid

import pytest

from conftest import fetch, native
from servers.app import pattern

MIB = 1024 * 1024


def counts(engine, base, key):
    counter = native.PyEngine(cache=False, verify=False)
    return json.loads(fetch(counter, "GET", f"{base}/cache/count?id={key}").body)


def url(base, **query):
    key = query.setdefault("id", uuid.uuid4().hex)
    return key, f"{base}/cache?" + urllib.parse.urlencode(query, quote_via=urllib.parse.quote)


@pytest.fixture
def base(http):
    return http


def test_fresh_answer_comes_from_the_cache(engine, base):
    key, target = url(base, cc="max-age=60", n=1024)
    first = fetch(engine, "GET", target)
    second = fetch(engine, "GET", target)
    assert first.body == second.body == pattern(1024)
    assert second.head == first.head              # the stored head, as received
    assert counts(engine, base, key) == {"hits": 1, "validated": 0}


@pytest.mark.parametrize("validator", ["etag=v1", "lm=Mon, 01 Jan 2024 00:00:00 GMT"])
def test_stale_answer_is_validated_and_304_served_from_the_cache(engine, base, validator):
    name, value = validator.split("=")
    key, target = url(base, cc="max-age=0", n=2048, **{name: value})
    first = fetch(engine, "GET", target)
    second = fetch(engine, "GET", target)
    assert second.status == 200 and second.body == first.body == pattern(2048)
    assert second.header("x-hit") == ["1"]        # the stored answer
    assert second.header("x-validated") == ["1"]  # refreshed from the 304's fields
    assert counts(engine, base, key) == {"hits": 1, "validated": 1}


MODES = [
    # mode, answers with a body, 304s after a fresh entry was stored first
    ("default", 1, 0),
    ("validate", 1, 1),
    ("bypass", 2, 0),
    ("no_store", 2, 0),
    ("force", 1, 0),
    ("only_if_cached", 1, 0),
]


@pytest.mark.parametrize("mode,hits,validated", MODES)
def test_cache_modes_with_a_fresh_entry(engine, base, mode, hits, validated):
    key, target = url(base, cc="max-age=60", etag="e1")
    fetch(engine, "GET", target)
    answer = fetch(engine, "GET", target, cache=mode)
    assert answer.body == pattern(1024)
    assert counts(engine, base, key) == {"hits": hits, "validated": validated}


def test_bypass_stores_and_no_store_does_not(engine, base):
    key, target = url(base, cc="max-age=60")
    fetch(engine, "GET", target, cache="no_store")
    fetch(engine, "GET", target, cache="bypass")
    fetch(engine, "GET", target)
    assert counts(engine, base, key)["hits"] == 2


def test_force_uses_a_stale_entry_and_only_if_cached_misses(engine, base):
    key, target = url(base, cc="no-cache")
    with pytest.raises(RuntimeError, match=r"^CacheMiss \(Chromium net error -400\)$"):
        fetch(engine, "GET", target, cache="only_if_cached")
    fetch(engine, "GET", target)
    assert fetch(engine, "GET", target, cache="force").header("x-hit") == ["1"]
    assert fetch(engine, "GET", target, cache="only_if_cached").header("x-hit") == ["1"]
    assert counts(engine, base, key) == {"hits": 1, "validated": 0}


def test_no_store_response_is_never_kept(engine, base):
    key, target = url(base, cc="no-store, max-age=60")
    fetch(engine, "GET", target)
    fetch(engine, "GET", target)
    assert counts(engine, base, key)["hits"] == 2


def test_vary_selects_by_request_headers(engine, base):
    key, target = url(base, cc="max-age=60", vary="X-Lang")
    fetch(engine, "GET", target, headers=[("X-Lang", "en")])
    fetch(engine, "GET", target, headers=[("X-Lang", "en")])
    assert counts(engine, base, key)["hits"] == 1
    fetch(engine, "GET", target, headers=[("X-Lang", "de")])
    assert counts(engine, base, key)["hits"] == 2


def test_unsafe_method_invalidates(engine, base):
    key, target = url(base, cc="max-age=60")
    fetch(engine, "GET", target)
    fetch(engine, "POST", target, body=b"x")
    fetch(engine, "GET", target)
    assert counts(engine, base, key)["hits"] == 2


def test_caller_conditional_headers_skip_the_cache(engine, base):
    key, target = url(base, cc="max-age=60", etag="c1")
    fetch(engine, "GET", target)
    answer = fetch(engine, "GET", target, headers=[("If-None-Match", '"c1"')])
    assert answer.status == 304                   # the caller's own validation, untouched
    assert fetch(engine, "GET", target, headers=[("Cache-Control", "no-cache")]).status == 200
    assert counts(engine, base, key) == {"hits": 2, "validated": 1}


def test_cache_disabled_engine(ca_pem, base):
    engine = native.PyEngine(cache=False)
    key, target = url(base, cc="max-age=60")
    fetch(engine, "GET", target)
    fetch(engine, "GET", target)
    assert counts(engine, base, key)["hits"] == 2
    with pytest.raises(RuntimeError, match="CacheMiss"):
        fetch(engine, "GET", target, cache="only_if_cached")


def test_entry_over_the_limit_is_not_stored(engine, base):
    key, target = url(base, cc="max-age=60", n=5 * MIB)
    assert len(fetch(engine, "GET", target).body) == 5 * MIB
    fetch(engine, "GET", target)
    assert counts(engine, base, key)["hits"] == 2


def test_cached_body_obeys_flow_control(engine, base):
    import time
    key, target = url(base, cc="max-age=60", n=3 * MIB + 5)
    fetch(engine, "GET", target)
    request = engine.request("GET", target)
    request.start()
    request.await_response()
    time.sleep(0.3)  # the module pauses the Core at 1 MiB buffered; the replay must wait
    assert bytes(request.read_body()) == pattern(3 * MIB + 5)
    assert counts(engine, base, key)["hits"] == 1


def test_cache_over_http2(ca_pem, https):
    engine = native.PyEngine(ca_pem=ca_pem, impersonate="chrome_120")
    key, target = url(https, cc="max-age=0", etag="h2")
    first = fetch(engine, "GET", target)
    second = fetch(engine, "GET", target)
    assert second.head.startswith(b"HTTP/2 200") and second.body == first.body
    assert counts(engine, https, key) == {"hits": 1, "validated": 1}
