"""The request calls built on Core extensions: a streamed body's declared
length, the request's redirect limit, whether the cache answered, the
phase limits and the phase a timeout names."""
import pytest

from conftest import native  # noqa: F401


@pytest.mark.core_extension("hy_request_set_upload_length")
@pytest.mark.parametrize("length", [0, 1234, 2**63 - 1])
def test_upload_length_reaches_the_core(core, engine, length):
    request = engine.request("PUT", "http://x/", chunked=True)
    assert request.set_upload_length(length) is None
    assert core.record("upload_length") == {"id": core.last_id("request"), "length": length}


@pytest.mark.core_extension("hy_request_set_upload_length", "hy_request_set_max_redirects")
@pytest.mark.parametrize("call, error", [
    (lambda r: r.set_upload_length(-1), OverflowError),
    (lambda r: r.set_upload_length("5"), TypeError),
    (lambda r: r.set_max_redirects(2**32), ValueError),
    (lambda r: r.set_max_redirects(None), TypeError),
])
def test_bad_values_are_refused_before_the_core(core, engine, call, error):
    request = engine.request("PUT", "http://x/", chunked=True)
    with pytest.raises(error):
        call(request)
    assert core.calls("hy_request_set_upload_length") == core.calls("hy_request_set_max_redirects") == 0


@pytest.mark.core_extension("hy_request_set_max_redirects", "hy_request_set_upload_length")
@pytest.mark.parametrize("function, call", [
    ("hy_request_set_max_redirects", lambda r: r.set_max_redirects(30)),
    ("hy_request_set_upload_length", lambda r: r.set_upload_length(3)),
])
def test_a_refusal_raises_its_code(core, engine, function, call):
    request = engine.request("GET", "http://x/", chunked=True)
    core.script(function, 5)
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        call(request)


@pytest.mark.core_extension("hy_request_set_max_redirects")
def test_max_redirects_reaches_the_core(core, engine):
    engine.request("GET", "http://x/").set_max_redirects(30)
    assert core.record("max_redirects")["limit"] == 30


@pytest.mark.core_extension("hy_request_from_cache")
def test_from_cache_reports_the_cores_answer(core, engine):
    request = engine.request("GET", "http://x/")
    assert request.from_cache() is False
    core.set_from_cache(core.last_id("request"))
    assert request.from_cache() is True


@pytest.mark.core_extension("hy_request_set_timeouts")
@pytest.mark.parametrize("args, kwargs, phases", [
    ((1, 2.5, 3, 4), {}, (1000, 2500, 3000, 4000)),
    ((), {"read": 0.0004}, (0, 1, 0, 0)),          # under a millisecond stays a limit
    ((None, None), {"pool": 0}, (0, 0, 0, 0)),      # 0: none, as in every Core record
    ((), {}, (0, 0, 0, 0)),
])
def test_phase_limits_reach_the_core(core, engine, args, kwargs, phases):
    engine.request("GET", "http://x/").set_timeouts(*args, **kwargs)
    record = core.record("timeouts")
    assert (record["size"], record["abi"], record["id"]) == (40, native.PyEngine.abi_version(), core.last_id("request"))
    assert (record["connect_ms"], record["read_ms"], record["write_ms"], record["pool_ms"]) == phases


@pytest.mark.core_extension("hy_request_set_timeouts")
@pytest.mark.parametrize("kwargs, error, text", [
    ({"read": -1}, RuntimeError, "timeout must be a finite non-negative number"),
    ({"write": float("nan")}, RuntimeError, "timeout must be a finite non-negative number"),
    ({"connect": "5"}, TypeError, "connect"),
])
def test_bad_phase_limits_are_refused_before_the_core(core, engine, kwargs, error, text):
    with pytest.raises(error, match=text):
        engine.request("GET", "http://x/").set_timeouts(**kwargs)
    assert core.calls("hy_request_set_timeouts") == 0


@pytest.mark.core_extension("hy_request_set_timeouts")
def test_phase_limits_refused_by_the_core_raise_its_code(core, engine):
    core.script("hy_request_set_timeouts", 5)
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        engine.request("GET", "http://x/").set_timeouts(1)


@pytest.mark.core_extension("hy_request_timeout_phase")
@pytest.mark.parametrize("code, phase, name", [
    (6, 1, "connect"), (6, 2, "read"), (6, 3, "write"), (6, 4, "pool"), (6, 5, "total"),
    (6, 0, None), (6, 99, None),   # none, or one this module does not know
    (8, 2, None),                  # only a timeout asks for its phase
])
def test_a_timeout_names_its_phase(core, engine, code, phase, name):
    request = engine.request("GET", "http://x/")
    request.start()
    ident = core.last_id("request")
    core.set_timeout_phase(ident, phase)
    core.complete(ident, code, -7)
    with pytest.raises(native.CoreFailure) as info:
        request.wait_response(5)
    assert info.value.timeout_phase == name
    assert str(info.value) == f"{native.failure_kinds[code]} (Chromium net error -7)"   # the text is unchanged
    assert core.calls("hy_request_timeout_phase") == (1 if code == 6 else 0)
