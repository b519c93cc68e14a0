"""Runs every member of the native module against local servers and checks
each value it returns against the stub's return annotation.

Usage: stub_scenarios.py HTTP_BASE WS_BASE.  Prints one JSON object:
{"Class.member": [problem, ...], ...}, an empty list for a member whose
values all matched.  Runs in a child process of the test, which bounds it
in time: a blocking wait that never returned would otherwise hang the suite.
"""
from __future__ import annotations

import collections
import json
import sys
import threading
import time
import traceback
from typing import Any, Callable

import typeguard

import stub_model
import vesper_native36 as native


def kind_name(event: Any) -> str:
    """The kind text of a specified event tuple or of an event record."""
    if isinstance(event, (native.RequestEvent, native.WebSocketEvent)):
        names = [n for n in vars(type(event)) if n.isupper() and getattr(type(event), n) == event.kind]
        return names[0].lower()
    return str(event[0])

DEADLINE = 10.0  # seconds, for every request, handshake and poll loop


class FakeLoop:
    """Takes call_soon_threadsafe from Core threads and only counts it."""

    def __init__(self) -> None:
        self.woken = threading.Event()

    def call_soon_threadsafe(self, callback: Callable[[], object]) -> None:
        self.woken.set()


class Recorder:
    def __init__(self, stub: stub_model.Stub) -> None:
        self.stub = stub
        self.types = stub_model.Evaluator(stub, native)
        self.problems: dict[str, list[str]] = collections.defaultdict(list)
        # "Class.member.parameter" -> what leaving the parameter out did.
        self.defaults: dict[str, object] = {}

    def _check(self, owner: str, name: str, value: object) -> None:
        key = f"{owner}.{name}"
        member = self.stub.classes[owner].members.get(name)
        if member is None:
            self.problems[key].append("not in the stub")
            return
        self.problems[key]  # exercised, even if it finds nothing wrong
        expected: Any = native.__dict__[owner] if member.kind == "constructor" else (
            None if member.returns is None else self.types.eval(member.returns))
        try:
            typeguard.check_type(value, expected,
                                 collection_check_strategy=typeguard.CollectionCheckStrategy.ALL_ITEMS)
        except typeguard.TypeCheckError as error:
            self.problems[key].append(f"returned {value!r:.200}: {error}")

    def call(self, obj: object, name: str, *args: object, **kwargs: object) -> Any:
        owner = obj.__name__ if isinstance(obj, type) else type(obj).__name__
        value = getattr(obj, name)(*args, **kwargs)
        self._check(owner, name, value)
        return value

    def new(self, cls: type, **kwargs: object) -> Any:
        value = cls(**kwargs)
        self._check(cls.__name__, "__init__", value)
        return value

    def get(self, obj: object, name: str) -> Any:
        value = getattr(obj, name)
        self._check(type(obj).__name__, name, value)
        return value


def until(predicate: Callable[[], object], what: str) -> Any:
    deadline = time.monotonic() + DEADLINE
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.005)
    raise TimeoutError(what)


