"""Requests run one after another on one engine reuse the Core's transfer
handles: each must still go out with its own method, headers and body,
and none of an earlier request's options may carry over."""
import hashlib

from conftest import fetch

# (method, body, headers): each differs from its neighbours in what a
# handle left configured would change.
STEPS = [
    ("HEAD", None, [("X-Only-Head", "1")]),
    ("GET", None, []),
    ("POST", b"first body" * 50, [("X-Post", "yes")]),
    ("GET", None, []),
    ("PUT", b"x" * 3000, []),
    ("DELETE", None, []),
    ("CUSTOM", b"c", [("X-Custom", "z")]),
    ("GET", None, []),
]


ROUNDS = 3  # the handles kept from one round serve the next


def test_each_request_of_a_sequence_sends_only_its_own_options(engine, http):
    for round_index in range(ROUNDS):
        for step, (method, body, headers) in enumerate(STEPS):
            kwargs = {"headers": headers}
            if body is not None:
                kwargs["body"] = body
            answer = fetch(engine, method, f"{http}/echo?step={step}", **kwargs)
            where = f"round {round_index} step {step} {method}"
            assert answer.status == 200, where
            if method == "HEAD":
                assert answer.body == b"", where
                continue
            echoed = answer.json()
            assert echoed["method"] == method, where
            assert echoed["query"] == f"step={step}", where
            expected = body or b""
            assert echoed["body_len"] == len(expected), where
            assert echoed["body_sha256"] == hashlib.sha256(expected).hexdigest(), where
            sent = {name for name, _ in echoed["headers"] if name.startswith("x-")}
            assert sent == {name.lower() for name, _ in headers}, where


def test_streamed_upload_then_plain_get_on_one_engine(engine, http):
    request = engine.request("POST", f"{http}/echo", chunked=True)
    request.start()
    request.upload_write(b"streamed" * 1000, False)
    request.upload_finish()
    request.await_response()
    streamed = bytes(request.read_body())
    assert b'"body_len": 8000' in streamed
    answer = fetch(engine, "GET", f"{http}/echo").json()
    assert answer["method"] == "GET" and answer["body_len"] == 0
    assert not any(name == "transfer-encoding" for name, _ in answer["headers"])
