"""Profile namespaces (shared cookies and cache, conflicts) and request
priorities (per-host limit, queued requests started in priority order)."""
import gc
import json
import time
import uuid

import pytest

from conftest import fetch, native


def test_engines_of_one_namespace_share_cookies_and_cache(http):
    ns = uuid.uuid4().hex
    first = native.PyEngine(impersonate="chrome_120", profile_namespace=ns)
    second = native.PyEngine(impersonate="chrome_120", profile_namespace=ns, user_agent="second")
    stranger = native.PyEngine(impersonate="chrome_120", profile_namespace=ns + "-other")
    private = native.PyEngine(impersonate="chrome_120")
    fetch(first, "GET", f"{http}/cookies/set?shared=yes")

    def cookies(engine):
        sent = fetch(engine, "GET", f"{http}/cookies").json()["headers"]
        return [v for k, v in sent if k == "cookie"]
    assert cookies(second) == ["shared=yes"]
    assert cookies(stranger) == [] and cookies(private) == []

    key = uuid.uuid4().hex
    target = f"{http}/cache?cc=max-age%3D60&id={key}"
    fetch(first, "GET", target)
    assert fetch(second, "GET", target, cache="only_if_cached").status == 200
    with pytest.raises(RuntimeError, match="CacheMiss"):
        fetch(stranger, "GET", target, cache="only_if_cached")
    count = native.PyEngine(cache=False)
    assert json.loads(fetch(count, "GET", f"{http}/cache/count?id={key}").body)["hits"] == 1


def test_profile_conflict_lasts_while_the_namespace_lives():
    ns = uuid.uuid4().hex
    holder = native.PyEngine(impersonate="chrome120", profile_namespace=ns)
    for other in ("chrome_121", "edge_120", None):
        with pytest.raises(RuntimeError, match="ProfileConflict"):
            native.PyEngine(impersonate=other, profile_namespace=ns)
    same = native.PyEngine(impersonate="chrome_120", profile_namespace=ns)
    del holder, same
    gc.collect()
    # The namespace ends with its network thread, shortly after the last engine.
    deadline = time.monotonic() + 10
    while True:
        try:
            native.PyEngine(impersonate="chrome_121", profile_namespace=ns)
            break
        except RuntimeError as error:
            assert "ProfileConflict" in str(error)
            assert time.monotonic() < deadline, "the namespace outlived its engines"
            time.sleep(0.02)


def test_unknown_profile_is_unsupported():
    with pytest.raises(RuntimeError, match="ProfileUnsupported"):
        native.PyEngine(impersonate="chrome_98")


def test_queued_requests_start_in_priority_order(http):
    """Five long requests and one short one fill the six connections of the
    host; the requests queued behind them start one at a time, by priority."""
    engine = native.PyEngine()
    group = uuid.uuid4().hex
    blockers = []
    for i in range(5):
        request = engine.request("GET", f"{http}/log?group={group}-b&tag=long{i}&delay=30", timeout=20)
        request.start()
        blockers.append(request)
    short = engine.request("GET", f"{http}/log?group={group}-b&tag=short&delay=0.6", timeout=20)
    short.start()
    deadline = time.monotonic() + 10
    while len(json.loads(fetch(native.PyEngine(), "GET", f"{http}/log/order?group={group}-b").body)) < 6:
        assert time.monotonic() < deadline, "the six first requests never reached the server"
        time.sleep(0.02)

    order = ["idle", "low", "default", "lowest", "highest", "medium"]
    queued = []
    for priority in order:
        request = engine.request("GET", f"{http}/log?group={group}&tag={priority}&delay=0.05",
                                 priority=priority, timeout=20)
        request.start()
        queued.append(request)
    for request in queued:
        assert request.await_response().status_code == 200
        request.read_body()
    arrived = json.loads(fetch(native.PyEngine(), "GET", f"{http}/log/order?group={group}").body)
    assert arrived == ["highest", "default", "medium", "low", "lowest", "idle"]
    for request in blockers:
        request.cancel()
