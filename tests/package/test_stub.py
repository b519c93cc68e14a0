"""The stub python/vesper_native36.pyi against the module it describes.

The module's methods carry no signatures to introspect, so the parameters
are probed through the module's own argument matching: every probe is a
call that the matching refuses before any method body runs (too many
positional arguments, a keyword given twice, an unknown keyword).
"""
from __future__ import annotations

import ast
import builtins
import json
import os
import pathlib
import re
import subprocess
import sys
import textwrap
from typing import Any, Callable

import pytest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "live"))

import stub_model  # noqa: E402
import stub_scenarios  # noqa: E402
import vesper_native36 as native  # noqa: E402
from servers.process import python_server  # noqa: E402

STUB = stub_model.load()
PROBE = "__probe__"
# More positional arguments than any method of the module takes.
TOO_MANY = (None,) * 13


@pytest.fixture(scope="module")
def engine() -> native.PyEngine:
    return native.PyEngine()


def pending_message(engine: native.PyEngine) -> object:
    """A PendingMessage: a large message echoed through an event hub."""
    server = python_server("run_websocket.py")
    try:
        hub = native.PyEventHub(stub_scenarios.FakeLoop(), lambda: None)
        ws = engine.websocket(f"ws://127.0.0.1:{server.port}/echo", timeout=stub_scenarios.DEADLINE)
        ws.start_hub(hub, "ws")
        stub_scenarios.until(hub.poll, "the open event through the hub")
        ws.send_bytes(bytes(5000))
        _tag, event = stub_scenarios.until(hub.poll, "the large echo through the hub")[0]
        ws.cancel()
        hub.close()
        return event.payload
    finally:
        server.stop()


@pytest.fixture(scope="module")
def instances(engine: native.PyEngine) -> dict[str, object]:
    """One idle instance of each class that has instance methods; nothing
    is started, so nothing reaches the network (but the PendingMessage,
    which only an echo through a hub makes)."""
    return {
        "PyEngine": engine,
        "PyRequest": engine.request("GET", "http://127.0.0.1:9/"),
        "PyWebSocket": engine.websocket("ws://127.0.0.1:9/"),
        "PyEventHub": native.PyEventHub(object(), lambda: None),
        "PendingMessage": pending_message(engine),
    }


def refusal(call: Callable[..., object], *args: object, **kwargs: object) -> str:
    """The TypeError text of a call that the argument matching must refuse."""
    with pytest.raises(TypeError) as caught:
        call(*args, **kwargs)
    return str(caught.value)


def runtime_arity(call: Callable[..., object]) -> tuple[int, int]:
    """(required, total) parameter counts, from the too-many message."""
    text = refusal(call, *TOO_MANY)
    if "takes no arguments" in text:
        return 0, 0
    if m := re.search(r"takes from (\d+) to (\d+) positional arguments", text):
        return int(m.group(1)), int(m.group(2))
    if m := re.search(r"takes (\d+) positional arguments", text):
        return int(m.group(1)), int(m.group(1))
    raise AssertionError(f"unexpected refusal: {text}")


def check_parameters(call: Callable[..., object], member: stub_model.Member) -> None:
    # Parameters added to a signature whose positional form is settled come
    # last and keyword-only (PyEngine's client certificate); all others are
    # positional-or-keyword.
    first_keyword_only = next((i for i, p in enumerate(member.params) if p.keyword_only), len(member.params))
    params, added = member.params[:first_keyword_only], member.params[first_keyword_only:]
    assert all(not p.keyword_only and not p.positional_only for p in params), \
        "every parameter of the module is positional-or-keyword"
    assert all(p.keyword_only and p.has_default for p in added), "additions are keyword-only, with a default"
    for param in added:
        # Known by name: given twice it is refused as a duplicate, not as unknown.
        text = refusal(call, **{param.name: None, PROBE: None})
        assert f"unexpected keyword argument '{PROBE}'" in text, text
        assert f"'{param.name}'" not in text, text
    required = sum(not p.has_default for p in params)
    assert all(not p.has_default for p in params[:required]), "defaults only after the required parameters"
    assert runtime_arity(call) == (required, len(params))
    for index, param in enumerate(params):
        # Given by position and again by keyword: the runtime names this
        # parameter only if it sits at this position under this name.  The
        # unknown keyword after it keeps every outcome a refusal.
        text = refusal(call, *TOO_MANY[: index + 1], **{param.name: None, PROBE: None})
        assert f"got multiple values for argument '{param.name}'" in text, text
    if params:
        text = refusal(call, **{PROBE: None})
        assert f"unexpected keyword argument '{PROBE}'" in text, text


