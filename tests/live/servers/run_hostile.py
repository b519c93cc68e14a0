"""A deliberately hostile HTTP/1.1 server: oversized and endless heads, too
many header lines, lying and conflicting lengths, broken chunking, a gzip
bomb, trickled and dripped bytes, resets mid-head and mid-body, Secure cookies and an https to http redirect.

Usage: run_hostile.py [--cert C --key K]
Listens on 127.0.0.1 and 127.0.0.2 on one port (127.0.0.2 is loopback
too, but not a host that counts as a secure origin for cookies) and prints
"READY <port>".  Every answer closes the connection unless a route says
otherwise; a route that floods stops when the client goes away.
"""
import argparse
import asyncio
import socket
import ssl
import struct
import urllib.parse
import zlib

MIB = 1024 * 1024
SEEN = []            # request heads received, in order
BOMBS = {}           # size in MiB -> gzip of that many zero bytes


def head(status, fields, reason="OK"):
    lines = [f"HTTP/1.1 {status} {reason}"] + [f"{name}: {value}" for name, value in fields]
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def simple(status, body=b"", fields=()):
    fields = list(fields) + [("Content-Length", len(body)), ("Connection", "close")]
    return head(status, fields) + body


def sized_head(total, lines):
    """A 200 head of exactly `total` bytes with `lines` header lines."""
    start = b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n"
    fixed = len(start) + 2 + lines * len(b"X-Fill-000: \r\n")
    filler, extra = divmod(total - fixed, lines)
    out = bytearray(start)
    for i in range(lines):
        out += b"X-Fill-%03d: %s\r\n" % (i, b"f" * (filler + (1 if i < extra else 0)))
    out += b"\r\n"
    assert len(out) == total
    return bytes(out)


def gzip_of_zeros(mib):
    # One MiB of zeros deflated after a full flush is the same bytes every
    # time, so the stream is that piece repeated: a gzip of `mib` MiB in
    # well under a second where compressing them all took ten.
    if mib not in BOMBS:
        compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
        zeros = bytes(MIB)
        piece = compressor.compress(zeros) + compressor.flush(zlib.Z_FULL_FLUSH)
        crc = 0
        for _ in range(mib):
            crc = zlib.crc32(zeros, crc)
        header = b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03"
        trailer = struct.pack("<II", crc, (mib * MIB) & 0xFFFFFFFF)
        BOMBS[mib] = header + piece * mib + compressor.flush() + trailer
    return BOMBS[mib]


async def flood(writer, piece, limit=64 * MIB):
    """Writes `piece` until the client goes away (or `limit` bytes)."""
    sent = 0
    while sent < limit:
        writer.write(piece)
        await writer.drain()
        sent += len(piece)


async def trickle(writer, data):
    for i in range(len(data)):
        writer.write(data[i:i + 1])
        await writer.drain()
        await asyncio.sleep(1)


