"""The ASGI application the HTTP servers run: echo, bodies, redirects,
cookies, encodings and slow answers, each selected by path and query.
"""
import asyncio
import collections
import gzip
import hashlib
import json
import urllib.parse
import zlib

from . import feeds

# A whole number of 251-byte cycles, so that copies of it join seamlessly.
PATTERN = bytes(i % 251 for i in range(251 * 1044))


def pattern(n, offset=0):
    """Bytes offset..offset+n of the deterministic body pattern (i % 251)."""
    out = bytearray()
    start = offset % 251
    while len(out) < n:
        piece = PATTERN[start:start + n - len(out)]
        out += piece
        start = 0
    return bytes(out)


async def read_body(receive):
    body = hashlib.sha256()
    length = 0
    while True:
        message = await receive()
        if message["type"] == "http.disconnect":
            break
        chunk = message.get("body", b"")
        body.update(chunk)
        length += len(chunk)
        if not message.get("more_body"):
            break
    return body.hexdigest(), length


async def send_simple(send, status, body=b"", headers=()):
    headers = list(headers)
    if not any(name.lower() == b"content-length" for name, _ in headers):
        headers.append((b"content-length", str(len(body)).encode()))
    await send({"type": "http.response.start", "status": status, "headers": headers})
    await send({"type": "http.response.body", "body": body})


async def serve_lifespan(receive, send):
    """Answers an ASGI server's startup and shutdown messages."""
    while True:
        message = await receive()
        if message["type"] == "lifespan.startup":
            await send({"type": "lifespan.startup.complete"})
        elif message["type"] == "lifespan.shutdown":
            await send({"type": "lifespan.shutdown.complete"})
            return


async def app(scope, receive, send):
    if scope["type"] == "lifespan":
        await serve_lifespan(receive, send)
        return
    if scope["type"] != "http":
        return
    path = scope["path"]
    query = dict(urllib.parse.parse_qsl(scope["query_string"].decode()))
    handler = ROUTES.get(path, not_found)
    await handler(scope, query, receive, send)


async def not_found(scope, query, receive, send):
    await read_body(receive)
    await send_simple(send, 404, b"not found")


async def echo(scope, query, receive, send):
    digest, length = await read_body(receive)
    answer = {
        "method": scope["method"],
        "path": scope["path"],
        "query": scope["query_string"].decode(),
        "http_version": scope["http_version"],
        "scheme": scope["scheme"],
        "headers": [[k.decode("latin-1"), v.decode("latin-1")] for k, v in scope["headers"]],
        "body_sha256": digest,
        "body_len": length,
    }
    await send_simple(send, int(query.get("status", 200)), json.dumps(answer).encode(),
                      [(b"content-type", b"application/json")])


async def reflect(scope, query, receive, send):
    """Answers with the request body as it came, under the request's own
    Content-Type; the method and query travel in X-Method and X-Query."""
    body = bytearray()
    while True:
        message = await receive()
        if message["type"] == "http.disconnect":
            break
        body += message.get("body", b"")
        if not message.get("more_body"):
            break
    headers = dict(scope["headers"])
    await send_simple(send, 200, bytes(body), [
        (b"content-type", headers.get(b"content-type", b"application/octet-stream")),
        (b"x-method", scope["method"].encode()), (b"x-query", scope["query_string"])])


async def body_bytes(scope, query, receive, send):
    await read_body(receive)
    n = int(query.get("n", 0))
    chunk = max(1, int(query.get("chunk", 65536)))
    headers = [(b"content-type", b"application/octet-stream")]
    if query.get("chunked") != "1":
        headers.append((b"content-length", str(n).encode()))
    await send({"type": "http.response.start", "status": 200, "headers": headers})
    sent = 0
    while sent < n:
        piece = pattern(min(chunk, n - sent), sent)
        sent += len(piece)
        await send({"type": "http.response.body", "body": piece, "more_body": sent < n})
    if n == 0:
        await send({"type": "http.response.body", "body": b""})


async def redirect(scope, query, receive, send):
    await read_body(receive)
    status = int(query.get("status", 302))
    await send_simple(send, status, b"", [(b"location", query.get("to", "/echo").encode())])


async def redirect_chain(scope, query, receive, send):
    await read_body(receive)
    n = int(query.get("n", 1))
    if n <= 0:
        await send_simple(send, 200, b"end of chain")
        return
    await send_simple(send, 302, b"", [(b"location", f"/redirect-chain?n={n - 1}".encode())])


async def cookies_set(scope, query, receive, send):
    await read_body(receive)
    headers = [(b"set-cookie", f"{name}={value}; Path=/".encode()) for name, value in query.items()]
    await send_simple(send, 200, b"set", headers)


