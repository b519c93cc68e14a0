"""vesper -v prints each hop's request head exactly as it went on the wire."""
import re

import pytest

from servers.head_recorder import HeadRecorder

# A request head as printed on a pipe: its own CRLF lines, the blank line.
SENT = re.compile(rb"[A-Z]+ [^\r\n]+ HTTP/1\.1\r\n(?:[^\r\n]+\r\n)*\r\n")


@pytest.fixture
def recorder():
    server = HeadRecorder()
    yield server
    server.stop()


@pytest.mark.parametrize("args, hops", [
    (["{url}/plain"], 1),
    (["{url}/chain/3", "--follow"], 4),
    (["{url}/chain/2", "--step"], 3),
    (["{url}/chain/2"], 1),                       # not followed: only the first
    (["POST", "{url}/plain", "--data", "a body", "X-Extra:1"], 1),
    (["{url}/plain", "Cookie:" + "c" * 5000, "--http1.1"], 1),
])
def test_printed_heads_equal_what_the_server_received(cli, recorder, args, hops):
    run = cli(*[arg.format(url=recorder.url) for arg in args], "-v")
    assert run.code == 0, run
    received = recorder.heads
    assert len(received) == hops
    assert SENT.findall(run.out) == received


def test_each_hop_prints_its_head_before_its_answer(cli, recorder):
    run = cli(f"{recorder.url}/chain/2", "--follow", "-v")
    assert run.code == 0, run
    order = re.findall(rb"^(GET /chain/\d|HTTP/1\.1 \d+)", run.out, re.M)
    assert order == [b"GET /chain/2", b"HTTP/1.1 302", b"GET /chain/1", b"HTTP/1.1 302",
                     b"GET /chain/0", b"HTTP/1.1 200"]
    assert run.out.endswith(b"done")


def test_without_v_nothing_is_recorded_or_printed(cli, recorder):
    run = cli(f"{recorder.url}/chain/1", "--follow", "-i")
    assert run.code == 0, run
    assert len(recorder.heads) == 2
    assert SENT.findall(run.out) == []
