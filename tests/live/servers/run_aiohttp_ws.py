"""A WebSocket echo server on aiohttp's own server, a second implementation
beside the websockets one.

Usage: run_aiohttp_ws.py.  Prints "READY <port>", then serves /echo (every
message back as it came, with permessage-deflate when offered) and
/extensions (the extensions it accepted, then echoes).
"""
import asyncio
import socket

from aiohttp import WSMsgType, web


async def echo(request: web.Request) -> web.WebSocketResponse:
    ws = web.WebSocketResponse(max_msg_size=0, compress=True)
    await ws.prepare(request)
    if request.path == "/extensions":
        await ws.send_str(ws.headers.get("Sec-WebSocket-Extensions", ""))
    async for message in ws:
        if message.type == WSMsgType.TEXT:
            await ws.send_str(message.data)
        elif message.type == WSMsgType.BINARY:
            await ws.send_bytes(message.data)
    return ws


async def main() -> None:
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", 0))
    app = web.Application()
    app.router.add_get("/echo", echo)
    app.router.add_get("/extensions", echo)
    runner = web.AppRunner(app)
    await runner.setup()
    await web.SockSite(runner, sock).start()
    print(f"READY {sock.getsockname()[1]}", flush=True)
    await asyncio.Future()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
