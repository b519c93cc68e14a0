"""Each phase of vesper.Timeout against a local server that stalls in that
phase: the Core ends the request with the phase's own failure and the
package raises the phase's class (never a cancel).  The servers are plain
sockets on 127.0.0.1 run by threads of this process; each stops with its
fixture."""
import asyncio
import contextlib
import socket
import threading
import time

import pytest

import vesper
import vesper_native36 as native

pytestmark = [
    pytest.mark.timeout(60),
    pytest.mark.skipif("hy_request_set_timeouts" not in native.core_extensions,
                       reason="the Core lacks hy_request_set_timeouts"),
]

LIMIT = 0.4   # the phase limit under test (seconds)
SLACK = 5.0   # how late the failure may come on a loaded machine


class StallServer:
    """Accepts on 127.0.0.1 and runs `serve(conn)` for each connection in
    its own thread; stop() closes everything."""

    def __init__(self, serve, backlog=16, accept=True):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(backlog)
        self.port = self.sock.getsockname()[1]
        self.url = f"http://127.0.0.1:{self.port}/"
        self._serve = serve
        self._conns = []
        self._stop = threading.Event()
        self._thread = None
        if accept:
            self.sock.settimeout(0.1)
            self._thread = threading.Thread(target=self._accept, daemon=True)
            self._thread.start()

    def _accept(self):
        while not self._stop.is_set():
            try:
                conn, _ = self.sock.accept()
            except (socket.timeout, OSError):
                continue
            self._conns.append(conn)
            threading.Thread(target=self._run, args=(conn,), daemon=True).start()

    def _run(self, conn):
        with contextlib.suppress(OSError):
            self._serve(conn, self._stop)

    def stop(self):
        self._stop.set()
        if self._thread is not None:
            self._thread.join(5)
        for conn in self._conns:
            with contextlib.suppress(OSError):
                conn.close()
        self.sock.close()


def read_head(conn, stop):
    """The request head's bytes (and whatever body came with them)."""
    data = b""
    conn.settimeout(0.1)
    while b"\r\n\r\n" not in data and not stop.is_set():
        try:
            piece = conn.recv(65536)
        except socket.timeout:
            continue
        if not piece:
            break
        data += piece
    return data


def silent(conn, stop):
    """Reads the request, never answers."""
    read_head(conn, stop)
    stop.wait(30)


def head_then_silence(conn, stop):
    """Answers with a head and the first bytes of a longer body, then stalls."""
    read_head(conn, stop)
    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nfirst")
    stop.wait(30)


def no_body_reading(conn, stop):
    """Takes the head, never reads the body: the client's sends fill up."""
    read_head(conn, stop)
    stop.wait(30)


def trickle(conn, stop):
    """20 bytes, one every 0.1 s: slower in all than the read limit, never
    silent for as long."""
    read_head(conn, stop)
    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 20\r\n\r\n")
    for _ in range(20):
        if stop.wait(0.1):
            return
        conn.sendall(b"x")
    stop.wait(5)


def slow_answer(conn, stop):
    """Answers after 2 s, holding the connection slot meanwhile."""
    read_head(conn, stop)
    if stop.wait(2.0):
        return
    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok")


@pytest.fixture
def server(request):
    made = []

    def make(serve, **kwargs):
        made.append(StallServer(serve, **kwargs))
        return made[-1]
    yield make
    for each in made:
        each.stop()


