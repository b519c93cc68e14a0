"""PyWebSocket.set_timeouts and the phase a WebSocket's timeout names: the
limits reach the Core's record, bad values stop before it, and the error
event's CoreFailure carries the phase the Core reports."""
import pytest
from event_tuples import as_tuple

from conftest import native
from test_websocket import connected

pytestmark = pytest.mark.core_extension("hy_websocket_set_timeouts", "hy_websocket_timeout_phase")


@pytest.mark.parametrize("args, kwargs, limits", [
    ((1, 2.5), {}, (1000, 2500)),
    ((), {"handshake": 0.0004}, (0, 1)),      # under a millisecond stays a limit
    ((None,), {"handshake": 0}, (0, 0)),       # 0: none, as in every Core record
    ((), {}, (0, 0)),
])
def test_phase_limits_reach_the_core(core, engine, args, kwargs, limits):
    socket = engine.websocket("ws://x/")
    assert socket.set_timeouts(*args, **kwargs) is None
    record = core.record("ws_timeouts")
    assert (record["size"], record["abi"], record["id"]) == (24, native.PyEngine.abi_version(),
                                                             core.last_id("websocket"))
    assert (record["connect_ms"], record["handshake_ms"]) == limits


@pytest.mark.parametrize("kwargs, error, text", [
    ({"handshake": -1}, RuntimeError, "timeout must be a finite non-negative number"),
    ({"connect": float("inf")}, RuntimeError, "timeout must be a finite non-negative number"),
    ({"connect": "5"}, TypeError, "connect"),
    ({"read": 1}, TypeError, "read"),
])
def test_bad_limits_are_refused_before_the_core(core, engine, kwargs, error, text):
    with pytest.raises(error, match=text):
        engine.websocket("ws://x/").set_timeouts(**kwargs)
    assert core.calls("hy_websocket_set_timeouts") == 0


def test_limits_refused_by_the_core_raise_its_code(core, engine):
    core.script("hy_websocket_set_timeouts", 5)
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        engine.websocket("ws://x/").set_timeouts(1)


@pytest.mark.parametrize("code, phase, name", [
    (6, 1, "connect"), (6, 6, "handshake"), (6, 5, "total"),
    (6, 0, None), (6, 99, None),   # none, or one this module does not know
    (8, 6, None),                  # only a timeout asks for its phase
])
@pytest.mark.parametrize("read", ["recv_message", "poll_events_bytes"])
def test_a_timeout_names_its_phase(core, engine, code, phase, name, read):
    socket, ident = connected(core, engine)
    core.ws_set_timeout_phase(ident, phase)
    core.ws_error(ident, code, -118 if phase == 1 else -7, 0, b"timed out")
    event = socket.recv_message(5) if read == "recv_message" else socket.poll_events_bytes(5)[0]
    kind, _, _, failure = as_tuple(event)
    assert kind == "error"
    assert isinstance(failure, native.CoreFailure)
    assert (failure.kind, failure.timeout_phase) == (code, name)
    assert core.calls("hy_websocket_timeout_phase") == (1 if code == 6 else 0)


def test_the_list_form_keeps_its_text(core, engine):
    # The specified recv() gives the same failure text with a phase as without.
    texts = []
    for phase in (6, 0):
        socket, ident = connected(core, engine)
        core.ws_set_timeout_phase(ident, phase)
        core.ws_error(ident, 6, -7, 0, b"")
        texts.append(socket.recv(5))
    assert texts[0] == texts[1]
    assert texts[0][0] == "error" and "-7" in texts[0][3]
