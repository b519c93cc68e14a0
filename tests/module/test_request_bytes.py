"""The bytes paths of PyRequest: buffer inputs, bytes reads, readinto,
read_exact, poll_events_bytes, timeouts and interrupts, against the double."""
import array
import mmap
import os
import pickle
import signal
import subprocess
import sys
import textwrap

import time

import pytest
from event_tuples import as_tuples

from conftest import ROOT, text_of
from helpers import Background, started

MIB = 1_048_576
CHUNKS = [b"abc", b"", b"\x00\xff" * 3, b"x", bytes(range(256)) * 5]


def streaming_request(core, engine):
    """A started request whose head has come, and its id in the double."""
    request, ident = started(core, engine)
    core.response(ident)
    request.wait_response(5)
    return request, ident


@pytest.fixture
def streaming(core, engine):
    return streaming_request(core, engine)


def feed(core, ident, chunks, complete=True):
    for chunk in chunks:
        core.data(ident, chunk)
    if complete:
        core.complete(ident)


# -- buffer inputs ---------------------------------------------------------

def _mmap(data):
    m = mmap.mmap(-1, len(data))
    m.write(data)
    return m


@pytest.mark.parametrize("make, sent", [
    (lambda: b"\x00\xffab", b"\x00\xffab"),
    (lambda: bytearray(b"ba"), b"ba"),
    (lambda: memoryview(b"0123456789")[2:5], b"234"),
    (lambda: array.array("H", [1, 0x0203]), b"\x01\x00\x03\x02"),
    (lambda: _mmap(b"mapped"), b"mapped"),
    (lambda: pickle.PickleBuffer(b"pickled"), b"pickled"),
    # Not contiguous: no buffer in place, the sequence of ints path as before.
    (lambda: memoryview(b"a-b-c")[::2], b"abc"),
    (lambda: [1, 2, 255], b"\x01\x02\xff"),
    (lambda: b"", None),
])
def test_buffer_inputs(core, engine, make, sent):
    data = make()
    engine.request("POST", "http://x/", body=data)
    assert text_of(core.record("request")["body"]) == sent
    request = engine.request("POST", "http://x/", chunked=True)
    request.start()
    request.upload_write(data, False)
    assert text_of(core.record("upload")["data"]) == sent
    socket = engine.websocket("ws://x/")
    socket.connect()
    socket.send_bytes(data)
    assert text_of(core.record("send")["data"]) == sent


def test_exported_bytearray_cannot_be_resized_during_upload(core, engine):
    # While the Core holds the piece, the bytearray stays exported; after the
    # call it can be resized again.
    data = bytearray(b"grow")
    request = engine.request("POST", "http://x/", chunked=True)
    request.start()
    request.upload_write(data, True)
    data.extend(b" more")
    assert text_of(core.record("upload")["data"]) == b"grow"


@pytest.mark.parametrize("body, exc", [([256], OverflowError), ("abc", TypeError), (5, TypeError)])
def test_inputs_refused_as_before(core, engine, body, exc):
    with pytest.raises(exc):
        engine.request("POST", "http://x/", body=body)
    socket = engine.websocket("ws://x/")
    socket.connect()
    with pytest.raises(exc):
        socket.send_bytes(body)
    assert core.calls("hy_websocket_send") == 0


# -- bytes reads -----------------------------------------------------------

def test_read_chunk_matches_next_body(core, engine):
    lists, a = started(core, engine)
    raw, b = started(core, engine)
    for request, ident in ((lists, a), (raw, b)):
        core.response(ident)
        request.await_response()
        feed(core, ident, CHUNKS)
    via_lists = []
    while (chunk := lists.next_body()) is not None:
        via_lists.append(bytes(chunk))
    via_bytes = []
    while chunk := raw.read_chunk(5):
        assert type(chunk) is bytes
        via_bytes.append(chunk)
    # Empty chunks are skipped: b"" means the end.
    assert via_bytes == [c for c in via_lists if c]
    assert raw.read_chunk() == b"" and raw.read_all() == b""


