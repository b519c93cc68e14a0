"""A WebSocket test server (the websockets package), plain or TLS.

Usage: run_websocket.py [--cert C --key K] [--no-compression]
Prints "READY <port>", then serves these paths (query parameters in brackets):

  /echo                 every message back as it came (text or binary)
  /digest               answers each message with "<length> <sha256 hex>"
  /headers              sends the handshake request's headers as JSON, then echoes
  /extensions           sends the extensions it accepted (its answer header), then echoes
  /close [code, reason] closes at once with that code and reason
  /refuse [status]      refuses the handshake with that HTTP status
  /protocol [pick]      selects the subprotocol `pick` (even one not offered), then echoes
  /fragments [parts]    sends "fragment-0fragment-1..." as one text message in `parts` frames
  /split-text [parts, size]  sends one text message of `parts` frames of `size` bytes each,
                        every boundary inside a multi-byte character, then echoes
  /invalid-utf8         sends a text frame that is not UTF-8
  /stall                accepts the connection but never answers the handshake
  /silent               completes the handshake, then stops reading and answering
  /burst [count, size]  sends `count` binary messages of `size` bytes as fast as it can
  /cookie [value]       sets the cookie ws=<value> in its 101 answer, then echoes
  /target/...           sends the request target as it arrived, then echoes
"""
import argparse
import asyncio
import hashlib
import json
import socket
import ssl
import urllib.parse

from websockets.asyncio.server import serve
from websockets.exceptions import ConnectionClosed


def query_of(path):
    parsed = urllib.parse.urlparse(path)
    return parsed.path, dict(urllib.parse.parse_qsl(parsed.query))


async def echo(ws):
    async for message in ws:
        await ws.send(message)


def split_text(length):
    """`length` bytes of UTF-8 made of two- and four-byte characters after a
    one-byte lead, so that cutting it at a size that is not a multiple of
    the pattern's lands inside characters."""
    pattern = "x\u00e9\U0001f600".encode()  # 1 + 2 + 4 bytes
    data = pattern * (length // len(pattern)) + b"x" * (length % len(pattern))
    return data


COUNTS = {}  # /count: messages received per tag


async def handler(ws):
    try:
        await route(ws)
    except ConnectionClosed:
        pass  # the client went away or failed the connection: part of the tests


async def route(ws):
    path, query = query_of(ws.request.path)
    if path in ("/echo", "/protocol", "/cookie"):
        await echo(ws)
    elif path == "/digest":
        async for message in ws:
            data = message.encode() if isinstance(message, str) else message
            await ws.send(f"{len(data)} {hashlib.sha256(data).hexdigest()}")
    elif path == "/headers":
        await ws.send(json.dumps([[k, v] for k, v in ws.request.headers.raw_items()]))
        await echo(ws)
    elif path.startswith("/target"):
        await ws.send(ws.request.path)
        await echo(ws)
    elif path == "/extensions":
        await ws.send(ws.response.headers.get("Sec-WebSocket-Extensions", ""))
        await echo(ws)
    elif path == "/close":
        await ws.close(int(query.get("code", "1000")), query.get("reason", ""))
    elif path == "/fragments":
        parts = int(query.get("parts", "3"))
        await ws.send(f"fragment-{i}" for i in range(parts))
        await echo(ws)
    elif path == "/split-text":
        parts, size = int(query.get("parts", "4")), int(query.get("size", "10000"))
        data = split_text(parts * size)
        await ws.send((data[i * size:(i + 1) * size] for i in range(parts)), text=True)
        await echo(ws)
    elif path == "/invalid-utf8":
        await ws.send(b"ok \xff\xfe", text=True)
        await echo(ws)
    elif path == "/count":
        # Counts the messages received before the client's close; the
        # count is asked for on another connection (/count-report).
        tag, received = query.get("tag", ""), 0
        async for _ in ws:
            received += 1
        COUNTS[tag] = received
    elif path == "/count-report":
        # The client saw the close answered before the /count handler has
        # drained its queue and stored the count: wait for it (bounded).
        tag = query.get("tag", "")
        for _ in range(500):
            if tag in COUNTS:
                break
            await asyncio.sleep(0.01)
        await ws.send(str(COUNTS.get(tag, -1)))
        await echo(ws)
    elif path == "/silent":
        # websockets resumes reading on its own now and then: those resumes
        # are dropped, so the peer really stops reading.
        ws.transport.pause_reading()
        ws.transport.resume_reading = lambda: None
        await asyncio.sleep(3600)
    elif path == "/burst":
        count, size = int(query.get("count", "2000")), int(query.get("size", "1024"))
        payload = bytes(size)
        for _ in range(count):
            await ws.send(payload)
        await echo(ws)
    else:
        await ws.close(4404, "no such path")


async def process_request(connection, request):
    path, query = query_of(request.path)
    if path == "/refuse":
        status = int(query.get("status", "403"))
        return connection.respond(status, f"refused with {status}\n")
    if path == "/stall":
        await asyncio.sleep(3600)
    return None


def process_response(connection, request, response):
    path, query = query_of(request.path)
    if path == "/cookie":
        response.headers["Set-Cookie"] = f"ws={query.get('value', 'v')}; Path=/"
    return response


def select_subprotocol(connection, offered):
    path, query = query_of(connection.request.path)
    if path == "/protocol" and "pick" in query:
        return query["pick"]
    return offered[0] if offered else None


async def main(args):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    context = None
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
    async with serve(handler, sock=sock, ssl=context, process_request=process_request,
                     process_response=process_response, select_subprotocol=select_subprotocol,
                     compression=None if args.no_compression else "deflate",
                     max_size=None, max_queue=None, ping_interval=None, open_timeout=None,
                     close_timeout=5, write_limit=1 << 20):
        print(f"READY {port}", flush=True)
        await asyncio.Future()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--no-compression", action="store_true")
    try:
        asyncio.run(main(parser.parse_args()))
    except KeyboardInterrupt:
        pass
