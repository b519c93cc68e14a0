"""A deliberately hostile WebSocket server, written on raw sockets so that it
can send what no WebSocket library would: frames over the client's bound,
invalid UTF-8 in a text frame, fragmented and oversized control frames, and
a flood of messages to a client that does not read.

Usage: run_hostile_websocket.py
Listens on 127.0.0.1 and prints "READY <port>".  Paths (the upgrade's
request target, less its query, which only tags the connection) choose the behaviour; a plain GET of /report answers with
JSON of what each finished connection saw: its path, the close code the
client sent (null when none came), the bytes the server wrote and whether
the client ended the connection.
"""
import asyncio
import base64
import hashlib
import json
import struct

GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
MIB = 1024 * 1024
REPORT = []


def frame(opcode, payload, fin=True, length=None):
    """A server frame (unmasked); `length` may lie about the payload size."""
    n = len(payload) if length is None else length
    first = (0x80 if fin else 0) | opcode
    if n < 126:
        head = struct.pack("!BB", first, n)
    elif n < 65536:
        head = struct.pack("!BBH", first, 126, n)
    else:
        head = struct.pack("!BBQ", first, 127, n)
    return head + payload


async def read_client_close(reader, timeout):
    """Reads client frames until a close frame: its code, or None."""
    try:
        while True:
            b0, b1 = await asyncio.wait_for(reader.readexactly(2), timeout)
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack("!H", await reader.readexactly(2))[0]
            elif n == 127:
                n = struct.unpack("!Q", await reader.readexactly(8))[0]
            mask = await reader.readexactly(4) if b1 & 0x80 else b"\0\0\0\0"
            data = bytes(c ^ mask[i % 4] for i, c in enumerate(await reader.readexactly(n)))
            if b0 & 0x0F == 8:
                return struct.unpack("!H", data[:2])[0] if len(data) >= 2 else 1005
    except (asyncio.IncompleteReadError, asyncio.TimeoutError, OSError):
        return None


async def flood(writer, entry):
    """Binary messages of 64 KiB until the client goes away (or 8 GiB)."""
    piece = frame(2, bytes(64 * 1024))
    try:
        while entry["sent"] < 8192 * MIB:
            writer.write(piece)
            await writer.drain()
            entry["sent"] += len(piece)
    except OSError:
        entry["client_ended"] = True


async def behave(target, reader, writer, entry):
    path = target.split("?")[0]
    if path == "/flood":
        await flood(writer, entry)
        return
    if path == "/fragmented":
        # One binary message of `mib` MiB in `size`-byte fragments, repeated
        # `count` times, then the client's close is awaited.
        query = dict(part.split("=", 1) for part in target.split("?", 1)[1].split("&")) if "?" in target else {}
        total, size = int(float(query.get("mib", "4")) * MIB), int(query.get("size", "4096"))
        piece = bytes(size)
        for _ in range(int(query.get("count", "1"))):
            for offset in range(0, total, size):
                first, last = offset == 0, offset + size >= total
                writer.write(frame(2 if first else 0, piece[:min(size, total - offset)], fin=last))
                if offset % (64 * size) == 0:
                    await writer.drain()
            await writer.drain()
        entry["close_code"] = await read_client_close(reader, 60)
        return
    sends = {
        # A single frame announcing 65 MiB: over the 64 MiB bound.
        "/oversized": frame(2, b"x" * 1024, length=65 * MIB),
        "/invalid-utf8": frame(1, b"ok \xff\xfe"),
        "/fragmented-ping": frame(9, b"ping", fin=False),
        "/long-ping": frame(9, b"p" * 200),
    }
    writer.write(sends[path])
    await writer.drain()
    entry["close_code"] = await read_client_close(reader, 10)
    # The client ends the connection after its close (or fails it first).
    try:
        entry["client_ended"] = await asyncio.wait_for(reader.read(1), 10) == b""
    except (asyncio.TimeoutError, OSError):
        entry["client_ended"] = False


async def serve(reader, writer):
    try:
        raw = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), 10)
        lines = raw.decode("latin-1").split("\r\n")
        path = lines[0].split(" ")[1]
        if path == "/report":
            body = json.dumps(REPORT).encode()
            writer.write(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % len(body) + body)
            await writer.drain()
            return
        key = next(line.split(":", 1)[1].strip() for line in lines if line.lower().startswith("sec-websocket-key:"))
        accept = base64.b64encode(hashlib.sha1(key.encode() + GUID).digest()).decode()
        writer.write(("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                      f"Sec-WebSocket-Accept: {accept}\r\n\r\n").encode())
        await writer.drain()
        entry = {"path": path, "close_code": None, "sent": 0, "client_ended": False}
        try:
            await behave(path, reader, writer, entry)
        finally:
            REPORT.append(entry)
    except (OSError, asyncio.IncompleteReadError, asyncio.LimitOverrunError, asyncio.TimeoutError,
            IndexError, StopIteration, KeyError):
        pass
    finally:
        writer.close()


async def main():
    server = await asyncio.start_server(serve, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    print(f"READY {port}", flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
