"""A WebSocket echo server that reports every close code it receives.

Prints "READY <port>", then "CLOSED <code>" on stdout when a client's close
frame arrives (or "CLOSED none" when a connection ended without one).
"""
import asyncio

from websockets.asyncio.server import serve
from websockets.exceptions import ConnectionClosed


async def echo(ws):
    try:
        async for message in ws:
            await ws.send(message)
    except ConnectionClosed:
        pass
    frame = ws.protocol.close_rcvd
    print(f"CLOSED {frame.code if frame else 'none'}", flush=True)


async def main():
    async with serve(echo, "127.0.0.1", 0) as server:
        port = server.sockets[0].getsockname()[1]
        print(f"READY {port}", flush=True)
        await asyncio.Future()


if __name__ == "__main__":
    asyncio.run(main())
