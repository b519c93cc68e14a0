"""Retries against a flaky server that answers 503 with Retry-After before
it answers 200: the pause asked for is kept, methods that are not
idempotent are not retried, the attempts are on the response."""
import asyncio
import time
import uuid

import pytest

import vesper

pytestmark = pytest.mark.timeout(60)


def _url(http, **query):
    query.setdefault("id", uuid.uuid4().hex)
    return f"{http}/flaky?" + "&".join(f"{k}={v}" for k, v in query.items()), query["id"]


def _tries(http, ident):
    return int(vesper.get(f"{http}/flaky/count?id={ident}", trust_env=False).text)


def test_retry_after_is_honoured(http):
    url, ident = _url(http, fail=2, after=1)
    with vesper.Client(trust_env=False, timeout=10, retries=vesper.Retry(3, backoff_factor=0)) as client:
        started = time.monotonic()
        response = client.get(url)
        took = time.monotonic() - started
    assert response.status_code == 200 and response.json()["tries"] == 3
    assert response.attempts == 3 and [r.status_code for r in response.retry_history] == [503, 503]
    assert response.retry_history[0].headers["retry-after"] == "1"
    assert 2.0 <= took < 8, took


def test_backoff_and_the_last_answer_when_retries_run_out(http):
    url, ident = _url(http, fail=5, after="x", code=502)   # an unreadable Retry-After: the backoff
    retry = vesper.Retry(2, backoff_factor=0.2)
    with vesper.Client(trust_env=False, timeout=10, retries=retry) as client:
        started = time.monotonic()
        response = client.get(url)
        took = time.monotonic() - started
        assert response.status_code == 502 and response.attempts == 3 and response.text == "busy"
        with pytest.raises(vesper.HTTPStatusError):
            response.raise_for_status()
    # Pauses of 0.1-0.2 s and 0.2-0.4 s.
    assert 0.3 <= took < 5, took
    assert _tries(http, ident) == 3


def test_post_is_not_retried_and_a_long_retry_after_is_not_waited(http):
    url, ident = _url(http, fail=1, after=1)
    with vesper.Client(trust_env=False, timeout=10, retries=vesper.Retry(3)) as client:
        assert client.post(url, json={"a": 1}).status_code == 503
        assert _tries(http, ident) == 1
        url, ident = _url(http, fail=1, after=3600)
        started = time.monotonic()
        assert client.get(url).status_code == 503
        assert time.monotonic() - started < 5 and _tries(http, ident) == 1


def test_asyncio_retry_and_a_refused_connection(http):
    url, _ = _url(http, fail=1, after=1)

    async def main():
        retry = vesper.Retry(2, backoff_factor=0.05)
        async with vesper.AsyncClient(trust_env=False, timeout=10, retries=retry) as client:
            response = await client.get(url)
            with pytest.raises(vesper.ConnectError):
                await client.get("http://127.0.0.1:1/")
            return response

    response = asyncio.run(asyncio.wait_for(main(), 30))
    assert response.status_code == 200 and response.attempts == 2
