"""The peer benchmark's own machinery: the upload sink answers only once the
whole body is in, and a pair's process reports a figure, "n/a" or its
failure, and its own peak memory rather than its parent's."""
import json
import pathlib
import socket
import subprocess
import sys

import pytest

BENCH = pathlib.Path(__file__).resolve().parents[2] / "bench"
sys.path.insert(0, str(BENCH))

import peers  # noqa: E402


@pytest.fixture(scope="module")
def sink(tmp_path_factory):
    binary = tmp_path_factory.mktemp("sink") / "upload_sink"
    subprocess.run(["g++", "-O2", "-std=c++20", str(BENCH / "upload_sink.cpp"), "-o", str(binary), "-lpthread"],
                   check=True, timeout=120)
    proc = subprocess.Popen([str(binary)], stdout=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline()
        assert line.startswith("READY"), line
        yield int(line.split()[1])
    finally:
        proc.terminate()
        proc.wait(5)


def answer_after(port, head, pieces):
    """Sends the head, then each piece; the bytes the server sent before the
    last piece and the answer after it."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as conn:
        conn.sendall(head)
        early = b""
        for piece in pieces[:-1]:
            conn.sendall(piece)
        conn.settimeout(0.3)
        try:
            early = conn.recv(100)
        except socket.timeout:
            pass
        conn.settimeout(5)
        conn.sendall(pieces[-1])
        answer = b""
        while not answer.endswith(b"ok"):
            data = conn.recv(100)
            if not data:
                break
            answer += data
        return early, answer


@pytest.mark.parametrize("head, pieces", [
    (b"POST /upload HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n",
     [b"5\r\nhello\r\n", b"10;ext=1\r\n" + b"a" * 16 + b"\r\n", b"0\r\nTrailer: t\r\n\r\n"]),
    (b"POST /upload HTTP/1.1\r\nHost: x\r\ncontent-length: 9000\r\n\r\n", [b"b" * 8999, b"b"]),
], ids=["chunked", "content-length"])
def test_sink_answers_only_after_the_whole_body(sink, head, pieces):
    early, answer = answer_after(sink, head, pieces)
    assert early == b""
    assert answer.startswith(b"HTTP/1.1 200 OK") and answer.endswith(b"\r\n\r\nok")


def test_sink_serves_requests_one_after_another_on_a_connection(sink):
    request = b"POST /upload HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc"
    with socket.create_connection(("127.0.0.1", sink), timeout=5) as conn:
        for _ in range(3):
            conn.sendall(request)
            answer = b""
            while not answer.endswith(b"ok"):
                data = conn.recv(100)
                assert data, "connection closed"
                answer += data
            assert answer.count(b"200 OK") == 1


@pytest.mark.parametrize("outcome, expected", [
    ("figure", {"value": 50.0}),
    ("missing", {"na": "no thing"}),
    ("broken", {"error": "ValueError: bad"}),
])
def test_child_reports_figure_na_or_failure(monkeypatch, capsys, outcome, expected):
    def fake(_ctx):
        if outcome == "missing":
            raise peers.Unavailable("no thing")
        if outcome == "broken":
            raise ValueError("bad")
        return 100, 2.0
    monkeypatch.setitem(peers.PAIRS, "fake", {"client": fake})
    peers.child("fake", "client", {})
    line = capsys.readouterr().out.strip()
    assert line.startswith("RESULT ")
    result = json.loads(line[len("RESULT "):])
    assert result.pop("rss_mib") > 0
    assert result == expected


def test_peak_memory_is_the_childs_own():
    # A parent holding 300 MiB must not show up in a fresh child's figure.
    code = ("import sys; sys.path.insert(0, %r); import peers; print(peers.peak_rss_mib())" % str(BENCH))
    ballast = bytearray(300 << 20)
    ballast[::4096] = b"x" * len(ballast[::4096])
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, check=True)
    assert 0 < float(out.stdout) < 200
    del ballast


def test_every_workload_has_its_references_registered():
    for workload, (_title, _unit, _sizes, refs) in peers.WORKLOADS.items():
        assert workload in peers.PAIRS
        for ref in refs:
            ref_workload, _, client = ref.rpartition("/")
            assert client in peers.PAIRS[ref_workload or workload], (workload, ref)
