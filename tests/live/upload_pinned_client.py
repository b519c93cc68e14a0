"""Child process of the pinned upload test: sequential streamed POSTs of
16 x 64 KiB, the writer on the calling thread or on its own thread, each
checked against the byte count and digest the server received.

Usage: upload_pinned_client.py URL COUNT same-thread|writer-thread
Prints one JSON line: {"done": n, "bad": [descriptions]}.
"""
import hashlib
import json
import sys
import threading

import vesper_native36 as native

PIECES, SIZE = 16, 65536


def one(engine, url, piece, writer_thread):
    request = engine.request("POST", url, chunked=True, timeout=20.0)
    request.start()
    failures = []

    def write():
        try:
            for _ in range(PIECES):
                request.upload_write(piece, False)
            request.upload_finish()
        except RuntimeError as exc:
            failures.append(f"write: {exc}")

    if writer_thread:
        thread = threading.Thread(target=write)
        thread.start()
    else:
        write()
    try:
        request.await_response()
        answer = json.loads(bytes(request.read_body()))
    except RuntimeError as exc:
        failures.append(f"request: {exc}")
        answer = None
    if writer_thread:
        thread.join(30)
        if thread.is_alive():
            failures.append("writer still blocked")
    expected = hashlib.sha256(piece * PIECES).hexdigest()
    if answer is not None and (answer["body_len"], answer["body_sha256"]) != (PIECES * SIZE, expected):
        failures.append(f"server received {answer['body_len']} bytes")
    return failures


def main():
    url, count, mode = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    engine = native.PyEngine()
    piece = bytes(range(256)) * (SIZE // 256)
    bad = []
    for i in range(count):
        bad += [f"#{i} {f}" for f in one(engine, url, piece, mode == "writer-thread")]
    print(json.dumps({"done": count, "bad": bad}), flush=True)


if __name__ == "__main__":
    main()
