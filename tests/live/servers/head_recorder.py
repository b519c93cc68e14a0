"""A raw HTTP/1.1 server on 127.0.0.1 that keeps every request head exactly
as it arrived, for checking what a client printed or kept as sent.

GET /chain/N answers 302 to /chain/N-1 until /chain/0, which answers 200
"done"; /cached answers 200 "kept" that a cache may keep for a minute; any
other path answers 200 "ok".  Bodies with Content-Length are
read and dropped.  Runs on daemon threads of the test process; stop() closes
the listener and every connection it accepted.
"""
from __future__ import annotations

import socket
import threading
from typing import List

_LIMIT = 1 << 20  # a head larger than this ends its connection
_IDLE = 10.0      # seconds a connection may sit without a byte


class HeadRecorder:
    def __init__(self) -> None:
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self.url = f"http://127.0.0.1:{self.port}"
        self._lock = threading.Lock()
        self._heads: List[bytes] = []
        self._connections: List[socket.socket] = []
        self._closed = False
        threading.Thread(target=self._accept, daemon=True).start()

    @property
    def heads(self) -> List[bytes]:
        with self._lock:
            return list(self._heads)

    def clear(self) -> None:
        with self._lock:
            self._heads.clear()

    def stop(self) -> None:
        self._closed = True
        self._listener.close()
        with self._lock:
            for connection in self._connections:
                connection.close()

    def _accept(self) -> None:
        while not self._closed:
            try:
                connection, _ = self._listener.accept()
            except OSError:
                return
            connection.settimeout(_IDLE)
            with self._lock:
                self._connections.append(connection)
            threading.Thread(target=self._serve, args=(connection,), daemon=True).start()

    def _serve(self, connection: socket.socket) -> None:
        pending = b""
        try:
            while True:
                while b"\r\n\r\n" not in pending:
                    piece = connection.recv(65536)
                    if not piece or len(pending) > _LIMIT:
                        return
                    pending += piece
                end = pending.index(b"\r\n\r\n") + 4
                head, pending = pending[:end], pending[end:]
                with self._lock:
                    self._heads.append(head)
                length = 0
                for line in head.split(b"\r\n")[1:]:
                    name, _, value = line.partition(b":")
                    if name.strip().lower() == b"content-length":
                        length = int(value)
                while len(pending) < length:
                    piece = connection.recv(65536)
                    if not piece:
                        return
                    pending += piece
                pending = pending[length:]
                connection.sendall(self._answer(head.split(b" ", 2)[1].decode("latin-1")))
        except OSError:
            return
        finally:
            connection.close()

    @staticmethod
    def _answer(path: str) -> bytes:
        if path.startswith("/chain/") and path[7:].isdigit() and int(path[7:]) > 0:
            return (f"HTTP/1.1 302 Found\r\nLocation: /chain/{int(path[7:]) - 1}\r\n"
                    "Content-Length: 0\r\n\r\n").encode()
        if path == "/cached":
            return b"HTTP/1.1 200 OK\r\nCache-Control: max-age=60\r\nContent-Length: 4\r\n\r\nkept"
        body = b"done" if path.startswith("/chain/") else b"ok"
        return b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body)