@pytest.fixture
def full_backlog():
    """A listener that never accepts, its backlog filled: a new connection's
    SYN goes unanswered, so connecting stalls."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    port = listener.getsockname()[1]
    fillers = []
    for _ in range(8):
        filler = socket.socket()
        filler.setblocking(False)
        with contextlib.suppress(BlockingIOError, OSError):
            filler.connect(("127.0.0.1", port))
        fillers.append(filler)
    time.sleep(0.2)
    # The stall is real on this kernel: one more connect does not complete.
    probe = socket.socket()
    probe.settimeout(0.5)
    try:
        probe.connect(("127.0.0.1", port))
        stalled = False
    except (socket.timeout, OSError):
        stalled = True
    finally:
        probe.close()
    if not stalled:
        for each in fillers + [listener]:
            each.close()
        pytest.skip("this kernel completes connects past a full backlog")
    yield f"http://127.0.0.1:{port}/"
    for each in fillers + [listener]:
        each.close()


def sync_get(url, timeout, **client_kwargs):
    with vesper.Client(trust_env=False, **client_kwargs) as client:
        return client.get(url, timeout=timeout)


def async_get(url, timeout, **client_kwargs):
    async def main():
        async with vesper.AsyncClient(trust_env=False, **client_kwargs) as client:
            return await client.get(url, timeout=timeout)
    return asyncio.run(main())


def sync_post(url, timeout, content):
    with vesper.Client(trust_env=False) as client:
        return client.post(url, content=content, timeout=timeout)


def async_post(url, timeout, content):
    async def main():
        async with vesper.AsyncClient(trust_env=False) as client:
            return await client.post(url, content=content, timeout=timeout)
    return asyncio.run(main())


def expect(cls, phase, net_error, call):
    """The call raises exactly `cls` from the Core's own timeout, within the
    limit plus slack; its text names `phase` (what ran out)."""
    started = time.monotonic()
    with pytest.raises(vesper.TimeoutError) as info:
        call()
    elapsed = time.monotonic() - started
    assert type(info.value) is cls, info.value
    assert info.value.kind == "Timeout"          # the Core's, not a cancel
    assert info.value.net_error == net_error
    assert phase in str(info.value)
    assert LIMIT * 0.9 <= elapsed < LIMIT + SLACK
    return info.value


GETS = pytest.mark.parametrize("get", [sync_get, async_get], ids=["sync", "async"])
POSTS = pytest.mark.parametrize("post", [sync_post, async_post], ids=["sync", "async"])


@GETS
@pytest.mark.parametrize("serve", [silent, head_then_silence], ids=["no_head", "mid_body"])
def test_read_phase(server, get, serve):
    url = server(serve).url
    expect(vesper.ReadTimeout, "read", -7, lambda: get(url, vesper.Timeout(5, read=LIMIT)))


@GETS
def test_a_plain_number_reaches_the_core(server, get):
    # Timeout(0.4) is no longer the package's wait-and-cancel: the Core's
    # read phase ends the request.
    url = server(silent).url
    expect(vesper.ReadTimeout, "read", -7, lambda: get(url, LIMIT))


@GETS
def test_connect_phase(full_backlog, get):
    expect(vesper.ConnectTimeout, "connect", -118, lambda: get(full_backlog, vesper.Timeout(5, connect=LIMIT)))


@POSTS
def test_write_phase(server, post):
    url = server(no_body_reading).url
    body = b"x" * (64 << 20)   # far more than both sides' socket buffers hold
    expect(vesper.WriteTimeout, "write", -7, lambda: post(url, vesper.Timeout(5, write=LIMIT), body))


@GETS
def test_pool_phase(server, get):
    url = server(slow_answer).url
    limits = vesper.Limits(max_connections_per_host=1)
    holder_done = threading.Event()

    def hold_the_slot():
        try:
            sync_get(url, 10, limits=limits)
        finally:
            holder_done.set()

    if get is sync_get:
        # One client (one engine, one slot); the holder runs beside the test.
        with vesper.Client(trust_env=False, limits=limits) as client:
            holder = threading.Thread(target=lambda: client.get(url, timeout=10), daemon=True)
            holder.start()
            time.sleep(0.3)
            expect(vesper.PoolTimeout, "pool", -7, lambda: client.get(url, timeout=vesper.Timeout(5, pool=LIMIT)))
            holder.join(10)
            assert not holder.is_alive()
        return

    async def main():
        async with vesper.AsyncClient(trust_env=False, limits=limits) as client:
            holder = asyncio.ensure_future(client.get(url, timeout=10))
            await asyncio.sleep(0.3)
            started = time.monotonic()
            with pytest.raises(vesper.TimeoutError) as info:
                await client.get(url, timeout=vesper.Timeout(5, pool=LIMIT))
            elapsed = time.monotonic() - started
            assert (await asyncio.wait_for(holder, 10)).content == b"ok"
            return info.value, elapsed
    error, elapsed = asyncio.run(main())
    assert type(error) is vesper.PoolTimeout and error.net_error == -7 and "pool" in str(error)
    assert LIMIT * 0.9 <= elapsed < LIMIT + SLACK


@GETS
def test_total_keeps_its_own_class(server, get):
    url = server(silent).url
    error = expect(vesper.TimeoutError, "total", -7, lambda: get(url, vesper.Timeout(None, total=LIMIT)))
    assert not isinstance(error, (vesper.ReadTimeout, vesper.ConnectTimeout))


@GETS
def test_read_limit_is_on_silence_not_on_the_download(server, get):
    # 2 s in all, a byte every 0.1 s: a 0.4 s read limit never runs out.
    url = server(trickle).url
    assert get(url, vesper.Timeout(5, read=LIMIT)).content == b"x" * 20


# A body paused by the module's 1 MiB hold while the reader is away runs no
# read phase: the reader comes back long after the limit and gets it all.
def test_not_reading_a_streamed_response_runs_no_read_phase(server):
    def big(conn, stop):
        read_head(conn, stop)
        size = 8 << 20
        # Blocking sends: the client's pause stalls them far longer than
        # read_head's 0.1 s timeout.
        conn.settimeout(None)
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % size)
        with contextlib.suppress(OSError):
            conn.sendall(b"y" * size)
        stop.wait(10)
    url = server(big).url
    with vesper.Client(trust_env=False) as client:
        with client.stream("GET", url, timeout=vesper.Timeout(5, read=LIMIT)) as response:
            time.sleep(LIMIT * 4)   # the module holds 1 MiB, then pauses the Core
            assert len(response.read()) == 8 << 20


def answer_late(conn, stop):
    """Reads the whole request (Content-Length or chunked), answers 0.8 s
    later: after the body is in, only the read phase runs."""
    data = read_head(conn, stop)
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.lower().split(b"\r\n")
    length = next((int(line.split(b":")[1]) for line in lines if line.startswith(b"content-length:")), None)
    chunked = any(line.startswith(b"transfer-encoding:") and b"chunked" in line for line in lines)
    while not stop.is_set():
        if length is not None and len(body) >= length:
            break
        if chunked and body.endswith(b"0\r\n\r\n"):
            break
        try:
            piece = conn.recv(65536)
        except socket.timeout:
            continue
        if not piece:
            return
        body += piece
    if stop.wait(0.8):
        return
    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 4\r\nConnection: close\r\n\r\ndone")


def pieces(count, size):
    for _ in range(count):
        time.sleep(0.05)
        yield b"p" * size


@pytest.mark.parametrize("content, headers", [
    (b"b" * 200_000, {}),                                   # bytes
    (lambda: pieces(4, 10_000), {}),                         # streamed, chunked
    (lambda: pieces(4, 10_000), {"Content-Length": "40000"}),  # streamed, declared
], ids=["bytes", "chunked", "declared"])
def test_the_write_phase_ends_once_the_body_is_out(server, content, headers):
    # write 0.3 s, the answer 0.8 s after the body: only read (2 s) may run then.
    url = server(answer_late).url
    body = content() if callable(content) else content
    with vesper.Client(trust_env=False) as client:
        response = client.post(url, content=body, headers=headers, timeout=vesper.Timeout(5, write=0.3, read=2))
    assert response.content == b"done"