async def encoded(scope, query, receive, send):
    await read_body(receive)
    body = pattern(int(query.get("n", 1000)))
    coding = query.get("coding", "gzip")
    if coding == "gzip":
        data = gzip.compress(body)
    elif coding == "deflate":
        data = zlib.compress(body)
    elif coding == "br":
        import brotli
        data = brotli.compress(body)
    elif coding == "zstd":
        import zstandard
        data = zstandard.ZstdCompressor().compress(body)
    else:
        data = body
    await send_simple(send, 200, data, [(b"content-encoding", coding.encode())])


async def slow(scope, query, receive, send):
    await read_body(receive)
    await asyncio.sleep(float(query.get("delay", 5)))
    await send_simple(send, 200, b"slow")


async def stall(scope, query, receive, send):
    """Reads nothing of the request for `delay` seconds, then answers."""
    await asyncio.sleep(float(query.get("delay", 30)))
    await send_simple(send, 200, b"stalled")


async def drip(scope, query, receive, send):
    """Sends `n` bytes one at a time, `interval` seconds apart."""
    await read_body(receive)
    n = int(query.get("n", 10))
    interval = float(query.get("interval", 1))
    await send({"type": "http.response.start", "status": 200,
                "headers": [(b"content-length", str(n).encode())]})
    for i in range(n):
        await asyncio.sleep(interval)
        await send({"type": "http.response.body", "body": b"x", "more_body": i + 1 < n})


async def status(scope, query, receive, send):
    await read_body(receive)
    await send_simple(send, int(query.get("code", 200)), b"")


# Per-id counters of the cache routes: answers with a body, and 304s.
CACHE_HITS = collections.Counter()
CACHE_VALIDATED = collections.Counter()
# Arrival order of /log requests, per group.
ARRIVALS = collections.defaultdict(list)


async def cacheable(scope, query, receive, send):
    """A response with the caching headers the query asks for; counts hits.

    id: counter key; n: body size; cc: Cache-Control; etag; lm:
    Last-Modified; expires; vary: Vary.  A matching If-None-Match (or, with
    no etag, If-Modified-Since equal to lm) gets a 304.  Unsafe methods get
    200 "changed".  x-hit carries the hit number, so a cached answer shows
    an old one.
    """
    await read_body(receive)
    key = query.get("id", "")
    if scope["method"] not in ("GET", "HEAD"):
        await send_simple(send, 200, b"changed")
        return
    request_headers = {k.decode().lower(): v.decode() for k, v in scope["headers"]}
    validators = []
    if "etag" in query:
        validators.append((b"etag", f'"{query["etag"]}"'.encode()))
    if "lm" in query:
        validators.append((b"last-modified", query["lm"].encode()))
    extra = [(b"cache-control", query["cc"].encode())] if "cc" in query else []
    if "expires" in query:
        extra.append((b"expires", query["expires"].encode()))
    if "vary" in query:
        extra.append((b"vary", query["vary"].encode()))
    inm = request_headers.get("if-none-match")
    ims = request_headers.get("if-modified-since")
    if ("etag" in query and inm == f'"{query["etag"]}"') or ("etag" not in query and "lm" in query
                                                          and ims == query["lm"]):
        CACHE_VALIDATED[key] += 1
        await send_simple(send, 304, b"", validators + extra + [(b"x-validated", b"1")])
        return
    CACHE_HITS[key] += 1
    body = pattern(int(query.get("n", 1024)))
    await send_simple(send, 200, body, validators + extra + [(b"x-hit", str(CACHE_HITS[key]).encode()),
                                                             (b"content-type", b"application/octet-stream")])


async def cache_count(scope, query, receive, send):
    await read_body(receive)
    key = query.get("id", "")
    answer = {"hits": CACHE_HITS[key], "validated": CACHE_VALIDATED[key]}
    await send_simple(send, 200, json.dumps(answer).encode(), [(b"content-type", b"application/json")])


async def log_arrival(scope, query, receive, send):
    """Records the arrival of `tag` in `group`, then answers after `delay`."""
    await read_body(receive)
    ARRIVALS[query.get("group", "")].append(query.get("tag", ""))
    await asyncio.sleep(float(query.get("delay", 0)))
    await send_simple(send, 200, query.get("tag", "").encode())


async def log_order(scope, query, receive, send):
    await read_body(receive)
    await send_simple(send, 200, json.dumps(ARRIVALS[query.get("group", "")]).encode())


ROUTES = {
    "/cache": cacheable,
    "/cache/count": cache_count,
    "/log": log_arrival,
    "/log/order": log_order,
    "/echo": echo,
    "/reflect": reflect,
    "/bytes": body_bytes,
    "/redirect": redirect,
    "/redirect-chain": redirect_chain,
    "/cookies/set": cookies_set,
    "/cookies": echo,
    "/encoded": encoded,
    "/slow": slow,
    "/drip": drip,
    "/stall": stall,
    "/status": status,
    "/upload": echo,
}
ROUTES.update(feeds.ROUTES)
