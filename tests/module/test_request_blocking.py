"""The blocking methods of PyRequest: slots, manual redirects, cancel, uploads."""
import threading

import pytest

from bound import native
from helpers import Background, started


def test_start_twice(core, engine):
    request, _ = started(core, engine)
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        request.start()
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        request.start_stream()
    assert core.calls("hy_request_start") == 1


def test_refused_start_can_be_retried(core, engine):
    request = engine.request("GET", "http://x/")
    core.script("hy_request_start", 8)
    with pytest.raises(RuntimeError, match="^Network$"):
        request.start()
    request.start()
    assert core.calls("hy_request_start") == 2


def test_slot_rules(core, engine):
    request = engine.request("GET", "http://x/")
    with pytest.raises(RuntimeError, match="^request is not started$"):
        request.await_response()
    for method in (request.next_body, request.read_body):
        with pytest.raises(RuntimeError, match="^request body stream is not started$"):
            method()
    request.start()
    ident = core.last_id("request")
    core.response(ident, 201)
    assert request.await_response().status_code == 201
    with pytest.raises(RuntimeError, match="^request is not started$"):
        request.await_response()


def test_start_stream(core, engine):
    request = engine.request("GET", "http://x/")
    core.auto_respond(b"body!")
    response = request.start_stream()
    assert (response.status_code, response.content) == (200, b"")
    assert bytes(request.read_body()) == b"body!"
    with pytest.raises(RuntimeError, match="^request is not started$"):
        request.await_response()


def test_start_stream_failure(core, engine):
    request = engine.request("GET", "http://x/")
    core.script("hy_request_start", 9)
    with pytest.raises(RuntimeError, match="^Tls$"):
        request.start_stream()


def test_manual_redirect_walk(core, engine):
    request = engine.request("POST", "http://x/", body=b"b", allow_redirects=False)
    request.start()
    ident = core.last_id("request")
    hops = [(302, b"http://a/", b"GET"), (307, b"http://b/", b"GET")]
    seen = []
    for status, location, method in hops:
        waiter = Background(request.wait_manual, 30)
        core.redirect(ident, status, b"HTTP/1.1 3xx\r\n\r\n", location, method)
        redirect, head = waiter.join()
        assert head is None
        seen.append(redirect[0])
        request.follow_redirect()
    waiter = Background(request.wait_manual, 30)
    core.response(ident, 200, b"H")
    assert waiter.join() == (None, (200, [72]))
    core.data(ident, b"end")
    core.complete(ident)
    assert bytes(request.read_body()) == b"end"
    assert seen == [302, 307] and core.calls("hy_request_follow_redirect") == 2


def test_wait_manual_times_out(core, engine):
    request, _ = started(core, engine)
    assert request.wait_manual(0.06) == (None, None)
    assert request.wait_manual(timeout=0) == (None, None)


def test_wait_manual_reports_failures(core, engine):
    request, ident = started(core, engine)
    core.complete(ident, 6, -7)
    with pytest.raises(RuntimeError) as info:
        request.wait_manual(5)
    assert str(info.value) == "Timeout (Chromium net error -7)"
    # Redirect waits report a failure every time, by its kind alone.
    with pytest.raises(RuntimeError, match="^Timeout$"):
        request.wait_manual(5)


def test_wait_manual_docstring():
    import vesper_native36 as native
    assert native.PyRequest.wait_manual.__doc__ == (
        "Blocks until the Core reports a deferred redirect or the response\n"
        "headers arrive, whichever happens first.  See the modern binding for the\n"
        "reasoning: waiting only on the response would hang in manual mode.")


def test_cancel_while_another_thread_reads(core, engine):
    request, ident = started(core, engine)
    core.response(ident)
    request.await_response()
    reader = Background(request.next_body)
    request.cancel()
    assert core.calls("hy_request_cancel") == 1
    core.complete(ident, 7, -3)
    with pytest.raises(RuntimeError) as info:
        reader.join()
    assert str(info.value) == "Canceled (Chromium net error -3)"


def test_cancel_refused_still_finishes(core, engine):
    request, _ = started(core, engine)
    core.script("hy_request_cancel", 5)
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        request.cancel()
    # The start slot was emptied all the same.
    with pytest.raises(RuntimeError, match="^request is not started$"):
        request.await_response()


@pytest.mark.parametrize("method, function", [
    ("resume_read", "hy_request_resume_read"), ("follow_redirect", "hy_request_follow_redirect"),
])
def test_core_refusals(core, engine, method, function):
    request = engine.request("GET", "http://x/")
    getattr(request, method)()
    core.script(function, 12)
    with pytest.raises(RuntimeError, match="^Redirect$"):
        getattr(request, method)()
    assert core.calls(function) == 2


def test_two_threads_blocked_on_one_request(core, engine):
    request, ident = started(core, engine)
    head = Background(request.await_response)
    redirect = Background(request.wait_redirect, 30)
    core.redirect(ident, 301, b"", b"http://n/", b"GET")
    core.response(ident, 200)
    assert head.join().status_code == 200
    assert redirect.join() == (301, [], "http://n/", "GET")


def test_several_readers_take_each_chunk_once(core, engine):
    request, ident = started(core, engine)
    core.response(ident)
    request.await_response()
    got = []
    lock = threading.Lock()

    def read():
        while (chunk := request.next_body()) is not None:
            with lock:
                got.append(bytes(chunk))

    readers = [Background(read) for _ in range(3)]
    expected = [str(i).encode() for i in range(200)]
    for chunk in expected:
        core.data(ident, chunk)
    core.complete(ident)
    for reader in readers:
        reader.join()
    assert sorted(got) == sorted(expected)


def test_uploads(core, engine):
    request = engine.request("PUT", "http://x/", chunked=True)
    request.start()
    request.upload_write(b"ab", False)
    request.upload_write(data=[], final_chunk=False)
    request.upload_write(bytearray(b"c"), True)
    request.upload_finish()
    uploads = core.records("upload")
    assert [(u["data"]["null"], u["data"]["len"], u["final"]) for u in uploads] == [
        (False, 2, 0), (True, 0, 0), (False, 1, 1), (True, 0, 1)]
    assert bytes.fromhex(uploads[0]["data"]["hex"]) == b"ab"


def test_upload_failures(core, engine):
    request = engine.request("PUT", "http://x/", chunked=True)
    with pytest.raises(TypeError, match="^argument 'data': "):
        request.upload_write("text", False)
    with pytest.raises(TypeError, match="^argument 'final_chunk': "):
        request.upload_write(b"x", 1)
    with pytest.raises(TypeError, match="missing 2 required positional arguments: 'data' and 'final_chunk'"):
        request.upload_write()
    with pytest.raises(TypeError, match="takes 0 positional arguments but 1 was given"):
        request.upload_finish(1)
    # The Core's queue-only write where it has one, else the specified write.
    writer = "hy_request_upload_push" if "hy_request_upload_push" in native.core_extensions else "hy_request_upload_write"
    assert core.calls(writer) == 0
    core.script(writer, 5)
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        request.upload_finish()


def test_none_methods_refuse_arguments(core, engine):
    request = engine.request("GET", "http://x/")
    with pytest.raises(TypeError, match=r"^PyRequest.cancel\(\) takes no arguments \(1 given\)$"):
        request.cancel(1)
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        request.is_finished(x=1)
