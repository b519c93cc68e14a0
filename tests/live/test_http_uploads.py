"""Streamed uploads through the real Core."""
import hashlib
import json
import os
import pathlib
import shutil
import subprocess
import sys
import threading

import pytest

from conftest import native
from servers.process import ServerProcess

MIB = 1024 * 1024


def stream(engine, url, pieces):
    request = engine.request("POST", url, chunked=True)
    request.start()
    digest, length = hashlib.sha256(), 0
    for piece in pieces:
        request.upload_write(piece, False)
        digest.update(piece)
        length += len(piece)
    request.upload_finish()
    request.await_response()
    answer = json.loads(bytes(request.read_body()))
    return answer, digest.hexdigest(), length


@pytest.mark.parametrize("count, size", [(0, 0), (1, 1), (10, 65536), (3, 3 * MIB + 1)])
@pytest.mark.parametrize("scheme", ["http", "https"])
def test_streamed_uploads(engine, http, https, scheme, count, size):
    url = {"http": http, "https": https}[scheme] + "/upload"
    pieces = [bytes([i % 256]) * size for i in range(count)]
    answer, digest, length = stream(engine, url, pieces)
    assert (answer["body_len"], answer["body_sha256"]) == (length, digest)


@pytest.mark.timeout(300)
def test_large_streamed_upload(engine, http):
    piece = bytes(range(256)) * 4096  # 1 MiB
    answer, digest, length = stream(engine, f"{http}/upload", (piece for _ in range(256)))
    assert length == 256 * MIB and answer["body_sha256"] == digest


def test_final_write_and_later_writes(engine, http):
    request = engine.request("PUT", f"{http}/upload", chunked=True)
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        request.upload_write(b"early", False)
    request.start()
    request.upload_write(b"last", True)
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        request.upload_write(b"after", False)
    request.await_response()
    assert json.loads(bytes(request.read_body()))["body_len"] == 4


def test_upload_on_a_request_without_a_stream(engine, http):
    request = engine.request("POST", f"{http}/upload", body=b"x")
    request.start()
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        request.upload_write(b"y", True)


def test_back_pressure_ends_with_the_request(engine, http):
    request = engine.request("POST", f"{http}/stall?delay=30", chunked=True, timeout=1.0)
    request.start()
    failure = []

    def writer():
        try:
            for _ in range(64):
                request.upload_write(b"z" * MIB, False)
        except RuntimeError as exc:
            failure.append(str(exc))

    thread = threading.Thread(target=writer)
    thread.start()
    thread.join(30)
    assert not thread.is_alive()
    with pytest.raises(RuntimeError):
        request.await_response()


def test_uploads_under_asyncio_do_not_block_the_loop(engine, http):
    import asyncio

    async def main():
        request = engine.request("POST", f"{http}/upload", chunked=True)
        request.start()
        loop = asyncio.get_running_loop()
        for _ in range(8):
            await loop.run_in_executor(None, request.upload_write, b"a" * MIB, False)
        await loop.run_in_executor(None, request.upload_finish)
        response = await loop.run_in_executor(None, request.await_response)
        return response.status_code, json.loads(bytes(request.read_body()))["body_len"]

    assert asyncio.run(main()) == (200, 8 * MIB)
    assert native.PyEngine.abi_version() == 8


HERE = pathlib.Path(__file__).resolve().parent


@pytest.fixture(scope="module")
def pinned_http():
    """The HTTP test server on CPU 0, where the client runs too."""
    if shutil.which("taskset") is None:
        pytest.skip("taskset is not installed")
    server = ServerProcess(["taskset", "-c", "0", sys.executable, str(HERE / "servers" / "run_http.py")])
    yield f"http://127.0.0.1:{server.port}"
    server.stop()


@pytest.mark.timeout(240)
@pytest.mark.parametrize("mode", ["same-thread", "writer-thread"])
def test_streamed_uploads_pinned_to_one_cpu_arrive_whole(pinned_http, mode):
    # Writer, network thread and server share one CPU, where a pause of the
    # upload read and the kick that ends it interleave most unevenly.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(HERE.parent.parent / "python"),
                                                      os.environ.get("PYTHONPATH", "")]))
    run = subprocess.run(["taskset", "-c", "0", sys.executable, str(HERE / "upload_pinned_client.py"),
                          f"{pinned_http}/upload", "400", mode],
                         capture_output=True, text=True, timeout=200, env=env)
    assert run.returncode == 0, run.stderr[-2000:]
    result = json.loads(run.stdout.strip().splitlines()[-1])
    assert result == {"done": 400, "bad": []}


@pytest.mark.timeout(60)
@pytest.mark.parametrize("pinned", [False, True], ids=["any-cpu", "one-cpu"])
def test_ctrl_c_ends_a_write_held_by_a_server_that_stops_reading(pinned):
    if pinned and shutil.which("taskset") is None:
        pytest.skip("taskset is not installed")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(HERE.parent.parent / "python"),
                                                      os.environ.get("PYTHONPATH", "")]))
    command = [sys.executable, str(HERE / "upload_interrupt_client.py")]
    run = subprocess.run((["taskset", "-c", "0"] if pinned else []) + command,
                         capture_output=True, text=True, timeout=30, env=env)
    assert run.returncode == 0, run.stderr[-2000:]
    result = json.loads(run.stdout.strip().splitlines()[-1])
    # Held by the back-pressure, not failed, and not through with its writes.
    assert result["raised"] == "KeyboardInterrupt", result
    assert 0 < result["writes"] < 64
    assert result["after_signal"] < 1.0
    # The interrupted upload's request was cancelled.
    assert result["finished"] is True
