"""vesper demo: a few requests through vesper_native36 and the Core against a
local HTTPS server (HTTP/2, certificate from a test CA made on the spot).

Run with `make demo`.
"""
import hashlib
import json
import pathlib
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "live"))

import vesper_native36 as native  # noqa: E402
from servers.certs import make_certs  # noqa: E402
from servers.process import python_server  # noqa: E402


def main():
    print(f"vesper_native36 (interface {native.abi_version}) on {native.PyEngine.core_version()}")
    with tempfile.TemporaryDirectory() as folder:
        certs = make_certs(folder)
        server = python_server("run_http.py", "--cert", certs["good"][0], "--key", certs["good"][1])
        try:
            run(f"https://127.0.0.1:{server.port}", pathlib.Path(certs["ca"]).read_bytes())
        finally:
            server.stop()


def run(base, ca_pem):
    engine = native.PyEngine(ca_pem=ca_pem, user_agent="vesper-demo/0.1")

    # 1. A plain request: the head, then the whole body.
    request = engine.request("GET", f"{base}/echo", headers=[("X-Demo", "1")])
    request.start()
    response = request.await_response()
    answer = json.loads(bytes(request.read_body()))
    print(f"1. GET /echo -> {response.status_code} over HTTP/{answer['http_version']}; "
          f"the server saw user-agent {dict(answer['headers'])['user-agent']!r}")

    # 2. A redirect, followed by the Core and reported on the way.
    request = engine.request("POST", f"{base}/redirect?status=303&to=/echo", body=b"form=1")
    request.start()
    response = request.await_response()
    hop = request.take_redirects()[0]
    answer = json.loads(bytes(request.read_body()))
    print(f"2. POST /redirect -> {hop[0]} to {hop[2]} as {hop[3]}; final {response.status_code}, "
          f"method {answer['method']}")

    # 3. A 16 MiB body streamed chunk by chunk (the module holds at most ~1 MiB).
    request = engine.request("GET", f"{base}/bytes?n={16 * 1024 * 1024}")
    response = request.start_stream()
    chunks, size = 0, 0
    while (chunk := request.next_body()) is not None:
        chunks += 1
        size += len(chunk)
    print(f"3. GET /bytes -> {response.status_code}, {size:,} bytes in {chunks} chunks")

    # 4. An upload streamed in pieces of unknown total length.
    request = engine.request("PUT", f"{base}/upload", chunked=True)
    request.start()
    digest = hashlib.sha256()
    for i in range(8):
        piece = bytes([i]) * 100_000
        digest.update(piece)
        request.upload_write(piece, False)
    request.upload_finish()
    request.await_response()
    answer = json.loads(bytes(request.read_body()))
    match = "matches" if answer["body_sha256"] == digest.hexdigest() else "DOES NOT match"
    print(f"4. PUT /upload streamed {answer['body_len']:,} bytes; the server's checksum {match}")


if __name__ == "__main__":
    main()
