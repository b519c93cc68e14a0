"""A minimal HTTP/1.1 keep-alive server for long runs of small requests:
every request on a connection is answered with the same 200 and a 64-byte
body, in one write.  Faster than an ASGI server by an order of magnitude, so
a run of tens of thousands of requests stays short; it reads request heads
only (no bodies).  Prints "READY <port>"."""
import asyncio
import socket

BODY = bytes(range(64))
ANSWER = (b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: "
          + str(len(BODY)).encode() + b"\r\n\r\n" + BODY)


async def serve_connection(reader, writer):
    try:
        while True:
            await reader.readuntil(b"\r\n\r\n")
            writer.write(ANSWER)
            await writer.drain()
    except (asyncio.IncompleteReadError, asyncio.LimitOverrunError, ConnectionError):
        pass
    finally:
        writer.close()


async def main():
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", 0))
    server = await asyncio.start_server(serve_connection, sock=sock)
    print(f"READY {sock.getsockname()[1]}", flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