def test_read_all_joins_every_chunk(core, streaming):
    request, ident = streaming
    feed(core, ident, CHUNKS)
    assert request.read_all(5) == b"".join(CHUNKS)


@pytest.mark.parametrize("size", [1, 2, 3, 7, 64, 4096])
@pytest.mark.parametrize("target", ["bytearray", "memoryview", "array", "mmap"])
def test_readinto_across_chunk_boundaries(core, streaming, size, target):
    request, ident = streaming
    feed(core, ident, CHUNKS)
    store = {"bytearray": lambda: bytearray(size),
             "memoryview": lambda: memoryview(bytearray(size + 3))[3:],
             "array": lambda: array.array("B", bytes(size)),
             "mmap": lambda: _mmap(bytes(size))}[target]()
    got = bytearray()
    for _ in range(10_000):
        n = request.readinto(store, 5)
        if n == 0:
            break
        assert 0 < n <= size
        got += bytes(memoryview(store)[:n]) if target != "mmap" else store[:n]
    assert bytes(got) == b"".join(CHUNKS)
    assert request.readinto(store) == 0


@pytest.mark.parametrize("method, size", [("read_exact", n) for n in (1, 2, 3, 7, 64, 4096)]
                         + [("read_some", n) for n in (1, 5, 4096, MIB)])
