"""Local servers for the Core's live tests.

Starts, on 127.0.0.1 only:
  http        HTTP/1.1 and h2c (hypercorn, no TLS)
  https       HTTP/1.1 and HTTP/2 over TLS, certificate for 127.0.0.1 and
              localhost from a test CA
  https_host  TLS with a certificate for another host name (same CA)
  https_old   TLS with an expired certificate (same CA)
  proxy       an HTTP proxy that wants user:secret (pproxy), if available
  socks       a SOCKS5 proxy without authentication (pproxy), if available
  ws, wss     the WebSocket test server of tests/live/servers/run_websocket.py,
              in clear and with the 127.0.0.1 certificate, if available
  h3          HTTP/3 over QUIC and h2 over TLS on the same port number
              (tests/live/servers/run_http3.py), if aioquic is available
Writes one JSON line with the ports and the CA file to stdout, then serves
until stdin closes (the test process ended) or it is terminated.  The test
process starts it as the leader of a process group that its helpers join,
and stops the group; the helpers also end when this script ends.  With
HALYARD_LIVE_OWNER=<pid> (the ctest run, through live_servers_fixture.py)
it serves until that process ends instead of watching stdin.
"""
import asyncio
import datetime
import gzip
import json
import os
import socket
import subprocess
import sys
import tempfile
import zlib

import trustme
from hypercorn.asyncio import serve
from hypercorn.config import Config

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "live"))
from servers import reaper  # noqa: E402
from servers.app import serve_lifespan  # noqa: E402


def fnv1a(data: bytes) -> int:
    h = 0xCBF29CE484222325
    for b in data:
        h ^= b
        h = (h * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def pattern(n: int) -> bytes:
    return bytes(i % 251 for i in range(n))


async def read_body(receive):
    chunks = []
    while True:
        message = await receive()
        if message["type"] == "http.disconnect":
            break
        chunks.append(message.get("body", b""))
        if not message.get("more_body", False):
            break
    return b"".join(chunks)


async def send_simple(send, status, body=b"", headers=()):
    hdrs = [(b"content-length", str(len(body)).encode())] + [
        (k.encode(), v.encode()) for k, v in headers
    ]
    await send({"type": "http.response.start", "status": status, "headers": hdrs})
    await send({"type": "http.response.body", "body": body})


# Full answers per /cached key.
CACHED_ANSWERS = {}


async def app(scope, receive, send):
    if scope["type"] == "lifespan":
        await serve_lifespan(receive, send)
        return
    path = scope["path"]
    query = dict(
        p.split("=", 1) for p in scope["query_string"].decode().split("&") if "=" in p
    )
    parts = path.strip("/").split("/")
    head = parts[0] if parts else ""

    if head == "hello":
        await send_simple(send, 200, b"hello", [("x-test", "one"), ("content-type", "text/plain")])
    elif head == "bytes":
        n = int(parts[1])
        data = pattern(n)
        if query.get("chunked") == "1":
            await send({"type": "http.response.start", "status": 200, "headers": []})
            step = 65536
            for i in range(0, n, step):
                await send({"type": "http.response.body", "body": data[i:i + step], "more_body": True})
            await send({"type": "http.response.body", "body": b""})
        else:
            await send_simple(send, 200, data)
    elif head == "gzipbytes":
        await send_simple(send, 200, gzip.compress(pattern(int(parts[1]))), [("content-encoding", "gzip")])
    elif head in ("gzip", "deflate"):
        raw = b"compressible text " * 500
        encoded = gzip.compress(raw) if head == "gzip" else zlib.compress(raw)
        await send_simple(send, 200, encoded, [("content-encoding", head)])
    elif head == "echo":
        body = await read_body(receive)
        lines = [f"method: {scope['method']}", f"version: {scope['http_version']}"]
        for k, v in scope["headers"]:
            lines.append(f"header: {k.decode().lower()}: {v.decode()}")
        lines.append(f"body-length: {len(body)}")
        lines.append(f"body-hash: {fnv1a(body)}")
        await send_simple(send, 200, ("\n".join(lines) + "\n").encode())
    elif head == "redirect":
        await read_body(receive)
        status = int(query.get("status", "302"))
        target = query.get("to", "/hello").replace("%3A", ":").replace("%2F", "/").replace("%3F", "?").replace("%3D", "=").replace("%26", "&")
        await send_simple(send, status, b"moved", [("location", target), ("set-cookie", "hop=1; Path=/")])
    elif head == "chain":
        n = int(parts[1])
        if n > 0:
            await send_simple(send, 302, b"", [("location", f"/chain/{n - 1}")])
        else:
            await send_simple(send, 200, b"end of chain")
    elif head == "status":
        await send_simple(send, int(parts[1]), b"status body")
    elif head == "slow":
        await asyncio.sleep(float(query.get("delay", "5")))
        await send_simple(send, 200, b"late")
    elif head == "stall":
        # The head and a first piece, then nothing for a long time.
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"first", "more_body": True})
        await asyncio.sleep(60)
        await send({"type": "http.response.body", "body": b""})
    elif head == "cached":
        # /cached/<key>: fresh for five minutes; /cached/<key>?revalidate=1:
        # stored but revalidated each time (no-cache), answered 304 when the
        # request carries the ETag.  The body says how many full answers
        # the key has had, so a stored copy shows an old count.
        key = parts[1] if len(parts) > 1 else ""
        revalidate = query.get("revalidate") == "1"
        etag = f'"{key}"'
        sent_etag = next((v.decode() for k, v in scope["headers"] if k.lower() == b"if-none-match"), None)
        await read_body(receive)
        if revalidate and sent_etag == etag:
            await send_simple(send, 304, b"", [("etag", etag), ("cache-control", "no-cache")])
        else:
            CACHED_ANSWERS[key] = CACHED_ANSWERS.get(key, 0) + 1
            control = "no-cache" if revalidate else "max-age=300"
            await send_simple(send, 200, f"answer {CACHED_ANSWERS[key]}".encode(),
                              [("etag", etag), ("cache-control", control)])
    elif head == "cookie":
        if parts[1] == "set":
            name = query.get("name", "c")
            value = query.get("value", "v")
            attrs = query.get("attrs", "Path=/").replace("%3B", ";").replace("%20", " ").replace("%3D", "=")
            await send_simple(send, 200, b"set", [("set-cookie", f"{name}={value}; {attrs}")])
        else:
            cookie = ";".join(v.decode() for k, v in scope["headers"] if k.lower() == b"cookie")
            await send_simple(send, 200, cookie.encode())
    else:
        await send_simple(send, 404, b"not found")


