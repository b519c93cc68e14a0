"""A WebSocket chat on asyncio: send lines, print what comes back.
Usage: websocket_chat.py WS_URL"""
import asyncio
import sys

import vesper


async def main(url: str) -> None:
    async with vesper.AsyncClient() as client:
        async with await client.websocket(url, subprotocols=["chat"]) as ws:
            for line in ["hello", "how are you?", "bye"]:
                await ws.send(line)
                print("sent:", line, "| got:", await ws.recv(timeout=5))
            await ws.send(b"\x00binary\xff")
            print("got bytes:", await ws.recv(timeout=5))
        print("closed with", ws.close_code)


asyncio.run(main(sys.argv[1]))
