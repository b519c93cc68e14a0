"""A TLS server on loopback that records, per connection, what a client sends
first: the ClientHello, then either the HTTP/2 frames up to and including
the first HEADERS (SETTINGS, WINDOW_UPDATE, PRIORITY, HEADERS flags,
priority fields and header list in order) or the HTTP/1.1 request head.

It answers enough for a browser to go on: a page whose script opens a
WebSocket to the same origin, a 101 to the upgrade, 404 to anything else.
The browser capture script and the live profile tests both use it.
"""
import hashlib
import socket
import ssl
import struct
import threading
import time

import hpack

from .fingerprint import ClientHello

PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
FRAME_NAMES = {0: "DATA", 1: "HEADERS", 2: "PRIORITY", 3: "RST_STREAM", 4: "SETTINGS", 6: "PING", 7: "GOAWAY",
               8: "WINDOW_UPDATE", 9: "CONTINUATION"}
WS_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
PAGE = (b"<!doctype html><title>recorder</title><script>"
        b"const ws = new WebSocket('wss://' + location.host + '/ws');"
        b"ws.onopen = () => { document.title = 'open'; };"
        b"</script>")


def _recv_exact(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise ConnectionError("closed")
        data += chunk
    return data


def _frame(kind, flags, stream, payload=b""):
    return struct.pack(">I", len(payload))[1:] + bytes([kind, flags]) + struct.pack(">I", stream) + payload


def parse_headers_payload(flags, payload):
    """(priority or None, header block fragment) of a HEADERS frame."""
    pos = 0
    pad = 0
    if flags & 0x08:
        pad = payload[0]
        pos = 1
    priority = None
    if flags & 0x20:
        dep = struct.unpack(">I", payload[pos:pos + 4])[0]
        priority = {"exclusive": dep >> 31, "depends_on": dep & 0x7FFFFFFF, "weight": payload[pos + 4] + 1}
        pos += 5
    return priority, payload[pos:len(payload) - pad]


def akamai(frames):
    """The Akamai HTTP/2 fingerprint of the frames a client sent first."""
    settings, window, priorities, pseudo = [], 0, [], ""
    for f in frames:
        if f["type"] == "SETTINGS" and not f.get("ack"):
            settings += [f"{k}:{v}" for k, v in f["settings"]]
        elif f["type"] == "WINDOW_UPDATE" and f["stream"] == 0:
            window = window or f["increment"]
        elif f["type"] == "PRIORITY":
            p = f["priority"]
            priorities.append(f"{f['stream']}:{p['exclusive']}:{p['depends_on']}:{p['weight']}")
        elif f["type"] == "HEADERS":
            pseudo = ",".join(k[1] for k, _ in f["headers"] if k.startswith(":"))
            break
    return f"{';'.join(settings)}|{window}|{','.join(priorities) or '0'}|{pseudo}"


class Connection:
    """What one connection carried, as JSON-ready values."""

    def __init__(self, hello):
        self.hello = hello
        self.alpn = None
        self.frames = []     # up to and including the first HEADERS
        self.later = []      # PRIORITY and HEADERS frames after it
        self.head = None     # HTTP/1.1 request head, text

    def as_json(self):
        hello = ClientHello(self.hello)
        out = {"alpn": self.alpn, "client_hello": self.hello.hex(), "ja4": hello.ja4(), "ja3": hello.ja3_string()}
        if self.frames:
            out["frames"] = self.frames
            out["akamai"] = akamai(self.frames)
        if self.head is not None:
            out["head"] = self.head
        return out


class BrowserRecorder:
    """`alpn`: what the server accepts, in its order of preference."""

    def __init__(self, cert, key, alpn=("h2", "http/1.1"), host="127.0.0.1"):
        self.connections = []
        self._lock = threading.Lock()
        self._context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self._context.load_cert_chain(cert, key)
        self._context.set_alpn_protocols(list(alpn))
        self._sock = socket.create_server((host, 0))
        self._sock.settimeout(0.2)
        self.port = self._sock.getsockname()[1]
        self._stop = threading.Event()
        self._threads = []
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        while not self._stop.is_set():
            try:
                conn, _ = self._sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            t = threading.Thread(target=self._handle_safely, args=(conn,), daemon=True)
            t.start()
            self._threads.append(t)

    def _handle_safely(self, conn):
        with conn:
            try:
                self._handle(conn)
            except (OSError, ssl.SSLError, ValueError, ConnectionError, hpack.HPACKError):
                pass

    def _handle(self, conn):
        conn.settimeout(10)
        deadline = time.monotonic() + 10
        record = b""
        while time.monotonic() < deadline:
            record = conn.recv(65536, socket.MSG_PEEK)
            if not record:
                return
            if len(record) >= 5 and len(record) >= 5 + int.from_bytes(record[3:5], "big"):
                break
            time.sleep(0.01)
        c = Connection(record[:5 + int.from_bytes(record[3:5], "big")])
        with self._lock:
            self.connections.append(c)
        with self._context.wrap_socket(conn, server_side=True) as tls:
            c.alpn = tls.selected_alpn_protocol() or "http/1.1"
            if c.alpn == "h2":
                self._serve_h2(tls, c)
            else:
                self._serve_h1(tls, c)

    def _serve_h1(self, tls, c):
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = tls.recv(65536)
            if not chunk:
                return
            head += chunk
        head = head.split(b"\r\n\r\n")[0] + b"\r\n\r\n"
        c.head = head.decode("latin-1")
        fields = {}
        for line in c.head.split("\r\n")[1:]:
            if ":" in line:
                k, v = line.split(":", 1)
                fields[k.strip().lower()] = v.strip()
        if fields.get("upgrade", "").lower() == "websocket":
            accept = __import__("base64").b64encode(hashlib.sha1(fields["sec-websocket-key"].encode() + WS_GUID)
                                                    .digest())
            tls.sendall(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                        b"Sec-WebSocket-Accept: " + accept + b"\r\n\r\n")
            tls.sendall(b"\x88\x02\x03\xe8")   # close, 1000
            return
        body = PAGE if c.head.startswith("GET / ") else head
        status = b"200 OK" if c.head.startswith("GET / ") or "/echo" in c.head.split("\r\n")[0] else b"404 Not Found"
        tls.sendall(b"HTTP/1.1 %s\r\nContent-Type: text/html\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s"
                    % (status, len(body), body))

    def _serve_h2(self, tls, c):
        if _recv_exact(tls, len(PREFACE)) != PREFACE:
            return
        tls.sendall(_frame(4, 0, 0))
        decoder, encoder = hpack.Decoder(), hpack.Encoder()
        block, block_stream, block_meta = b"", 0, None
        for _ in range(200):
            head = _recv_exact(tls, 9)
            length = int.from_bytes(head[:3], "big")
            kind, flags = head[3], head[4]
            stream = struct.unpack(">I", head[5:9])[0] & 0x7FFFFFFF
            payload = _recv_exact(tls, length)
            name = FRAME_NAMES.get(kind, str(kind))
            record = not any(f["type"] == "HEADERS" for f in c.frames)
            if kind == 4:
                if flags & 1:
                    continue
                tls.sendall(_frame(4, 1, 0))
                if record:
                    c.frames.append({"type": name, "settings": [list(s) for s in
                                                                 struct.iter_unpack(">HI", payload)]})
            elif kind == 8 and record:
                c.frames.append({"type": name, "stream": stream,
                                 "increment": struct.unpack(">I", payload)[0] & 0x7FFFFFFF})
            elif kind == 2:
                dep = struct.unpack(">I", payload[:4])[0]
                (c.frames if record else c.later).append({"type": name, "stream": stream, "priority": {
                    "exclusive": dep >> 31, "depends_on": dep & 0x7FFFFFFF, "weight": payload[4] + 1}})
            elif kind in (1, 9):
                if kind == 1:
                    block_meta = (flags, parse_headers_payload(flags, payload)[0])
                    block, block_stream = parse_headers_payload(flags, payload)[1], stream
                else:
                    block += payload
                if flags & 0x04:
                    headers = [[k, v] for k, v in decoder.decode(block)]
                    (c.frames if record else c.later).append({
                        "type": "HEADERS", "stream": block_stream, "flags": block_meta[0],
                        "priority": block_meta[1], "headers": headers})
                    self._answer_h2(tls, encoder, block_stream, dict(headers))
            elif kind == 7:
                return

    @staticmethod
    def _answer_h2(tls, encoder, stream, headers):
        path = headers.get(":path", "/")
        status, body = ("200", PAGE) if path == "/" else ("404", b"")
        block = encoder.encode([(":status", status), ("content-type", "text/html"),
                                ("content-length", str(len(body)))])
        tls.sendall(_frame(1, 0x04, stream, block) + _frame(0, 0x01, stream, body))

    def wait_for(self, predicate, timeout):
        """Waits until predicate(connections) is true; False on timeout."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with self._lock:
                if predicate(list(self.connections)):
                    return True
            time.sleep(0.05)
        return False

    def close(self):
        self._stop.set()
        self._sock.close()
        self._thread.join(5)
