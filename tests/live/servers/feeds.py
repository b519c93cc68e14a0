"""Routes of the test application for the package's client features: an
event stream sent slowly with every line-ending form, and a flaky endpoint
answering 503 with Retry-After until a set number of tries."""
import asyncio
import collections
import json
import time

# The event stream /sse sends: pieces written one by one, `interval` apart.
# The pieces cut lines, CRLF pairs and the BOM in the middle, and use LF,
# CR and CRLF line ends.
SSE_PIECES = [
    b"\xef\xbb", b"\xbf: a comment\n",
    b"id: 1\ndata: lf\n\n",
    b"event: cr\rdata: one\rdata: two\r\r",
    b"id: 2\r\ndata: crlf\r", b"\n\r\n",
    b"retry: 250\r\nevent: ignored-without-data\r\n\r\n",
    b"data: last\n", b"\n",
]

# Attempts per /flaky id.
FLAKY_TRIES = collections.Counter()
# Per /concurrent group: requests in flight now, the most at once, and the
# client ports (connections) seen in flight at that moment.
IN_FLIGHT = collections.Counter()
MOST_IN_FLIGHT = collections.Counter()
PORTS_IN_FLIGHT = collections.defaultdict(set)
MOST_PORTS = collections.Counter()


async def _drain(receive):
    while True:
        message = await receive()
        if message["type"] == "http.disconnect" or not message.get("more_body"):
            return


async def sse(scope, query, receive, send):
    """The pieces of SSE_PIECES, `interval` seconds (0.2) apart, in one
    chunked text/event-stream body."""
    await _drain(receive)
    interval = float(query.get("interval", 0.2))
    await send({"type": "http.response.start", "status": 200,
                "headers": [(b"content-type", b"text/event-stream"), (b"cache-control", b"no-cache")]})
    for piece in SSE_PIECES:
        await send({"type": "http.response.body", "body": piece, "more_body": True})
        await asyncio.sleep(interval)
    await send({"type": "http.response.body", "body": b""})


async def flaky(scope, query, receive, send):
    """503 with Retry-After (`after` seconds, default 1) for the first `fail`
    tries of `id`, then 200 with the try count and the arrival times."""
    await _drain(receive)
    key = query.get("id", "")
    FLAKY_TRIES[key] += 1
    tries = FLAKY_TRIES[key]
    if tries <= int(query.get("fail", 1)):
        body = b"busy"
        headers = [(b"retry-after", query.get("after", "1").encode()), (b"content-length", b"4")]
        await send({"type": "http.response.start", "status": int(query.get("code", 503)), "headers": headers})
        await send({"type": "http.response.body", "body": body})
        return
    body = json.dumps({"tries": tries, "method": scope["method"], "time": time.time()}).encode()
    await send({"type": "http.response.start", "status": 200,
                "headers": [(b"content-type", b"application/json"),
                            (b"content-length", str(len(body)).encode())]})
    await send({"type": "http.response.body", "body": body})


async def flaky_count(scope, query, receive, send):
    await _drain(receive)
    body = str(FLAKY_TRIES[query.get("id", "")]).encode()
    await send({"type": "http.response.start", "status": 200,
                "headers": [(b"content-length", str(len(body)).encode())]})
    await send({"type": "http.response.body", "body": body})


async def concurrent(scope, query, receive, send):
    """Counts the requests of `group` in flight (and their connections,
    by client port), holding each `delay` seconds (0.3)."""
    await _drain(receive)
    group = query.get("group", "")
    port = (scope.get("client") or ("", 0))[1]
    IN_FLIGHT[group] += 1
    PORTS_IN_FLIGHT[group].add(port)
    MOST_IN_FLIGHT[group] = max(MOST_IN_FLIGHT[group], IN_FLIGHT[group])
    MOST_PORTS[group] = max(MOST_PORTS[group], len(PORTS_IN_FLIGHT[group]))
    try:
        await asyncio.sleep(float(query.get("delay", 0.3)))
    finally:
        IN_FLIGHT[group] -= 1
        PORTS_IN_FLIGHT[group].discard(port)
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-length", b"2")]})
    await send({"type": "http.response.body", "body": b"ok"})


async def concurrent_most(scope, query, receive, send):
    await _drain(receive)
    group = query.get("group", "")
    body = json.dumps({"requests": MOST_IN_FLIGHT[group], "connections": MOST_PORTS[group]}).encode()
    await send({"type": "http.response.start", "status": 200,
                "headers": [(b"content-length", str(len(body)).encode())]})
    await send({"type": "http.response.body", "body": body})


# Names /dns-query has answered, in order.
DOH_ASKED = []


async def dns_query(scope, query, receive, send):
    """A DNS-over-HTTPS resolver (POST application/dns-message) that answers
    every A question with 127.0.0.1 and every other with no record."""
    body = b""
    while True:
        message = await receive()
        body += message.get("body", b"")
        if message["type"] == "http.disconnect" or not message.get("more_body"):
            break
    position, labels = 12, []
    while body[position]:
        length = body[position]
        labels.append(body[position + 1:position + 1 + length].decode("ascii", "replace"))
        position += 1 + length
    question_end = position + 5
    qtype = int.from_bytes(body[position + 1:position + 3], "big")
    DOH_ASKED.append((".".join(labels), qtype))
    answers = b""
    if qtype == 1:
        answers = b"\xc0\x0c" + (1).to_bytes(2, "big") + (1).to_bytes(2, "big") + (60).to_bytes(4, "big") + \
            (4).to_bytes(2, "big") + bytes([127, 0, 0, 1])
    header = body[:2] + b"\x81\x80" + (1).to_bytes(2, "big") + (1 if answers else 0).to_bytes(2, "big") + bytes(4)
    answer = header + body[12:question_end] + answers
    await send({"type": "http.response.start", "status": 200,
                "headers": [(b"content-type", b"application/dns-message"),
                            (b"content-length", str(len(answer)).encode())]})
    await send({"type": "http.response.body", "body": answer})


async def dns_asked(scope, query, receive, send):
    await _drain(receive)
    body = json.dumps(DOH_ASKED).encode()
    await send({"type": "http.response.start", "status": 200,
                "headers": [(b"content-length", str(len(body)).encode())]})
    await send({"type": "http.response.body", "body": body})


ROUTES = {
    "/dns-query": dns_query,
    "/dns-query/asked": dns_asked,
    "/concurrent": concurrent,
    "/concurrent/most": concurrent_most,
    "/sse": sse,
    "/flaky": flaky,
    "/flaky/count": flaky_count,
}
