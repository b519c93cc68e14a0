"""The bytes paths and the event hub through the real Core, on loopback."""
import array
import asyncio
import hashlib
import json
import mmap

import pytest

from memory import rss_bytes
from servers.app import pattern
from asyncio_paths import HubRequest, HubWebSocket, attached_after_settling
from vesper_native36 import RequestEvent, WebSocketEvent

MIB = 1_048_576


def started(engine, url, **kwargs):
    request = engine.request("GET", url, timeout=30.0, **kwargs)
    request.start()
    assert request.wait_response(30).status_code == 200
    return request


@pytest.mark.parametrize("n", [0, 1, 65_537, 3 * MIB + 5])
def test_reads_return_the_served_bytes(engine, http, n):
    url = f"{http}/bytes?n={n}&chunk=40000"
    expected = pattern(n)
    assert started(engine, url).read_all(30) == expected
    chunks = []
    request = started(engine, url)
    while chunk := request.read_chunk(30):
        chunks.append(chunk)
    assert b"".join(chunks) == expected
    request = started(engine, url)
    target = bytearray(7_777)
    got = bytearray()
    while count := request.readinto(target, 30):
        got += target[:count]
    assert got == expected


def test_readinto_an_mmap_file(engine, http, tmp_path):
    n = 2 * MIB + 3
    request = started(engine, f"{http}/bytes?n={n}&chunked=1")
    path = tmp_path / "download"
    path.write_bytes(b"\0" * n)
    with open(path, "r+b") as file, mmap.mmap(file.fileno(), n) as mapped:
        view = memoryview(mapped)
        at = 0
        while count := request.readinto(view[at:at + 100_000], 30):
            at += count
        view.release()
    assert at == n and path.read_bytes() == pattern(n)


@pytest.mark.parametrize("piece", [
    lambda data: data, lambda data: bytearray(data), lambda data: memoryview(data),
    lambda data: array.array("B", data),
])
def test_uploads_from_buffers(engine, http, piece):
    data = pattern(256 * 1024)
    request = engine.request("POST", f"{http}/upload", chunked=True, timeout=30.0)
    request.start()
    for i in range(0, len(data), 50_000):
        request.upload_write(piece(data[i:i + 50_000]), False)
    request.upload_finish()
    assert request.wait_response(30).status_code == 200
    answer = json.loads(request.read_all(30))
    assert (answer["body_len"], answer["body_sha256"]) == (len(data), hashlib.sha256(data).hexdigest())
    whole = engine.request("POST", f"{http}/echo", body=memoryview(data)[1:], timeout=30.0)
    whole.start()
    whole.wait_response(30)
    assert json.loads(whole.read_all(30))["body_len"] == len(data) - 1


def test_hub_serves_many_requests_on_one_loop(engine, http):
    async def main():
        async def one(i):
            request = HubRequest(engine.request("GET", f"{http}/bytes?n={1000 + i}", timeout=30.0))
            status, _ = await request.response()
            return status, await request.read()

        results = await asyncio.gather(*(one(i) for i in range(64)))
        return results, await attached_after_settling()

    results, attached = asyncio.run(asyncio.wait_for(main(), 60))
    assert attached == 0
    assert results == [(200, pattern(1000 + i)) for i in range(64)]


def test_websocket_messages_through_the_hub_and_recv_message(engine, ws_server):
    url = f"ws://127.0.0.1:{ws_server.port}/echo"

    async def main():
        ws = HubWebSocket(engine.websocket(url))
        assert (await ws.recv()).kind == WebSocketEvent.OPEN
        for i in range(20):
            ws.send_text(f"h\u00e9 {i}")
            ws.send_bytes(memoryview(bytes([i]) * 1000))
        got = [(await ws.recv()).payload for _ in range(40)]
        ws.close(1000, "bye")
        tail = [await ws.recv() for _ in range(2)]
        return got, tail

    got, tail = asyncio.run(asyncio.wait_for(main(), 30))
    assert got[0::2] == [f"h\u00e9 {i}" for i in range(20)]
    assert got[1::2] == [bytes([i]) * 1000 for i in range(20)]
    assert [e.kind for e in tail] == [WebSocketEvent.CLOSING, WebSocketEvent.CLOSED]
    assert (tail[-1].code, tail[-1].reason) == (1000, "bye")
    socket = engine.websocket(url)
    socket.connect()
    assert socket.recv_message(10).kind == WebSocketEvent.OPEN
    socket.send_bytes(array.array("B", b"abc"))
    event = socket.recv_message(10)
    assert (event.kind, event.payload, event.code, event.failure) == (WebSocketEvent.BINARY, b"abc", None, None)
    socket.cancel()