def runtime_public(obj: object) -> set[str]:
    return {n for n in vars(obj) if not n.startswith("_")}


def test_module_names_and_all() -> None:
    assert STUB.public_names() == runtime_public(native)
    assert STUB.all == list(native.__all__)
    # Additions made after __all__ was settled stay out of it.
    assert STUB.public_names() - set(STUB.all) == {"PyEventHub", "PendingMessage", "core_extensions", "CoreFailure",
                                                   "NetworkThreadError", "failure_kinds", "RequestEvent",
                                                   "WebSocketEvent"}


@pytest.mark.parametrize("name", sorted(STUB.records))
def test_record_types(name: str) -> None:
    """The event records: tuples whose fields are those of the stub, in
    order, with distinct integer kind constants."""
    runtime = getattr(native, name)
    declared = STUB.records[name]
    assert issubclass(runtime, tuple) and runtime.__module__ == "vesper_native36" and runtime.__doc__
    assert runtime.n_fields == runtime.n_sequence_fields == len(declared.fields)
    values = [getattr(runtime, constant) for constant in declared.constants]
    assert all(type(value) is int for value in values) and len(set(values)) == len(values)
    constants = {n for n in vars(runtime) if n.isupper()}
    assert constants == set(declared.constants)
    record = runtime(range(len(declared.fields)))
    assert [getattr(record, field) for field in declared.fields] == list(range(len(declared.fields)))


@pytest.mark.parametrize("name", sorted(STUB.exceptions))
def test_exception_classes(name: str) -> None:
    runtime = getattr(native, name)
    declared = STUB.exceptions[name]
    assert isinstance(runtime, type) and issubclass(runtime, getattr(builtins, declared.base))
    assert runtime.__module__ == "vesper_native36" and runtime.__doc__


def test_module_attribute_types() -> None:
    types = stub_model.Evaluator(STUB, native)
    import typeguard

    for name, annotation in STUB.attributes.items():
        if name.startswith("__"):
            continue
        typeguard.check_type(getattr(native, name), types.eval(annotation))
    assert native.abi_version == native.PyEngine.abi_version()


@pytest.mark.parametrize("cls", [c for c in STUB.classes if not c.startswith("_")])
def test_class_members_and_finality(cls: str) -> None:
    runtime = getattr(native, cls)
    assert isinstance(runtime, type)
    declared = {n for n in STUB.classes[cls].members if not n.startswith("_")}
    assert declared == runtime_public(runtime)
    try:
        type("Sub", (runtime,), {})
        subclassable = True
    except TypeError:
        subclassable = False
    assert STUB.classes[cls].final == (not subclassable)


@pytest.mark.parametrize("cls", [c for c in STUB.classes if not c.startswith("_")])
def test_constructor(cls: str) -> None:
    runtime = getattr(native, cls)
    constructor = STUB.classes[cls].constructor
    if constructor is None:
        assert refusal(runtime) == "No constructor defined"
    else:
        check_parameters(runtime, constructor)


MEMBERS = [(c, m) for c, sc in STUB.classes.items() if not c.startswith("_")
           for m in sc.members if not m.startswith("_")]