def http_scenarios(r: Recorder, base: str) -> None:
    r.call(native.PyEngine, "abi_version")
    r.call(native.PyEngine, "core_version")
    engine = r.new(native.PyEngine, http_version="h1", cache=False)
    r.call(engine, "cookies", "example.test\tFALSE\t/\tFALSE\t0\tn\tv")

    # Whole body.
    req = r.call(engine, "request", "GET", f"{base}/echo", headers=[("x-a", "1")], timeout=DEADLINE)
    r.call(req, "is_finished")
    r.call(req, "start")
    response = r.call(req, "await_response")
    for name in ("status_code", "headers", "content"):
        r.get(response, name)
    r.call(req, "read_body")
    r.call(req, "next_body")  # at the end: None
    r.call(req, "take_redirects")

    # Streamed body.
    req = r.call(engine, "request", "GET", f"{base}/bytes?n=200000&chunk=4096", timeout=DEADLINE)
    r.call(req, "start_stream")
    for _ in range(10_000):
        if r.call(req, "next_body") is None:
            break
    r.call(req, "resume_read")
    until(lambda: r.call(req, "is_finished"), "end of the streamed request")

    # Redirects, one hop at a time.
    req = r.call(engine, "request", "GET", f"{base}/redirect?to=/echo", redirect="manual", timeout=DEADLINE)
    r.call(req, "start")
    for _ in range(10):
        hop, head = r.call(req, "wait_manual", DEADLINE)
        if head is not None:
            break
        if hop is not None:
            r.call(req, "follow_redirect")
    r.call(req, "read_body")
    req = r.call(engine, "request", "GET", f"{base}/redirect?to=/echo", redirect="manual", timeout=DEADLINE)
    r.call(req, "start_for_wait")
    for _ in range(10):
        hop, head = r.call(req, "wait_manual_bytes", DEADLINE)
        if head is not None:
            break
        if hop is not None:
            r.call(req, "follow_redirect")
    r.call(req, "read_body")
    req = r.call(engine, "request", "GET", f"{base}/redirect-chain?n=2", timeout=DEADLINE)
    r.call(req, "start")
    r.call(req, "await_response")
    r.call(req, "read_body")
    r.call(req, "take_redirects")
    req = r.call(engine, "request", "GET", f"{base}/redirect-chain?n=2", timeout=DEADLINE)
    r.call(req, "start")
    r.call(req, "await_response")
    r.call(req, "read_body")
    r.call(req, "take_redirects_bytes")
    req = r.call(engine, "request", "GET", f"{base}/redirect?to=/echo", timeout=DEADLINE)
    r.call(req, "record_sent_heads")
    r.call(req, "start")
    r.call(req, "await_response")
    r.call(req, "read_body")
    r.call(req, "sent_heads_bytes")
    # The request extensions: a declared upload length, a redirect limit,
    # whether the cache answered, phase limits.
    req = r.call(engine, "request", "PUT", f"{base}/echo", chunked=True, timeout=DEADLINE)
    r.call(req, "set_upload_length", 3)
    r.call(req, "set_max_redirects", 30)
    r.call(req, "set_timeouts", DEADLINE, DEADLINE, write=DEADLINE, pool=None)
    r.call(req, "start")
    req.upload_write(b"abc", True)
    r.call(req, "await_response")
    r.call(req, "read_body")
    r.call(req, "from_cache")
    req = r.call(engine, "request", "GET", f"{base}/redirect?to=/echo", allow_redirects=False, timeout=DEADLINE)
    r.call(req, "start")
    r.call(req, "wait_redirect", timeout=DEADLINE)
    r.call(req, "wait_redirect", 0)
    r.call(req, "cancel")

    # Bytes reads.
    req = r.call(engine, "request", "GET", f"{base}/bytes?n=70000&chunk=4096", timeout=DEADLINE)
    r.call(req, "start")
    r.call(req, "wait_response", DEADLINE)
    r.call(req, "read_chunk", timeout=DEADLINE)
    r.call(req, "readinto", bytearray(1000), DEADLINE)
    r.call(req, "readinto", memoryview(bytearray(10)))
    r.call(req, "read_exact", 5000, DEADLINE)
    r.call(req, "read_some", 3000, DEADLINE)
    r.call(req, "read_all", DEADLINE)
    r.call(req, "read_exact", 10)  # at the end: b""
    r.call(req, "read_some", 10)  # at the end: b""
    r.call(req, "read_chunk")  # at the end: b""
    r.call(req, "readinto", bytearray(10))  # at the end: 0
    req = r.call(engine, "request", "POST", f"{base}/upload", body=memoryview(b"body"), timeout=DEADLINE)
    r.call(req, "start")
    r.call(req, "wait_response")
    r.call(req, "read_all")

    # Streamed upload.
    req = r.call(engine, "request", "POST", f"{base}/upload", chunked=True, timeout=DEADLINE)
    r.call(req, "start")
    r.call(req, "upload_write", b"abc", False)
    r.call(req, "upload_write", memoryview(b"def"), False)
    r.call(req, "upload_finish")
    r.call(req, "await_response")
    r.call(req, "read_body")
    # Queued without waiting for room (an event loop's writer).
    req = r.call(engine, "request", "POST", f"{base}/upload", chunked=True, timeout=DEADLINE)
    r.call(req, "start")
    r.call(req, "upload_offer", b"abc", False)
    r.call(req, "upload_held")
    r.call(req, "upload_offer", b"", True)
    r.call(req, "await_response")
    r.call(req, "read_body")

    # Events: started with a notifier, and attached before a plain start.
    loop = FakeLoop()
    req = r.call(engine, "request", "GET", f"{base}/bytes?n=70000&chunk=1000", timeout=DEADLINE)
    r.call(req, "start_async", loop, lambda: None)
    terminal = False
    deadline = time.monotonic() + DEADLINE
    while not terminal and time.monotonic() < deadline:
        loop.woken.wait(0.05)
        loop.woken.clear()
        events = r.call(req, "poll_events", 16)
        terminal = bool(events) and events[-1][0] in ("done", "error")
    r.call(req, "detach_callback")
    # The bytes form, with a redirect event too.
    req = r.call(engine, "request", "GET", f"{base}/redirect?to=/bytes%3Fn%3D5000", timeout=DEADLINE)
    r.call(req, "attach_async", loop, lambda: None)
    r.call(req, "start")
    kinds: list[str] = []
    deadline = time.monotonic() + DEADLINE
    while (not kinds or kinds[-1] not in ("done", "error")) and time.monotonic() < deadline:
        kinds += [kind_name(event) for event in r.call(req, "poll_events_bytes", 4)]
        time.sleep(0.002)
    if kinds[0] != "redirect" or kinds[-1] != "done":
        raise RuntimeError(f"unexpected events {kinds}")

    # The default batch sizes: more events are queued than one batch holds
    # (a chunked answer comes as one body event per HTTP chunk).
    many_chunks = f"{base}/bytes?n=100000&chunk=1000&chunked=1"
    for method in ("poll_events", "poll_events_bytes"):
        req = r.call(engine, "request", "GET", many_chunks, timeout=DEADLINE)
        r.call(req, "attach_async", loop, lambda: None)
        r.call(req, "start")
        until(lambda: r.call(req, "is_finished"), "the whole body queued")
        r.defaults[f"PyRequest.{method}.limit"] = len(r.call(req, method))
        r.call(req, "cancel")
    # The hub gives two events per request (its head and its end), the body
    # staying in the request.
    hub = native.PyEventHub(loop, lambda: None)
    requests = [r.call(engine, "request", "GET", f"{base}/echo", timeout=DEADLINE) for _ in range(150)]
    for req in requests:
        r.call(req, "start_hub", hub, None)
    until(lambda: all(req.is_finished() for req in requests), "the 150 answers")
    r.defaults["PyEventHub.poll.limit"] = len(r.call(hub, "poll"))
    r.call(requests[0], "take_available")          # the whole echo
    r.call(requests[0], "take_available", 10)      # at the end: b""
    hub.close()

    # A hub for several requests.
    hub = r.new(native.PyEventHub, loop=loop, notify=lambda: None)
    requests = [r.call(engine, "request", "GET", f"{base}/echo?i={i}", timeout=DEADLINE) for i in range(3)]
    for i, req in enumerate(requests):
        r.call(req, "start_hub", hub, i)
    r.call(hub, "pending_count")
    ended = set()
    deadline = time.monotonic() + DEADLINE
    while len(ended) < 3 and time.monotonic() < deadline:
        loop.woken.wait(0.05)
        loop.woken.clear()
        ended |= {tag for tag, event in r.call(hub, "poll", 8) if kind_name(event) in ("ended", "error")}
    if ended != {0, 1, 2}:
        raise RuntimeError(f"hub ended {ended}")
    r.call(hub, "detach", requests[0])  # already detached: False
    r.call(hub, "is_closed")
    r.call(hub, "close")

    # The engine's loop driven from this thread: a request's events come
    # out of the hub right after the round that ran its callbacks.
    hub = native.PyEventHub(loop, lambda: None)
    r.call(engine, "loop_attach")
    req = r.call(engine, "request", "GET", f"{base}/echo", timeout=DEADLINE)
    req.start_hub(hub, "driven")
    deadline = time.monotonic() + DEADLINE
    seen: list[str] = []
    while "ended" not in seen and time.monotonic() < deadline:
        due = r.call(engine, "loop_drive", hub)
        seen += [kind_name(event) for tag, event in hub.poll()]
        time.sleep(min(due or 0.0, 0.01))
    if "ended" not in seen:
        raise RuntimeError(f"driven request events {seen}")
    r.call(engine, "loop_detach")
    r.call(engine, "loop_detach")  # not attached any more: False
    r.call(engine, "loop_drive", hub)  # not attached: None
    hub.close()
    req = r.call(engine, "request", "GET", f"{base}/echo", timeout=DEADLINE)
    r.call(req, "attach_async", loop, lambda: None)
    r.call(req, "start")
    until(lambda: (e := r.call(req, "poll_event")) is not None and e[0] in ("done", "error"), "request events")
    r.call(req, "poll_event")  # after the terminal event: None