class _RecordingLoop:
    def __init__(self):
        self.calls = 0

    def call_soon_threadsafe(self, callback, *args):
        self.calls += 1


@pytest.mark.parametrize("driven", [False, True], ids=["network-thread", "loop-driven"])
def test_an_unread_hub_request_pauses_the_real_core(engine, http, driven):
    """The hub hands out no body: a request nobody takes from stays paused
    at the module's 1 MiB, and the takes that follow resume it to the end,
    the body whole and in order."""
    import time
    import vesper_native36 as native

    n = 64 * MIB
    hub = native.PyEventHub(_RecordingLoop(), lambda: None)
    due = engine.loop_attach() >= 0 if driven else False

    def poll(limit=64):
        if due:
            engine.loop_drive(hub)
        return [e for _, e in hub.poll(limit)]

    request = engine.request("GET", f"{http}/bytes?n={n}&chunk=262144", timeout=60.0)
    request.start_hub(hub, "big")
    deadline = time.monotonic() + 30
    events = []
    while not any(e.kind == RequestEvent.RESPONSE for e in events):
        assert time.monotonic() < deadline, "no head"
        events += poll(1)
        time.sleep(0.001)
    before = rss_bytes()
    for _ in range(100):               # loopback would bring all 64 MiB by now
        poll()
        time.sleep(0.01)
    grown = rss_bytes() - before
    body = bytearray()
    takes = 0
    while True:
        assert time.monotonic() < deadline + 60, "body did not end"
        chunk = request.take_available()
        if chunk == b"":
            break
        if chunk is None:
            # Nothing there: the hub tells this reader once more comes.
            while not any(e.kind in (RequestEvent.READABLE, RequestEvent.ENDED) for e in poll()):
                assert time.monotonic() < deadline + 60, "no READABLE"
                time.sleep(0.0005)
            continue
        assert len(chunk) <= MIB
        body += chunk
        takes += 1
    assert not any(e.kind == RequestEvent.BODY for e in events)
    if due:
        engine.loop_detach()
    hub.close()
    # Paused at 1 MiB queued: nowhere near the 64 MiB a drained request holds.
    assert grown < 16 * MIB, grown
    assert body == pattern(n) and takes >= 64


def test_manual_walk_with_bytes_blocks(engine, http):
    request = engine.request("GET", f"{http}/redirect-chain?n=2", allow_redirects=False, timeout=30.0)
    request.start()
    seen = []
    for _ in range(5):
        redirect, head = request.wait_manual_bytes(10)
        if head is not None:
            break
        assert redirect[1].startswith(b"HTTP/1.1 302") and type(redirect[1]) is bytes
        seen.append(redirect[2])
        request.follow_redirect()
    assert head[0] == 200 and head[1].startswith(b"HTTP/1.1 200")
    assert seen == [f"{http}/redirect-chain?n=1", f"{http}/redirect-chain?n=0"]
    assert request.read_all(30) == b"end of chain"
    followed = engine.request("GET", f"{http}/redirect-chain?n=2", timeout=30.0)
    followed.start()
    followed.wait_response(30)
    assert [(s, raw[:12]) for s, raw, _, _ in followed.take_redirects_bytes()] == [(302, b"HTTP/1.1 302")] * 2


def test_manual_wait_reports_a_refused_connection_with_its_number():
    import socket
    import vesper_native36 as native

    with socket.socket() as probe:         # a port nobody listens on
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    request = native.PyEngine().request("GET", f"http://127.0.0.1:{port}/", allow_redirects=False,
                                        timeout=10.0)
    request.start()
    with pytest.raises(RuntimeError, match=r"^Network \(Chromium net error -102\)$"):
        request.wait_manual_bytes(10)
