"""Bounded waits on native WebSockets for the live tests."""
import time


def next_event(ws, timeout=10.0):
    """The next event, polled without blocking; fails after `timeout`."""
    deadline = time.monotonic() + timeout
    while True:
        event = ws.poll_event()
        if event is not None:
            return event
        finished = ws.is_finished()
        if finished and (event := ws.poll_event()) is not None:
            return event
        if finished or time.monotonic() > deadline:
            raise AssertionError(f"no event within {timeout} s (finished: {ws.is_finished()})")
        time.sleep(0.0005)


def events_until_end(ws, timeout=10.0):
    """Every event up to and including the terminal one."""
    events = []
    while not events or events[-1][0] not in ("closed", "error"):
        events.append(next_event(ws, timeout))
    return events


def opened(engine, url, **kwargs):
    """A connected WebSocket whose "open" event was taken; returns (ws, open event)."""
    ws = engine.websocket(url, **kwargs)
    ws.connect()
    event = next_event(ws)
    assert event[0] == "open", event
    return ws, event


def close_cleanly(ws, code=1000, reason=""):
    ws.close(code, reason)
    events = events_until_end(ws)
    assert [e[0] for e in events][-2:] == ["closing", "closed"], events
    return events[-1]


def wait_finished(ws, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not ws.is_finished():
        assert time.monotonic() < deadline, "connection did not finish"
        time.sleep(0.005)
