"""The request calls built on Core extensions: a streamed body's declared
length, the request's redirect limit, and whether the cache answered."""
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