def listening_socket():
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", 0))
    s.listen(128)
    s.set_inheritable(True)
    return s


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def make_config(sock, cert=None, key=None):
    config = Config()
    config.accesslog = None
    config.errorlog = os.environ.get("HALYARD_LIVE_LOG")
    config.loglevel = "ERROR"
    config.keep_alive_timeout = 30
    config.bind = [f"fd://{sock.fileno()}"]
    if cert:
        config.certfile = cert
        config.keyfile = key
        config.alpn_protocols = ["h2", "http/1.1"]
    return config


async def watch_stdin(stop):
    loop = asyncio.get_running_loop()
    await loop.run_in_executor(None, sys.stdin.read)
    stop.set()


def watch_owner(pid, stop):
    """Sets `stop` when process `pid` ends (a pidfd: no reused pid mistaken
    for it)."""
    try:
        fd = os.pidfd_open(pid)
    except ProcessLookupError:
        stop.set()
        return
    asyncio.get_running_loop().add_reader(fd, stop.set)


async def main():
    tmp = tempfile.mkdtemp(prefix="halyard-live-")
    ca = trustme.CA()
    ca_path = os.path.join(tmp, "ca.pem")
    ca.cert_pem.write_to_path(ca_path)

    def leaf(name, *identities, **kwargs):
        cert = ca.issue_cert(*identities, **kwargs)
        cert_path = os.path.join(tmp, f"{name}.pem")
        key_path = os.path.join(tmp, f"{name}.key")
        cert.cert_chain_pems[0].write_to_path(cert_path)
        for pem in cert.cert_chain_pems[1:]:
            pem.write_to_path(cert_path, append=True)
        cert.private_key_pem.write_to_path(key_path)
        return cert_path, key_path

    good = leaf("good", "127.0.0.1", "localhost")
    other = leaf("other", "other.example")
    past = datetime.datetime(2020, 1, 1)
    old = leaf("old", "127.0.0.1", not_before=past, not_after=past + datetime.timedelta(days=1))

    socks = {name: listening_socket() for name in ("http", "https", "https_host", "https_old")}
    configs = [
        make_config(socks["http"]),
        make_config(socks["https"], *good),
        make_config(socks["https_host"], *other),
        make_config(socks["https_old"], *old),
    ]
    info = {name: s.getsockname()[1] for name, s in socks.items()}
    info["ca"] = ca_path

    try:
        import pproxy  # noqa: F401
        port, socks_port = free_port(), free_port()
        # Helpers join this script's process group: the test process stops
        # the whole set with one signal.
        reaper.spawn(
            [sys.executable, "-m", "pproxy", "-l", f"http://127.0.0.1:{port}#user:secret",
             "-l", f"socks5://127.0.0.1:{socks_port}", "--auth", "0"], own_group=False,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for name, p in (("proxy", port), ("socks", socks_port)):
            for _ in range(100):
                try:
                    socket.create_connection(("127.0.0.1", p), timeout=0.1).close()
                    info[name] = p
                    break
                except OSError:
                    await asyncio.sleep(0.05)
    except ImportError:
        pass

    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "live", "servers", "run_websocket.py")
    for name, extra in (("ws", []), ("wss", ["--cert", good[0], "--key", good[1]])):
        child = reaper.spawn([sys.executable, script, *extra], own_group=False, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = await asyncio.get_running_loop().run_in_executor(None, child.stdout.readline)
        if line.startswith("READY"):
            info[name] = int(line.split()[1])

    # HTTP/3 (QUIC on the UDP port of the same number) beside h2 over TCP,
    # serving tests/live/servers/app.py; absent when aioquic is missing.
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "live", "servers", "run_http3.py")
    child = reaper.spawn([sys.executable, script, "--cert", good[0], "--key", good[1], "--udp", "same"],
                         own_group=False, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, text=True)
    line = await asyncio.get_running_loop().run_in_executor(None, child.stdout.readline)
    if line.startswith("READY"):
        info["h3"] = int(line.split()[1])

    stop = asyncio.Event()
    servers = [asyncio.ensure_future(serve(app, c, shutdown_trigger=stop.wait)) for c in configs]
    await asyncio.sleep(0.05)
    print(json.dumps(info), flush=True)
    owner = os.environ.get("HALYARD_LIVE_OWNER")
    if owner:
        watch_owner(int(owner), stop)
    else:
        asyncio.ensure_future(watch_stdin(stop))
    try:
        await stop.wait()
    finally:
        reaper.stop_all()
        for s in servers:
            s.cancel()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