@pytest.mark.parametrize(("cls", "name"), MEMBERS, ids=[f"{c}.{m}" for c, m in MEMBERS])
def test_member_kind_and_parameters(cls: str, name: str, instances: dict[str, object]) -> None:
    member = STUB.classes[cls].members[name]
    raw = vars(getattr(native, cls))[name]
    if member.kind == "property":
        assert type(raw).__name__ == "getset_descriptor"
        return
    if member.kind == "static":
        assert isinstance(raw, staticmethod)
        call = getattr(getattr(native, cls), name)
        assert runtime_arity(call) == (0, 0) and not member.params
        assert runtime_arity(getattr(instances[cls], name)) == (0, 0)
        return
    assert not isinstance(raw, (staticmethod, classmethod))
    check_parameters(getattr(instances[cls], name), member)


# ------------------------------------------------------------ return values

@pytest.fixture(scope="module")
def exercised() -> dict[str, Any]:
    """Runs every member against local servers in a child process."""
    http = python_server("run_http.py")
    ws = python_server("run_websocket.py")
    try:
        result = subprocess.run(
            [sys.executable, str(HERE / "stub_scenarios.py"), f"http://127.0.0.1:{http.port}",
             f"ws://127.0.0.1:{ws.port}"],
            capture_output=True, text=True, timeout=120, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
        )
    finally:
        http.stop()
        ws.stop()
    assert result.returncode == 0, result.stderr[-3000:]
    return json.loads(result.stdout)


def test_scenarios_ran_to_the_end(exercised: dict[str, Any]) -> None:
    assert exercised["failures"] == []


RUNTIME_MEMBERS = [(c, m) for c, sc in STUB.classes.items() if not c.startswith("_")
                   for m in sc.members if not m.startswith("_") or m == "__init__"]


@pytest.mark.parametrize(("cls", "name"), RUNTIME_MEMBERS, ids=[f"{c}.{m}" for c, m in RUNTIME_MEMBERS])
def test_returned_values_match_the_stub(cls: str, name: str, exercised: dict[str, Any]) -> None:
    key = f"{cls}.{name}"
    assert key in exercised["members"], f"{key} is not exercised by stub_scenarios.py"
    assert exercised["members"][key] == []


def test_observed_defaults_match_the_stub(exercised: dict[str, Any]) -> None:
    """The batch sizes of the pollers called without `limit`."""
    observed = exercised["defaults"]
    assert observed, "no default observed"
    for key, value in observed.items():
        cls, name, param = key.split(".")
        declared = next(p for p in STUB.classes[cls].members[name].params if p.name == param)
        assert declared.default is not None and ast.literal_eval(declared.default) == value, key


def test_scenarios_use_nothing_outside_the_stub(exercised: dict[str, Any]) -> None:
    outside = [k for k, problems in exercised["members"].items() if "not in the stub" in problems]
    assert outside == []


# ---------------------------------------------------------------- mypy