def test_sized_reads_across_chunk_boundaries(core, streaming, method, size):
    request, ident = streaming
    read = getattr(request, method)
    feed(core, ident, CHUNKS)
    body = b"".join(CHUNKS)
    pieces = []
    for _ in range(10_000):
        piece = read(size, 5)
        if not piece:
            break
        pieces.append(piece)
    assert b"".join(pieces) == body
    # Every piece is whole but the last, which holds the rest (read_some:
    # everything was queued, so each read takes all it may, empty pieces
    # skipped).
    assert [len(p) for p in pieces] == [size] * (len(body) // size) + ([len(body) % size] if len(body) % size else [])
    assert read(size) == b""


def test_read_exact_waits_for_pieces_that_arrive_later(core, streaming):
    request, ident = streaming
    reader = Background(lambda: request.read_exact(6, 5))
    for piece in (b"ab", b"c", b"def", b"gh"):
        time.sleep(0.02)
        core.data(ident, piece)
    assert reader.join() == b"abcdef"
    core.complete(ident)
    assert request.read_chunk() == b"gh"


@pytest.mark.parametrize("method", ["read_exact", "read_some"])
def test_sized_reads_refuse_sizes_they_cannot_hold(core, streaming, method):
    request, ident = streaming
    core.data(ident, b"kept")
    with pytest.raises(ValueError, match="size must be at least 1"):
        getattr(request, method)(0)
    with pytest.raises(OverflowError):
        getattr(request, method)(1 << 63)
    assert request.read_chunk() == b"kept"


def test_read_some_waits_only_while_nothing_has_arrived(core, streaming):
    request, ident = streaming
    core.data(ident, b"")
    reader = Background(lambda: request.read_some(100, 5))
    time.sleep(0.05)
    core.data(ident, b"ab")
    # The first bytes end the wait: it does not hold out for `size`.
    assert reader.join() == b"ab"
    feed(core, ident, [b"cd", b"ef"], complete=False)
    core.complete(ident, 6, -7)
    # Bytes queued before a failure come out first, then the failure.
    assert request.read_some(100, 5) == b"cdef"
    with pytest.raises(RuntimeError, match="net error -7"):
        request.read_some(100, 5)


def test_read_some_keeps_flow_control(core, streaming):
    request, ident = streaming
    assert core.data(ident, b"a" * (MIB - 1)) == 1
    assert core.data(ident, b"b") == 0             # exactly 1 MiB queued: paused
    assert core.resume_count(ident) == 0
    # Everything queued comes out in one read, which resumes the transfer.
    assert request.read_some(4 * MIB, 5) == b"a" * (MIB - 1) + b"b"
    assert core.resume_count(ident) == 1


def test_readinto_leaves_the_rest_for_every_reader(core, streaming):
    request, ident = streaming
    feed(core, ident, [b"abcdef", b"gh"], complete=False)
    buf = bytearray(2)
    assert request.readinto(buf) == 2 and buf == b"ab"
    assert request.next_body() == list(b"cdef")
    assert request.readinto(buf) == 2 and buf == b"gh"
    core.data(ident, b"ijk")
    assert request.readinto(bytearray(1)) == 1
    assert as_tuples(request.poll_events_bytes()) == [("body", 0, b"", b"jk", None)]


def test_readinto_refuses_read_only_buffers(core, streaming):
    request, ident = streaming
    core.data(ident, b"data")
    for target in (b"1234", memoryview(b"1234"), "text"):
        with pytest.raises(TypeError, match="writable"):
            request.readinto(target)
    assert request.read_chunk() == b"data"


def test_empty_target_reads_nothing(core, streaming):
    request, ident = streaming
    core.data(ident, b"kept")
    assert request.readinto(bytearray()) == 0
    assert request.read_chunk() == b"kept"


@pytest.mark.parametrize("read", [
    lambda r: r.read_chunk(), lambda r: r.read_all(), lambda r: r.readinto(bytearray(4)),
    lambda r: r.read_exact(4), lambda r: r.read_some(4),
])
def test_failure_reported_once(core, streaming, read):
    request, ident = streaming
    core.complete(ident, 6, -7)
    with pytest.raises(RuntimeError) as info:
        read(request)
    assert str(info.value) == "Timeout (Chromium net error -7)"
    assert request.read_chunk() == b""


@pytest.mark.parametrize("method, args", [
    ("read_chunk", ()), ("read_all", ()), ("readinto", (bytearray(1),)), ("read_exact", (1,)), ("read_some", (1,)),
])
def test_reads_before_the_head(core, engine, method, args):
    request, _ = started(core, engine)
    with pytest.raises(RuntimeError, match="^request body stream is not started$"):
        getattr(request, method)(*args)


def test_wait_response_before_start(core, engine):
    request = engine.request("GET", "http://x/")
    with pytest.raises(RuntimeError, match="^request is not started$"):
        request.wait_response(1)


def test_wait_response_failure_text(core, engine):
    texts = []
    for wait in ("await_response", "wait_response"):
        request, ident = started(core, engine)
        core.complete(ident, 8, -105)
        with pytest.raises(RuntimeError) as info:
            getattr(request, wait)()
        texts.append(str(info.value))
    assert texts == ["Network (Chromium net error -105)"] * 2


def test_blocked_reads_wake_on_data(core, streaming):
    request, ident = streaming
    chunk = Background(request.read_chunk, 10)
    core.data(ident, b"late")
    assert chunk.join() == b"late"
    into = bytearray(8)
    count = Background(request.readinto, into, 10)
    core.data(ident, b"later")
    assert count.join() == 5 and into[:5] == b"later"
    rest = Background(request.read_all, 10)
    core.data(ident, b"end")
    core.complete(ident)
    assert rest.join() == b"end"


@pytest.mark.parametrize("room, pieces", [
    (4, [b"0123456789"]),             # larger than the waiting buffer: the rest is queued
    (16, [b"", b"abc"]),              # an empty piece does not end the wait
    (MIB, [b"x" * MIB, b"y"]),        # exactly fills it: nothing queued, no pause
])
def test_a_waiting_readinto_takes_bytes_in_order(core, engine, room, pieces):
    # Nothing tells when the reader has posted its buffer: a reader that
    # was not yet waiting finds the bytes queued (a full MiB then pauses),
    # so each try waits longer first.  A posted buffer that is never
    # written into fails every try.
    body = b"".join(pieces)
    for attempt in range(1, 6):
        request, ident = streaming_request(core, engine)
        into = bytearray(room)
        count = Background(request.readinto, into, 10)
        time.sleep(0.1 * attempt)
        answers = [core.data(ident, piece) for piece in pieces]
        n = count.join()
        got = bytes(into[:n])
        core.complete(ident)
        rest = bytearray()
        while piece := request.read_chunk(5):
            rest += piece
        assert n > 0 and got + bytes(rest) == body
        # Only bytes left queued count towards the 1 MiB pause.
        if answers[0] == 1 and core.resume_count(ident) == 0:
            return
    pytest.fail(f"bytes for a waiting reader were queued: answers {answers}, "
                f"resumes {core.resume_count(ident)}")


def _paced_pieces(rounds):
    """Per round, pieces of sizes that differ from the round before (a
    chunk's memory, reused for a later chunk, is then larger or smaller
    than what it holds), each piece's bytes its own."""
    sizes = [16384, 3, 65536, 1, 16384, 200_000, 0, 5, 16384]
    for r in range(rounds):
        yield [bytes([(r * 31 + i * 7 + j) % 251 for j in range(min(n, 251))]) * (n // 251) +
               bytes([(r + i) % 256]) * (n % 251)
               for i, n in enumerate(sizes[r % 3:] + sizes[:r % 3])]


def _take_some(request, method):
    """One read of what is queued: part of it, whole chunks, or all."""
    if method == "readinto":
        buffer = bytearray(70_000)
        return bytes(buffer[:request.readinto(buffer, 5)])
    if method == "read_exact":
        return request.read_exact(50_000, 5)
    if method == "read_chunk":
        return request.read_chunk(5)
    return request.read_some(100_000, 5)


@pytest.mark.parametrize("method", ["read_some", "readinto", "read_exact", "read_chunk"])
def test_bytes_stay_whole_and_in_order_while_chunk_memory_is_reused(core, streaming, method):
    request, ident = streaming
    body, got = bytearray(), bytearray()
    # One read per round leaves more queued than the 1 MiB pause after a
    # few rounds; more reads per round then resume the Core.  Each round's
    # pieces land in memory the reads before freed.
    for round_, pieces in enumerate(_paced_pieces(10)):
        for piece in pieces:
            core.data(ident, piece)
            body += piece
        for _ in range(1 if round_ < 5 else 12):
            if len(body) - len(got) < 50_000:
                break                              # no read waits
            got += _take_some(request, method)
    assert core.resume_count(ident) >= 1
    core.complete(ident)
    while piece := _take_some(request, method):
        got += piece
    assert len(got) == len(body) and got == body

# -- flow control ------------------------------------------------------------

def test_pause_and_resume_boundaries_through_readinto(core, streaming):
    request, ident = streaming
    assert core.data(ident, b"a" * (MIB - 1)) == 1
    assert core.data(ident, b"b") == 0            # exactly 1 MiB queued: paused
    assert request.readinto(bytearray(1)) == 1     # MiB - 1 left: resumed
    assert core.resume_count(ident) == 1
    assert core.data(ident, b"c") == 0             # back at 1 MiB
    big = bytearray(MIB + 5)
    assert request.readinto(big) == MIB          # across the three chunks
    assert big[MIB - 3:MIB] == b"abc"
    assert core.resume_count(ident) == 2
    core.complete(ident)
    assert request.read_chunk() == b""


def test_read_chunk_resumes_like_next_body(core, streaming):
    request, ident = streaming
    assert core.data(ident, b"x" * MIB) == 0
    assert core.resume_count(ident) == 0
    assert len(request.read_chunk()) == MIB
    assert core.resume_count(ident) == 1


def test_read_all_of_a_paced_stream(core, engine):
    request, ident = started(core, engine)
    core.stream_body(ident, 65_536, 5 * MIB + 17)
    request.wait_response(10)
    body = request.read_all(30)
    piece = bytes(i % 256 for i in range(65_536))
    assert body == (piece * 81)[:5 * MIB + 17]
    core.wait_idle()


# -- poll_events_bytes ---------------------------------------------------------

def test_poll_events_bytes_equals_the_list_form(core, engine):
    events = []
    for poll in ("poll_events", "poll_events_bytes"):
        request, ident = started(core, engine, "GET", "http://x/", redirect="manual")
        core.redirect(ident, 301, b"HTTP/1.1 301\r\n\r\n", b"http://y/\xc3\xa9", b"GET")
        core.response(ident, 200, b"HTTP/1.1 200 OK\r\n\r\n")
        feed(core, ident, CHUNKS)
        got = []
        for _ in range(100):
            batch = as_tuples(getattr(request, poll)(3))
            got += batch
            if not batch or batch[-1][0] in ("done", "error"):
                break
        events.append(got)
    lists, raw = events
    assert len(lists) == len(raw) == 3 + len(CHUNKS)
    for a, b in zip(lists, raw):
        assert type(b[2]) is bytes and type(b[3]) is bytes
        assert (a[0], a[1], bytes(a[2]), bytes(a[3]), a[4]) == b


# -- timeouts and interrupts -----------------------------------------------------

def test_wait_response_timeout_then_success(core, engine):
    request, ident = started(core, engine)
    with pytest.raises(TimeoutError, match="^timed out waiting for the response head$"):
        request.wait_response(0.05)
    with pytest.raises(TimeoutError):
        request.wait_response(0)
    core.response(ident, 204)
    assert request.wait_response(5).status_code == 204


@pytest.mark.parametrize("read, text", [
    (lambda r: r.read_chunk(0.05), "timed out waiting for body data"),
    (lambda r: r.readinto(bytearray(3), 0.05), "timed out waiting for body data"),
    (lambda r: r.read_all(0.05), "timed out waiting for the end of the body"),
    (lambda r: r.read_exact(3, 0.05), "timed out waiting for body data"),
    (lambda r: r.read_some(3, 0.05), "timed out waiting for body data"),
])
def test_read_timeouts(core, streaming, read, text):
    request, _ = streaming
    with pytest.raises(TimeoutError) as info:
        read(request)
    assert str(info.value) == text


def test_read_all_timeout_keeps_what_it_gathered(core, streaming):
    request, ident = streaming
    feed(core, ident, [b"ab", b"cd"], complete=False)
    with pytest.raises(TimeoutError):
        request.read_all(0.05)
    core.data(ident, b"ef")
    core.complete(ident)
    assert request.read_all(5) == b"abcdef"


def test_read_exact_timeout_keeps_what_it_gathered(core, streaming):
    request, ident = streaming
    feed(core, ident, [b"ab", b"cd"], complete=False)
    with pytest.raises(TimeoutError):
        request.read_exact(6, 0.05)
    core.data(ident, b"efgh")
    core.complete(ident)
    assert request.read_exact(6, 5) == b"abcdef"
    assert request.read_exact(6, 5) == b"gh"


@pytest.mark.parametrize("timeout", [-1.0, float("nan"), float("inf")])
def test_bad_timeouts(core, streaming, timeout):
    request, _ = streaming
    with pytest.raises(RuntimeError, match="finite non-negative"):
        request.read_chunk(timeout)


INTERRUPTED = textwrap.dedent("""
    import os, signal, sys, time
    # Ctrl-C as at a terminal, also when the suite runs as a background job
    # (which starts every child with SIGINT ignored).
    signal.signal(signal.SIGINT, signal.default_int_handler)
    sys.path.insert(0, {tests!r})
    from conftest import DOUBLE as core, native
    engine = native.PyEngine()
    request = engine.request("GET", "http://x/")
    request.start()
    ident = core.last_id("request")
    socket = engine.websocket("ws://x/")
    socket.connect()
    if {head!r}:
        core.response(ident)
        request.wait_response(5)
    print("waiting", flush=True)
    started = time.monotonic()
    try:
        {call}
    except KeyboardInterrupt:
        print("interrupted %.3f" % (time.monotonic() - started), flush=True)
""")


@pytest.mark.parametrize("call, head", [
    ("request.wait_response()", False),
    ("request.wait_manual_bytes()", False),
    ("request.read_chunk()", True),
    ("request.read_all()", True),
    ("request.readinto(bytearray(9))", True),
    ("socket.recv_message()", False),
])
def test_keyboard_interrupt_ends_a_wait(call, head):
    if call.startswith("socket") and not hasattr(__import__("vesper_native36").PyWebSocket, "recv_message"):
        pytest.skip("recv_message is not built")
    script = INTERRUPTED.format(tests=str(ROOT / "tests" / "module"), head=head, call=call)
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             env=dict(os.environ), text=True)
    try:
        assert child.stdout.readline().strip() == "waiting"
        import time
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=20)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait(5)
    assert child.returncode == 0, err
    line = out.strip()
    assert line.startswith("interrupted"), (out, err)
    # The interrupt ended the wait, not anything else.
    assert float(line.split()[1]) < 10