def websocket_scenarios(r: Recorder, base: str) -> None:
    engine = native.PyEngine()
    ws = r.call(engine, "websocket", f"{base}/echo", origin="http://127.0.0.1", protocols=["chat"],
                timeout=DEADLINE)
    r.call(ws, "is_finished")
    r.call(ws, "connect")
    event = r.call(ws, "recv")
    if event is None or event[0] != "open":
        raise RuntimeError(f"expected open, got {event!r}")
    r.call(ws, "send_text", "hé")
    r.call(ws, "recv")
    r.call(ws, "send_bytes", b"\x00\xff")
    r.call(ws, "recv")
    r.call(ws, "send_bytes", bytearray(b"\x01"))
    r.call(ws, "recv")
    r.call(ws, "close", 1000, "bye")
    for _ in range(10):
        event = r.call(ws, "recv")
        if event is None or event[0] in ("closed", "error"):
            break
    r.call(ws, "recv")  # finished and drained: None

    loop = FakeLoop()
    ws = r.call(engine, "websocket", f"{base}/echo", timeout=DEADLINE)
    r.call(ws, "start_async", loop, lambda: None)
    until(lambda: r.call(ws, "poll_events"), "the open event")
    r.call(ws, "send_text", "x")
    until(lambda: r.call(ws, "poll_event"), "the echo")
    r.call(ws, "poll_event")  # nothing queued: None
    r.call(ws, "detach_callback")
    r.call(ws, "cancel")

    ws = r.call(engine, "websocket", f"{base}/echo", timeout=DEADLINE)
    r.call(ws, "set_timeouts", DEADLINE, handshake=None)
    r.call(ws, "connect")
    r.call(ws, "recv_message", DEADLINE)  # open
    r.call(ws, "send_text", "t")
    r.call(ws, "send_bytes", b"b")
    r.call(ws, "recv_message", timeout=DEADLINE)
    until(lambda: r.call(ws, "poll_events_bytes", 4), "the binary echo")
    r.call(ws, "close", 1000, "")

    hub = native.PyEventHub(loop, lambda: None)
    ws = r.call(engine, "websocket", f"{base}/echo", timeout=DEADLINE)
    r.call(ws, "start_hub", hub, "ws")
    until(lambda: r.call(hub, "poll"), "the open event through the hub")
    r.call(ws, "send_text", "via hub")
    until(lambda: r.call(hub, "poll"), "the echo through the hub")
    # A large message comes out of the hub unmade.
    r.call(ws, "send_bytes", bytes(5000))
    tag, event = until(lambda: r.call(hub, "poll"), "the large echo through the hub")[0]
    r.get(event.payload, "pending_bytes")
    r.call(event.payload, "take")
    r.get(event.payload, "pending_bytes")  # 0 once taken
    r.call(hub, "detach", ws)  # True
    r.call(ws, "cancel")
    hub.close()


def main() -> None:
    recorder = Recorder(stub_model.load())
    failures = []
    for scenarios, base in ((http_scenarios, sys.argv[1]), (websocket_scenarios, sys.argv[2])):
        try:
            scenarios(recorder, base)
        except Exception as error:  # reported to the test, which fails on it
            where = traceback.extract_tb(error.__traceback__)[-2:]
            lines = "; ".join(f"line {frame.lineno}: {frame.line}" for frame in where)
            failures.append(f"{scenarios.__name__}: {type(error).__name__}: {error} ({lines})")
    print(json.dumps({"members": recorder.problems, "defaults": recorder.defaults, "failures": failures}))


if __name__ == "__main__":
    main()