GOOD = '''
import asyncio
import vesper_native36 as native

def fetch(url: str) -> tuple[int, bytes]:
    engine = native.PyEngine(impersonate="chrome120", http_version="h2", ca_pem=b"pem", cache=False)
    request = engine.request("POST", url, headers=[("a", "b")], body=bytearray(b"x"), timeout=2.5,
                             redirect="manual", cache="bypass", priority="low")
    request.start()
    hop, head = request.wait_manual(1)
    if hop is not None:
        status, raw, first, second = hop
        print(status + 1, bytes(raw), first.upper(), second.upper())
    response = request.await_response()
    chunk = request.next_body()
    if chunk is not None:
        print(bytes(chunk))
    return response.status_code, response.headers + bytes(request.read_body())

def stream(url: str, sink: bytearray) -> int:
    request = native.PyEngine().request("PUT", url, body=memoryview(b"x"), chunked=True)
    request.start()
    request.upload_write(bytearray(b"part"), False)
    request.upload_finish()
    head = request.wait_response(timeout=5)
    chunk: bytes = request.read_chunk(0.5) + request.read_all()
    sink += chunk
    for event in request.poll_events_bytes():
        if event.kind == native.RequestEvent.BODY and event.data is not None:
            sink += event.data
    taken = request.take_available(max=1024)
    if taken is not None:
        sink += taken
    return head.status_code + request.readinto(memoryview(sink))

async def chat(url: str) -> None:
    ws = native.PyEngine().websocket(url, origin="http://a", protocols=("chat",), timeout=None)
    ws.start_async(asyncio.get_running_loop(), lambda: None)
    for kind, payload, code, text in ws.poll_events(limit=8):
        print(kind.upper(), bytes(payload), code, text)
    ws.close(1000, "bye")

async def many(urls: list[str]) -> dict[object, int]:
    hub = native.PyEventHub(asyncio.get_running_loop(), lambda: None)
    engine = native.PyEngine()
    for url in urls:
        engine.request("GET", url).start_hub(hub, url)
    statuses: dict[object, int] = {}
    for tag, event in hub.poll(limit=32):
        if isinstance(event, native.RequestEvent) and event.kind == native.RequestEvent.RESPONSE:
            statuses[tag] = event.status or 0
    ws = engine.websocket("ws://a/")
    ws.start_hub(hub, 1)
    message = ws.recv_message(timeout=0.1)
    if message is not None and isinstance(message.payload, str):
        print(message.payload.upper())
    print(hub.detach(ws), hub.pending_count(), hub.is_closed())
    hub.close()
    return statuses

version: int = native.abi_version + native.PyEngine.abi_version()
'''

# Each line marked "# E" must draw a mypy error, and no other line.
BAD = '''
import vesper_native36 as native
engine = native.PyEngine(http_version="h4")  # E
engine.request("GET")  # E
request = engine.request("GET", "u")
request.read_bodyy()  # E
body: str = request.read_body()  # E
engine.request("GET", "u", headers={"a": "b"})  # E
engine.request("GET", "u", allow_redirects=None)  # E
native.PyEngine(verify=None)  # E
request.await_response().status_code = 3  # E
class Sub(native.PyEngine): ...  # E
engine.websocket("u").recv().upper()  # E
request.readinto(5)  # E
chunk: list[int] = request.read_chunk()  # E
request.poll_events_bytes()[0].head.append(1)  # E
native.RequestEvent.BODY = "body"  # E
native.PyEventHub(None)  # E
native.PyEventHub(object(), print).detach("tag")  # E
'''


def run_mypy(tmp_path: pathlib.Path, source: str) -> subprocess.CompletedProcess[str]:
    sample = tmp_path / "sample.py"
    sample.write_text(textwrap.dedent(source))
    env = {**os.environ, "MYPYPATH": str(stub_model.STUB.parent)}
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
         "--python-version", "3.11", str(sample)],
        capture_output=True, text=True, timeout=120, env=env, cwd=tmp_path,
    )


def test_mypy_accepts_typed_use_of_the_module(tmp_path: pathlib.Path) -> None:
    result = run_mypy(tmp_path, GOOD)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_refuses_wrong_use_of_the_module(tmp_path: pathlib.Path) -> None:
    result = run_mypy(tmp_path, BAD)
    flagged = {int(m.group(1)) for m in re.finditer(r"sample\.py:(\d+): error", result.stdout)}
    marked = {i for i, line in enumerate(textwrap.dedent(BAD).splitlines(), 1) if line.endswith("# E")}
    assert flagged == marked, result.stdout


def test_mypy_accepts_the_stub_itself(tmp_path: pathlib.Path) -> None:
    env = {**os.environ, "MYPYPATH": str(stub_model.STUB.parent)}
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
         "--python-version", "3.10", str(stub_model.STUB)],
        capture_output=True, text=True, timeout=120, env=env, cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr
