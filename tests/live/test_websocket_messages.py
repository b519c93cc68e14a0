"""WebSocket messages through the module and the real Core: echo sizes with
and without compression and TLS, fragments, UTF-8, closing from either side,
and the module's event-queue bounds meeting a fast sender."""
import asyncio
import hashlib
import json

import pytest

from conftest import native
from event_tuples import as_tuple
from websocket_helpers import close_cleanly, events_until_end, next_event, opened, wait_finished

MIB = 1024 * 1024


@pytest.fixture(params=["deflate", "plain", "tls"])
def echo_url(request, ws_server, ws_plain_server, wss_server):
    server, scheme = {"deflate": (ws_server, "ws"), "plain": (ws_plain_server, "ws"),
                      "tls": (wss_server, "wss")}[request.param]
    return f"{scheme}://127.0.0.1:{server.port}"


def payload(size):
    return bytes((i * 31 + 7) % 251 for i in range(size)) if size < 4096 else bytes(range(251)) * (size // 251) + bytes(size % 251)


@pytest.mark.parametrize("size", [0, 1, 125, 126, 65535, 65536, MIB, 4 * MIB])
def test_echo_binary_and_text(engine, echo_url, size):
    ws, _ = opened(engine, f"{echo_url}/echo")
    data = payload(size)
    text = "é" * (size // 2) + "x" * (size % 2)
    ws.send_bytes(data)
    ws.send_text(text)
    kind, body, _, _ = next_event(ws, 30)
    assert kind == "binary" and len(body) == size and bytes(body) == data
    kind, body, _, _ = next_event(ws, 30)
    assert kind == "text" and bytes(body).decode() == text
    assert close_cleanly(ws, 1000, "done") == ("closed", [], 1000, "done")


def test_sixteen_mib_each_way(engine, echo_url):
    # 16 MiB crosses the Core both ways: the digest checks what the server
    # got, the echo passes the module's queue as its one large message.
    ws, _ = opened(engine, f"{echo_url}/digest")
    data = payload(16 * MIB)
    ws.send_bytes(data)
    kind, body, _, _ = next_event(ws, 60)
    assert (kind, bytes(body).decode()) == ("text", f"{len(data)} {hashlib.sha256(data).hexdigest()}")
    close_cleanly(ws)
    ws, _ = opened(engine, f"{echo_url}/echo")
    ws.send_bytes(data)
    kind, body, _, _ = as_tuple(ws.recv_message(60))
    assert kind == "binary" and body == data
    close_cleanly(ws)


def test_recv_blocks_until_the_echo(engine, ws_server):
    ws, _ = opened(engine, f"ws://127.0.0.1:{ws_server.port}/echo")
    for word in ("one", "two", "three"):
        ws.send_text(word)
        assert ws.recv() == ("text", list(word.encode()), None, None)
    ws.close(1000, "")
    assert ws.recv()[0] == "closing"
    assert ws.recv() == ("closed", [], 1000, "")
    assert ws.recv() is None


@pytest.mark.parametrize("server, accepted", [("ws_server", True), ("ws_plain_server", False)])
def test_compression_is_offered_and_used_when_accepted(engine, request, server, accepted):
    port = request.getfixturevalue(server).port
    ws, _ = opened(engine, f"ws://127.0.0.1:{port}/extensions")
    kind, body, _, _ = next_event(ws)
    assert bytes(body).decode().startswith("permessage-deflate") == accepted
    # Highly compressible messages in both directions.
    message = "abc" * 300000
    ws.send_text(message)
    assert bytes(next_event(ws)[1]).decode() == message
    close_cleanly(ws)


@pytest.mark.parametrize("parts", [1, 2, 10])
def test_fragmented_message_arrives_whole(engine, echo_url, parts):
    ws, _ = opened(engine, f"{echo_url}/fragments?parts={parts}")
    kind, body, _, _ = next_event(ws)
    assert kind == "text"
    assert bytes(body).decode() == "".join(f"fragment-{i}" for i in range(parts))
    close_cleanly(ws)


@pytest.mark.parametrize("parts, size", [(2, 10001), (9, 70002)])
def test_large_fragmented_text_split_inside_characters_arrives_whole(engine, echo_url, parts, size):
    # Each boundary falls inside a character: the UTF-8 check runs across
    # frames (and, compressed, over the inflated whole), once.
    ws, _ = opened(engine, f"{echo_url}/split-text?parts={parts}&size={size}")
    pattern = "x\u00e9\U0001f600".encode()
    length = parts * size
    expected = (pattern * (length // 7) + b"x" * (length % 7)).decode()
    kind, body, _, _ = as_tuple(ws.recv_message(30))
    assert (kind, body) == ("text", expected)
    # The same text sent back whole arrives as it was, twice in a row (the
    # buffer taken for the first is not the second's).
    ws.send_text(expected)
    ws.send_text(expected)
    assert as_tuple(ws.recv_message(30)) == ("text", expected, None, None)
    assert as_tuple(ws.recv_message(30)) == ("text", expected, None, None)
    close_cleanly(ws)


def test_invalid_utf8_fails_the_connection(engine, echo_url):
    ws, _ = opened(engine, f"{echo_url}/invalid-utf8")
    assert next_event(ws) == ("error", [], None, "Protocol (Chromium net error -145, response 0)")
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        ws.send_text("after the end")


@pytest.mark.parametrize("code, reason", [(1000, ""), (4000, "server says bye"), (3001, "é" * 20)])
def test_server_close_reports_code_and_reason(engine, ws_server, code, reason):
    from urllib.parse import quote
    ws, _ = opened(engine, f"ws://127.0.0.1:{ws_server.port}/close?code={code}&reason={quote(reason)}")
    assert events_until_end(ws) == [("closing", [], None, None), ("closed", [], code, reason)]
    assert ws.is_finished()


def test_client_close_rules(engine, ws_server):
    ws, _ = opened(engine, f"ws://127.0.0.1:{ws_server.port}/echo")
    for code, reason in [(1001, ""), (1005, ""), (2999, ""), (5000, ""), (1000, "r" * 124)]:
        with pytest.raises(RuntimeError, match="^InvalidArgument$"):
            ws.close(code, reason)
    ws.send_text("still open")
    assert next_event(ws)[0] == "text"
    assert close_cleanly(ws, 4999, "r" * 123) == ("closed", [], 4999, "r" * 123)
    # Closing again, or sending after the end.
    ws.close(1000, "")
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        ws.send_bytes(b"late")


def test_send_before_open_is_refused(engine, ws_server):
    ws = engine.websocket(f"ws://127.0.0.1:{ws_server.port}/stall")
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        ws.send_text("not started")
    ws.connect()
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        ws.send_text("not open")
    ws.cancel()
    assert next_event(ws) == ("error", [], None, "Canceled (Chromium net error -3, response 0)")


@pytest.mark.parametrize("count, size", [(3000, 8), (40, 256 * 1024)])
def test_fast_sender_meets_the_module_bounds(engine, ws_plain_server, count, size):
    # 3000 small messages pass the 1024-event bound; 40 of 256 KiB pass the
    # 4 MiB bound.  Nobody reads meanwhile, so the module reports the
    # overflow once and drops the rest.
    ws = engine.websocket(f"ws://127.0.0.1:{ws_plain_server.port}/burst?count={count}&size={size}")
    ws.connect()
    wait_finished(ws)
    # The overflow replaced everything queued (the open included).
    assert ws.poll_events(10) == [("error", [], None, "BufferLimit (Chromium net error 0, response 0)")]
    ws.cancel()


def test_async_echo_through_poll_events(engine, ws_server):
    from asyncio_paths import AsyncWebSocket

    async def main():
        ws = AsyncWebSocket(engine.websocket(f"ws://127.0.0.1:{ws_server.port}/echo"))
        assert (await ws.recv())[0] == "open"
        for i in range(50):
            ws.send_text(f"message {i}")
        got = [bytes((await ws.recv())[1]).decode() for _ in range(50)]
        assert got == [f"message {i}" for i in range(50)]
        ws.close(1000, "bye")
        # close() detaches the loop notifier: the rest is polled.
        for _ in range(2000):
            ws.pump.drain()
            if ws.pump.finished:
                break
            await asyncio.sleep(0.005)
        assert [await ws.recv(), await ws.recv()] == [("closing", [], None, None), ("closed", [], 1000, "bye")]
        assert await ws.recv() is None

    asyncio.run(asyncio.wait_for(main(), 30))


def test_handshake_headers(engine, ws_server):
    e = native.PyEngine(user_agent="vesper-test/1", accept_language="de-CH")
    ws, open_event = opened(e, f"ws://127.0.0.1:{ws_server.port}/headers", origin="https://app.example",
                            protocols=["chat", "superchat"], headers=[("X-Trace", "a"), ("X-Trace", "b"), ("X-Other", "c")])
    assert open_event == ("open", list(b"chat"), None, None)
    headers = json.loads(bytes(next_event(ws)[1]))
    names = [k.lower() for k, _ in headers]
    values = {k.lower(): v for k, v in headers}
    assert values["origin"] == "https://app.example"
    assert values["user-agent"] == "vesper-test/1"
    assert values["accept-language"] == "de-CH"
    assert values["sec-websocket-protocol"] == "chat, superchat"
    assert values["sec-websocket-extensions"] == "permessage-deflate; client_max_window_bits"
    assert values["host"] == f"127.0.0.1:{ws_server.port}"
    assert [v for k, v in headers if k.lower() == "x-trace"] == ["a", "b"]
    assert names[-3:] == ["x-trace", "x-trace", "x-other"]
    close_cleanly(ws)