async def answer(path, query, raw, writer):
    """Writes the answer for one request; returns True to keep the connection."""
    q = lambda name, default: int(query.get(name, default))  # noqa: E731
    if path == "/echo-head":
        writer.write(simple(200, raw))
    elif path == "/seen":
        tag = query["tag"].encode()
        writer.write(simple(200, str(sum(tag in h for h in SEEN[:-1])).encode()))
    elif path == "/head-size":
        writer.write(sized_head(q("bytes", 1024), q("lines", 80)))
    elif path == "/many-lines":
        # n header lines in all, Content-Length included.
        writer.write(head(200, [(f"X-Line-{i}", i) for i in range(q("n", 101) - 1)] + [("Content-Length", 0)]))
    elif path == "/long-line":
        writer.write(head(200, [("X-Long", "l" * q("kb", 200) * 1024), ("Content-Length", 0)]))
    elif path == "/endless-head":
        writer.write(b"HTTP/1.1 200 OK\r\n")
        await flood(writer, b"X-Flood: " + b"x" * 1000 + b"\r\n")
    elif path == "/informational-flood":
        await flood(writer, b"HTTP/1.1 100 Continue\r\n\r\n")
    elif path == "/lying-length":
        body = b"x" * q("send", 10)
        writer.write(head(200, [("Content-Length", q("claim", 100)), ("Connection", "close")]) + body)
    elif path == "/excess":
        # Five bytes promised, then a forged answer on the same connection,
        # which stays open: a client that reuses it reads the forgery.
        writer.write(head(200, [("Content-Length", 5)]) + b"hello" + simple(200, b"forged"))
        return True
    elif path == "/bad-length":
        writer.write(head(200, [("Content-Length", "abc"), ("Connection", "close")]) + b"body")
    elif path == "/conflicting-length":
        writer.write(head(200, [("Content-Length", 5), ("Content-Length", 7), ("Connection", "close")]) + b"1234567")
    elif path == "/bad-chunk":
        bodies = {
            "size": b"zz\r\nhello\r\n0\r\n\r\n",
            "overflow": b"fffffffffffffffffffff\r\nhello\r\n0\r\n\r\n",
            "unfinished": b"5\r\nhello\r\n",
        }
        writer.write(head(200, [("Transfer-Encoding", "chunked"), ("Connection", "close")]) + bodies[query["kind"]])
    elif path == "/bomb":
        body = gzip_of_zeros(q("mib", 1024))
        writer.write(head(200, [("Content-Encoding", "gzip"), ("Content-Length", len(body)), ("Connection", "close")]))
        for i in range(0, len(body), 65536):
            writer.write(body[i:i + 65536])
            await writer.drain()
    elif path == "/trickle-head":
        await trickle(writer, simple(200, b"late"))
    elif path == "/trickle-body":
        writer.write(head(200, [("Content-Length", 100), ("Connection", "close")]))
        await trickle(writer, b"t" * 100)
    elif path == "/drip":
        # A whole answer whose body comes one byte per `gap_ms`.
        writer.write(head(200, [("Content-Length", q("bytes", 5)), ("Connection", "close")]))
        for _ in range(q("bytes", 5)):
            await writer.drain()
            await asyncio.sleep(q("gap_ms", 200) / 1000)
            writer.write(b"d")
    elif path == "/reset":
        # The connection is reset (RST, not FIN) after part of the head or
        # part of the body.
        part = {"head": b"HTTP/1.1 200 OK\r\nContent-Le",
                "body": head(200, [("Content-Length", 1000)]) + b"x" * 100}[query["in"]]
        writer.write(part)
        await writer.drain()
        await asyncio.sleep(0.2)
        sock = writer.get_extra_info("socket")
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        writer.transport.abort()
    elif path == "/set-cookies":
        writer.write(simple(200, b"ok", [("Set-Cookie", "sec=1; Secure; Path=/"), ("Set-Cookie", "plain=1; Path=/")]))
    elif path == "/redirect":
        writer.write(simple(302, b"", [("Location", query["to"])]))
    else:
        writer.write(simple(404, b"not found"))
    return False


async def serve(reader, writer):
    try:
        while True:
            raw = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), 10)
            SEEN.append(raw)
            target = raw.split(b" ", 2)[1].decode("latin-1")
            url = urllib.parse.urlsplit(target)
            query = dict(urllib.parse.parse_qsl(url.query))
            keep = await answer(url.path, query, raw, writer)
            await writer.drain()
            if not keep:
                break
    except (OSError, asyncio.IncompleteReadError, asyncio.LimitOverrunError, asyncio.TimeoutError, IndexError):
        pass
    finally:
        writer.close()


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()
    context = None
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    server = await asyncio.start_server(serve, ["127.0.0.1", "127.0.0.2"], port, ssl=context, reuse_address=True)
    gzip_of_zeros(1024)
    print(f"READY {port}", flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
