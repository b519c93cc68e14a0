"""Child process of the upload interrupt test: a streamed PUT to a local
server that accepts and never reads, so the writer is held by the upload
queue's back-pressure; SIGINT comes from a thread 1 s later.

Usage: upload_interrupt_client.py
Prints one JSON line: {"raised": name, "after_signal": seconds,
"writes": n, "finished": bool}.
"""
import json
import signal
import socket
import threading
import time

import vesper_native36 as native

MIB = 1024 * 1024
MAX_WRITES = 64  # far past what the kernel buffers and the queue's limit hold


def main():
    # Ctrl-C as at a terminal, also when the suite runs as a background job
    # (which starts every child with SIGINT ignored).
    signal.signal(signal.SIGINT, signal.default_int_handler)
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    held = []
    # Accepts and keeps the connection without reading a byte.
    acceptor = threading.Thread(target=lambda: held.append(listener.accept()), daemon=True)
    acceptor.start()

    engine = native.PyEngine()
    request = engine.request("PUT", f"http://127.0.0.1:{listener.getsockname()[1]}/", chunked=True)
    request.start()
    sent_at = []

    def interrupt():
        sent_at.append(time.monotonic())
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    timer = threading.Timer(1.0, interrupt)
    timer.start()
    writes, raised, after = 0, None, None
    piece = b"u" * MIB
    try:
        while writes < MAX_WRITES:
            request.upload_write(piece, False)
            writes += 1
    except KeyboardInterrupt:
        raised = "KeyboardInterrupt"
        after = time.monotonic() - sent_at[0]
    except RuntimeError as exc:
        raised = f"RuntimeError: {exc}"
    timer.join(5)
    deadline = time.monotonic() + 5
    while not request.is_finished() and time.monotonic() < deadline:
        time.sleep(0.01)
    print(json.dumps({"raised": raised, "after_signal": after, "writes": writes,
                      "finished": request.is_finished()}))


if __name__ == "__main__":
    main()
