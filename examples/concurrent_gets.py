"""200 GETs at once on asyncio.  Usage: concurrent_gets.py URL"""
import asyncio
import sys
import time

import vesper


async def main(url: str) -> None:
    async with vesper.AsyncClient() as client:
        started = time.perf_counter()
        responses = await asyncio.gather(*(client.get(url, params={"i": i}) for i in range(200)))
        seconds = time.perf_counter() - started
    codes = {r.status_code for r in responses}
    print(f"{len(responses)} responses, statuses {codes}, in {seconds:.2f} s")


asyncio.run(main(sys.argv[1]))
