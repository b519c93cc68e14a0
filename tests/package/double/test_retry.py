"""Retries: which failures and answers are tried again, with what pauses,
what is never retried, and the attempts recorded on the response."""
import asyncio
import datetime
import email.utils

import pytest

import vesper
from vesper._retry import RetryRun, retry_after_seconds

from conftest import Driver, answer


def _answers(*plan):
    """An action answering the n-th started request with plan[n]: a status
    (with Retry-After: 0 when 503), or "refuse" for a failed connection."""
    state = {"n": 0}

    def act(core, ident):
        step = plan[state["n"]]
        state["n"] += 1
        if step == "refuse":
            core.complete(ident, 8, -102)
        else:
            lines = ["Retry-After: 0"] if step == 503 else []
            answer(step, f"answer {step}".encode(), lines)(core, ident)
    return act


@pytest.fixture
def fast(monkeypatch):
    monkeypatch.setattr("vesper._retry.Retry.backoff", lambda self, n: 0.0)


RETRY = vesper.Retry(3, backoff_factor=0)


@pytest.mark.parametrize("method, plan, status, attempts", [
    ("GET", ["refuse", 503, 502, 200], 200, 4),
    ("PUT", [429, 200], 200, 2),
    ("GET", [503, 503, 503, 503], 503, 4),          # retries spent: the last answer is returned
    ("POST", [503], 503, 1),                          # not idempotent: the answer is returned
    ("POST", ["refuse", 200], 200, 2),                # nothing reached the server: retried
    ("GET", [500], 500, 1),                           # not listed
])
def test_blocking_retries(core, fast, method, plan, status, attempts):
    with vesper.Client(trust_env=False, timeout=5, retries=RETRY) as client:
        driver = Driver(core, _answers(*plan), count=attempts)
        response = client.request(method, "http://x/")
        driver.join()
    assert (response.status_code, response.attempts) == (status, attempts)
    assert response.content == f"answer {status}".encode()
    history = response.retry_history
    assert len(history) == attempts - 1
    for step, earlier in zip(plan, history):
        if step == "refuse":
            assert isinstance(earlier, vesper.ConnectError)
        else:
            assert earlier.status_code == step and earlier.is_closed
    assert core.calls("hy_request_start") == attempts


def test_asyncio_retries_and_allowed_methods_none(core, fast):
    async def main():
        retry = vesper.Retry(2, backoff_factor=0, allowed_methods=None)
        async with vesper.AsyncClient(trust_env=False, timeout=5, retries=retry) as client:
            return await client.post("http://x/", content=b"same bytes")
    driver = Driver(core, _answers(503, "refuse", 200), count=3)
    response = asyncio.run(asyncio.wait_for(main(), 20))
    driver.join()
    assert (response.status_code, response.attempts) == (200, 3)


def test_a_streamed_body_is_never_retried(core, fast):
    with vesper.Client(trust_env=False, timeout=5, retries=RETRY) as client:
        driver = Driver(core, _answers(503))
        response = client.put("http://x/", content=iter([b"a", b"b"]))
        driver.join()
        assert (response.status_code, response.attempts) == (503, 1)
        driver = Driver(core, _answers("refuse"))
        with pytest.raises(vesper.ConnectError):
            client.put("http://x/", content=iter([b"a"]))
        driver.join()


def test_a_streamed_response_retried_is_closed_and_the_last_left_open(core, fast):
    with vesper.Client(trust_env=False, timeout=5, retries=RETRY) as client:
        driver = Driver(core, _answers(503, 200), count=2)
        with client.stream("GET", "http://x/") as response:
            assert response.retry_history[0].is_closed
            assert b"".join(response.iter_bytes()) == b"answer 200"
        driver.join()


def test_int_retries_only_failed_connections(core, fast):
    with vesper.Client(trust_env=False, timeout=5, retries=2) as client:
        assert client.retries == vesper.Retry(2, status_forcelist=())
        driver = Driver(core, _answers(503))
        assert client.get("http://x/").status_code == 503
        driver.join()


def _run(retry, *statuses, retry_after=None, method="GET"):
    class Answer:
        def __init__(self, status):
            self.status_code = status
            self.headers = vesper.Headers({"Retry-After": retry_after} if retry_after is not None else {})
    run = RetryRun(retry, method, True)
    return [run.after_response(Answer(s)) for s in statuses]


def test_backoff_grows_with_jitter_up_to_max_backoff():
    retry = vesper.Retry(6, backoff_factor=1, max_backoff=5)
    for _ in range(50):
        pauses = _run(retry, *[503] * 7)
        assert pauses[-1] is None
        for pause, full in zip(pauses, [1, 2, 4, 5, 5, 5]):
            assert full / 2 <= pause <= full


@pytest.mark.parametrize("header, pause", [
    ("2", 2.0),
    ("  7 ", 7.0),
    ("soon", "backoff"),                                 # unreadable: the backoff
    ("99", None),                                        # longer than max_backoff: no retry
])
def test_retry_after(header, pause):
    got = _run(vesper.Retry(1, backoff_factor=0.1, max_backoff=30), 503, retry_after=header)[0]
    if pause == "backoff":
        assert got is not None and 0.05 <= got <= 0.1
    else:
        assert got == pause
    ignored = _run(vesper.Retry(1, backoff_factor=0.1, respect_retry_after=False), 503, retry_after=header)[0]
    assert 0.05 <= ignored <= 0.1


def test_retry_after_as_http_date():
    now = datetime.datetime(2026, 1, 1, tzinfo=datetime.timezone.utc)
    later = email.utils.format_datetime(now + datetime.timedelta(seconds=12), usegmt=True)
    assert retry_after_seconds(later, now) == 12.0
    assert retry_after_seconds(email.utils.format_datetime(now, usegmt=True), now + datetime.timedelta(1)) == 0.0


@pytest.mark.parametrize("kwargs, error", [
    ({"total": -1}, ValueError), ({"total": 1.5}, ValueError), ({"backoff_factor": -1}, ValueError),
    ({"max_backoff": float("nan")}, ValueError), ({"status_forcelist": [99]}, ValueError),
    ({"allowed_methods": "GET"}, TypeError),
])
def test_bad_retry_arguments(kwargs, error):
    with pytest.raises(error):
        vesper.Retry(**kwargs)


@pytest.mark.parametrize("value, error", [(-1, ValueError), ("3", TypeError), (True, TypeError)])
def test_bad_retries_argument(value, error):
    with pytest.raises(error):
        vesper.Client(trust_env=False, retries=value)