OLD_PYTHON = textwrap.dedent("""
    import array, mmap, os, sys
    sys.path.insert(0, {double!r})
    from control import CoreDouble, text_of
    core = CoreDouble(os.environ["VESPER_DOUBLE"])
    import vesper_native36 as native
    engine = native.PyEngine()
    engine.request("POST", "http://x/", body=array.array("H", [1, 0x0203]))
    assert text_of(core.record("request")["body"]) == b"\\x01\\x00\\x03\\x02"
    engine.request("POST", "http://x/", body=memoryview(b"0123")[1:3])
    assert text_of(core.record("request")["body"]) == b"12"
    request = engine.request("GET", "http://x/")
    request.start()
    ident = core.last_id("request")
    core.response(ident)
    request.wait_response(5)
    core.data(ident, b"abcdef")
    core.complete(ident)
    view = memoryview(bytearray(4))
    assert request.readinto(view[1:]) == 3 and bytes(view) == b"\\x00abc"
    m = mmap.mmap(-1, 2)
    assert request.readinto(m) == 2 and m[:] == b"de"
    assert request.readinto(bytearray(5)) == 1
    assert request.readinto(bytearray(5)) == 0
    print("ok")
""")


@pytest.mark.parametrize("version", ["3.8", "3.10"])
def test_without_the_buffer_protocol(version):
    """On interpreters whose stable ABI lacks the buffer protocol the same
    inputs and targets work through copies."""
    import glob
    found = sorted(glob.glob(f"/root/.pyenv/versions/{version}.*/bin/python{version}"))
    if not found:
        pytest.skip(f"no Python {version} here")
    script = OLD_PYTHON.format(double=str(ROOT / "tests" / "double"))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p.endswith("/python")))
    done = subprocess.run([found[-1], "-c", script], capture_output=True, text=True, timeout=60, env=env)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr


# -- read_all and the announced length -----------------------------------------

@pytest.mark.parametrize("head, chunks", [
    (b"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", [b"abc", b"defg", b"hij"]),      # as announced
    (b"HTTP/1.1 200 OK\r\ncontent-length:  20 \r\n\r\n", [b"abc", b"defg", b"hij"]),    # fewer bytes
    (b"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n", [b"abc", b"defg", b"hij"]),       # more bytes
    (b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Encoding: gzip\r\n\r\n", [b"decoded body"]),
    (b"HTTP/1.1 200 OK\r\nContent-Length: 1e9\r\n\r\n", [b"x"]),
    (b"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n", [b"y"]),
    (b"HTTP/1.1 204 No Content\r\nContent-Length: 7\r\n\r\n", []),
])
def test_read_all_whatever_the_head_announced(core, engine, head, chunks):
    request, ident = started(core, engine)
    core.response(ident, 200, head)
    request.wait_response(5)
    feed(core, ident, chunks)
    body = request.read_all(5)
    assert type(body) is bytes and body == b"".join(chunks)


def test_read_all_timeout_with_an_announced_length(core, engine):
    request, ident = started(core, engine)
    core.response(ident, 200, b"HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\n")
    request.wait_response(5)
    feed(core, ident, [b"abc", b"de"], complete=False)
    with pytest.raises(TimeoutError):
        request.read_all(0.05)
    assert request.readinto(bytearray(1)) == 1      # what read_all gathered came back
    feed(core, ident, [b"fgh"])
    assert request.read_all(5) == b"bcdefgh"
