"""A request's state: flow control, failure reporting, heads and redirects."""
import pytest

from helpers import Background, started

MIB = 1_048_576


@pytest.fixture
def streaming(core, engine):
    request, ident = started(core, engine)
    core.response(ident, 200, b"HTTP/1.1 200 OK\r\n\r\n")
    request.await_response()
    return request, ident


def test_pause_at_exactly_one_mebibyte(core, streaming):
    request, ident = streaming
    assert core.data(ident, b"a" * (MIB - 1)) == 1
    assert core.data(ident, b"b") == 0
    # Paused: every further chunk is still queued and still answered 0.
    assert core.data(ident, b"c") == 0
    assert core.resume_count(ident) == 0
    assert len(request.next_body()) == MIB - 1       # 2 left: resume
    assert core.resume_count(ident) == 1
    assert request.next_body() == [98]
    assert request.next_body() == [99]
    assert core.resume_count(ident) == 1             # not paused any more


def test_resume_only_on_the_way_down(core, streaming):
    request, ident = streaming
    assert core.data(ident, b"x" * (2 * MIB)) == 0    # one chunk may overshoot
    assert core.data(ident, b"y" * 10) == 0
    assert len(request.next_body()) == 2 * MIB        # 10 bytes left
    assert core.resume_count(ident) == 1
    assert core.data(ident, b"z" * 100) == 1
    request.next_body()
    request.next_body()
    assert core.resume_count(ident) == 1


def test_no_pause_after_completion(core, streaming):
    request, ident = streaming
    core.complete(ident)
    assert core.data(ident, b"q" * (2 * MIB)) == 1
    assert len(request.read_body()) == 2 * MIB
    assert core.resume_count(ident) == 0


def test_empty_chunks_are_queued(core, streaming):
    request, ident = streaming
    core.data(ident, b"")
    core.complete(ident)
    assert request.next_body() == []
    assert request.next_body() is None


def test_body_in_order_then_end(core, streaming):
    request, ident = streaming
    for i in range(5):
        core.data(ident, bytes([i, 255 - i]))
    core.complete(ident)
    assert [request.next_body() for _ in range(6)] == [[0, 255], [1, 254], [2, 253], [3, 252], [4, 251], None]
    assert request.next_body() is None
    assert request.read_body() == []


def test_failure_reported_once_to_body_readers(core, streaming):
    request, ident = streaming
    core.data(ident, b"ab")
    core.complete(ident, 6, -7)
    assert request.next_body() == [97, 98]
    with pytest.raises(RuntimeError) as info:
        request.next_body()
    assert str(info.value) == "Timeout (Chromium net error -7)"
    assert request.next_body() is None
    assert request.read_body() == []


def test_read_body_failure_discards(core, streaming):
    request, ident = streaming
    core.data(ident, b"partial")
    core.complete(ident, 8, -101)
    with pytest.raises(RuntimeError, match=r"^Network \(Chromium net error -101\)$"):
        request.read_body()


@pytest.mark.parametrize("code, text", [
    (7, "Canceled (Chromium net error -3)"), (16, "native error 16 (Chromium net error -3)"),
    (0xFFFFFFFE, "native error -2 (Chromium net error -3)"),
])
def test_failure_reported_once_to_head_takers(core, engine, code, text):
    request, ident = started(core, engine)
    core.complete(ident, code, -3)
    with pytest.raises(RuntimeError) as info:
        request.await_response()
    assert str(info.value) == text
    with pytest.raises(RuntimeError, match="^request is not started$"):
        request.await_response()


def test_second_head_wins(core, engine):
    request, ident = started(core, engine)
    core.response(ident, 100, b"first")
    core.response(ident, 200, b"second")
    response = request.await_response()
    assert (response.status_code, response.headers) == (200, b"second")


def test_response_object(core, engine):
    request, ident = started(core, engine)
    core.response(ident, 204, b"")
    response = request.await_response()
    assert response.headers == b"" and response.content == b"" and response.status_code == 204
    with pytest.raises(AttributeError):
        response.status_code = 1


def test_response_headers_are_copies(core, engine):
    request, ident = started(core, engine)
    core.response(ident, 200, b"HTTP/1.1 200 OK\r\nA: b\r\n\r\n")
    response = request.await_response()
    first, second = response.headers, response.headers
    assert first == second == b"HTTP/1.1 200 OK\r\nA: b\r\n\r\n" and first is not second


def test_redirect_records(core, engine):
    request, ident = started(core, engine)
    core.redirect(ident, 301, b"raw\xff\x00", b"http://y/\xff", b"G\xc3ET")
    core.redirect(ident, 302, b"", b"", b"")
    assert request.take_redirects() == [
        (301, [114, 97, 119, 255, 0], "http://y/\ufffd", "G\ufffdET"),
        (302, [], "", ""),
    ]
    assert request.take_redirects() == []


def test_wait_redirect(core, engine):
    request, ident = started(core, engine)
    assert request.wait_redirect(0) is None
    waiter = Background(request.wait_redirect, 30)
    core.redirect(ident, 307, b"h", b"http://z/", b"POST")
    assert waiter.join() == (307, [104], "http://z/", "POST")


def test_wait_redirect_on_ended_request_returns_at_once(core, engine):
    request, ident = started(core, engine)
    core.complete(ident)
    assert request.wait_redirect() is None            # would be a day otherwise
    other, other_id = started(core, engine)
    core.complete(other_id, 6, -7)
    with pytest.raises(RuntimeError) as info:
        other.wait_redirect()
    assert str(info.value) == "Timeout"


def test_wait_redirect_woken_by_failure(core, engine):
    request, ident = started(core, engine)
    waiter = Background(request.wait_redirect, 30)
    core.complete(ident, 12, -310)
    with pytest.raises(RuntimeError, match="^Redirect$"):
        waiter.join()


def test_completion_without_head_does_not_hang(core, engine):
    request, ident = started(core, engine)
    waiter = Background(request.await_response)
    core.complete(ident)
    with pytest.raises(RuntimeError, match="^request completed without a response head$"):
        waiter.join()


def test_head_taken_elsewhere_does_not_hang(core, engine):
    request, ident = started(core, engine)
    core.response(ident, 200)
    # A poll hands the head out while the pair is still in the start slot.
    assert request.poll_event()[0] == "response"
    with pytest.raises(RuntimeError, match="^response head was already taken$"):
        request.await_response()


def test_callback_fault_fails_the_request(core, streaming):
    request, ident = streaming
    core.data(ident, b"ok")
    # An impossible length makes the module's copy fail inside the callback.
    assert core.raw_data(ident, b"x", 2 ** 64 - 1) == 1
    assert request.is_finished() is True
    core.complete(ident)        # a later success does not hide the lost chunk
    assert request.next_body() == [111, 107]
    with pytest.raises(RuntimeError) as info:
        request.next_body()
    assert str(info.value) == "CallbackPanic (Chromium net error 0)"


def test_callback_fault_after_completion_keeps_outcome(core, streaming):
    request, ident = streaming
    core.complete(ident)
    core.raw_data(ident, b"x", 2 ** 64 - 1)
    assert request.read_body() == []
