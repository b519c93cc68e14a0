"""The named conversions, seen through the parameters that use them."""
import math

import pytest

from conftest import native, text_of


class Text(str):
    pass


def request_record(core, engine, *args, **kwargs):
    engine.request(*args, **kwargs)
    return core.record("request")


def test_headers_as_dict_refused(core, engine):
    with pytest.raises(TypeError) as info:
        engine.request("GET", "http://x/", headers={"a": "b"})
    assert str(info.value) == "argument 'headers': 'dict' object cannot be converted to 'Sequence'"
    assert core.calls("hy_request_create") == 0


@pytest.mark.parametrize("headers, exc, message", [
    ([("a", "b", "c")], ValueError, "Expected tuple of length 2, but got tuple of length 3."),
    ([["a", "b"]], TypeError, "argument 'headers': 'list' object cannot be converted to 'PyTuple'"),
    ([("a", 1)], TypeError, "argument 'headers': 'int' object cannot be converted to 'PyString'"),
    (5, TypeError, "argument 'headers': 'int' object cannot be converted to 'Sequence'"),
])
def test_header_failures(core, engine, headers, exc, message):
    with pytest.raises(exc) as info:
        engine.request("GET", "http://x/", headers=headers)
    assert type(info.value) is exc and str(info.value) == message


def test_header_sequences_of_any_kind(core, engine):
    record = request_record(core, engine, "GET", "http://x/", headers=(("A", "1"), Text("b") and ("b", Text("2"))))
    assert [(text_of(h["name"]), text_of(h["value"])) for h in record["headers"]] == [(b"A", b"1"), (b"b", b"2")]


@pytest.mark.parametrize("body, sent", [
    (b"\x00\xff", b"\x00\xff"), (bytearray(b"ab"), b"ab"), ([1, 2, 255], b"\x01\x02\xff"),
    ((7,), b"\x07"), (memoryview(b"mv"), b"mv"), ("", None),
])
def test_body_sequences(core, engine, body, sent):
    record = request_record(core, engine, "POST", "http://x/", body=body)
    assert record["body_kind"] == 1
    assert text_of(record["body"]) == sent


@pytest.mark.parametrize("body, exc, message", [
    ([256], OverflowError, "out of range integral type conversion attempted"),
    ([-1], OverflowError, "out of range integral type conversion attempted"),
    ([2 ** 70], OverflowError, None),
    ("abc", TypeError, "argument 'body': "),
    ([1.5], TypeError, "argument 'body': "),
    (5, TypeError, "argument 'body': 'int' object cannot be converted to 'Sequence'"),
])
def test_body_failures(core, engine, body, exc, message):
    with pytest.raises(exc) as info:
        engine.request("POST", "http://x/", body=body)
    assert type(info.value) is exc
    if message:
        assert str(info.value).startswith(message)
    assert core.calls("hy_request_create") == 0


def test_iteration_error_passes_unchanged(core, engine):
    class Broken:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        engine.request("POST", "http://x/", body=Broken())


@pytest.mark.parametrize("value", [1, None, 0.0, "true"])
@pytest.mark.parametrize("param", ["allow_redirects", "chunked"])
def test_flags_accept_only_bools(core, engine, param, value):
    with pytest.raises(TypeError) as info:
        engine.request("GET", "http://x/", **{param: value})
    assert str(info.value).startswith(f"argument '{param}': '")
    assert str(info.value).endswith("' object cannot be converted to 'PyBool'")


@pytest.mark.parametrize("timeout, ms", [
    (None, 0), (0, 0), (-0.0, 0), (1e-9, 1), (0.0004, 1), (1.5, 1500), (5, 5000), (0.0015, 2), (2.9999999, 3000),
    (1e15, 10 ** 18),
])
def test_timeouts(core, engine, timeout, ms):
    assert request_record(core, engine, "GET", "http://x/", timeout=timeout)["timeout_ms"] == ms


def test_timeout_saturates(core, engine):
    # 1e18 seconds fit a duration but not a count of milliseconds.
    assert request_record(core, engine, "GET", "http://x/", timeout=1e18)["timeout_ms"] == 2 ** 64 - 1


@pytest.mark.parametrize("timeout", [-0.001, math.nan, math.inf, -math.inf])
def test_bad_timeouts(core, engine, timeout):
    with pytest.raises(RuntimeError) as info:
        engine.request("GET", "http://x/", timeout=timeout)
    assert str(info.value) == "timeout must be a finite non-negative number"
    assert core.calls("hy_request_create") == 0


@pytest.mark.parametrize("timeout", [2.0 ** 64, 1e20, 1e300])
def test_timeout_too_big_is_refused(core, engine, timeout):
    # User input, not an internal fault: an ordinary OverflowError.
    with pytest.raises(OverflowError, match="timeout is too large"):
        engine.request("GET", "http://x/", timeout=timeout)
    with pytest.raises(OverflowError, match="timeout is too large"):
        engine.websocket("ws://x/", timeout=timeout)
    assert core.calls("hy_request_create") == 0


def test_timeout_type_errors(core, engine):
    with pytest.raises(TypeError, match="^argument 'timeout': must be real number, not str$"):
        engine.request("GET", "http://x/", timeout="1")

    class Seconds:
        def __float__(self):
            return 2.0

    assert request_record(core, engine, "GET", "http://x/", timeout=Seconds())["timeout_ms"] == 2000


def test_timeout_check_runs_after_conversions(core, engine):
    # The bad flag is reported although the timeout comes first.
    with pytest.raises(TypeError, match="chunked"):
        engine.request("GET", "http://x/", timeout=-1, chunked=1)


def test_text_conversions(core, engine):
    record = request_record(core, engine, Text("PUT"), Text("http://x/é"))
    assert (text_of(record["method"]), text_of(record["url"])) == (b"PUT", "http://x/é".encode())
    with pytest.raises(TypeError) as info:
        engine.request(b"GET", "http://x/")
    assert str(info.value) == "argument 'method': 'bytes' object cannot be converted to 'PyString'"
    with pytest.raises(UnicodeEncodeError):
        engine.request("GET", "http://x/\ud800")


def test_surrogate_in_keyword_name_message(core):
    with pytest.raises(TypeError) as info:
        native.PyEngine(**{"bad\ud800": 1})
    assert str(info.value) == "PyEngine.__new__() got an unexpected keyword argument 'bad\ufffd\ufffd\ufffd'"


@pytest.mark.parametrize("limit, exc", [(-1, OverflowError), (None, TypeError), (1.0, TypeError)])
def test_limit_conversion(core, engine, limit, exc):
    request = engine.request("GET", "http://x/")
    with pytest.raises(exc) as info:
        request.poll_events(limit)
    if exc is TypeError:
        assert str(info.value).startswith("argument 'limit': ")


@pytest.mark.parametrize("code", [65536, -1, 2 ** 80])
def test_close_code_range(core, engine, code):
    socket = engine.websocket("ws://x/")
    with pytest.raises(OverflowError):
        socket.close(code, "")
    assert core.calls("hy_websocket_close") == 0


def test_protocols_text_list(core, engine):
    with pytest.raises(TypeError) as info:
        engine.websocket("ws://x/", protocols=5)
    assert str(info.value) == "argument 'protocols': 'int' object cannot be converted to 'Sequence'"
    with pytest.raises(TypeError) as info:
        engine.websocket("ws://x/", protocols=["a", 1])
    assert str(info.value) == "argument 'protocols': 'int' object cannot be converted to 'PyString'"
