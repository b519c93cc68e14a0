"""HTTP through vesper_native36 and the Core against local nginx, beside the
clients Python users pick today, in one run: sequential small GETs, a 256 MiB
download, a 256 MiB streamed upload, and 1,000 GETs with 64 in flight on one
asyncio loop.  Prints each figure and its ratio to pycurl.
"""
import asyncio
import io
import sys
import time

import vesper_native36 as native

sys.path.insert(0, __file__.rsplit("/", 1)[0])
sys.path.insert(0, str(__import__("pathlib").Path(__file__).resolve().parents[1] / "tests" / "support"))
from nginx_server import Nginx  # noqa: E402

MIB = 1024 * 1024
SMALL_N = 2000
LARGE = 256 * MIB


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


# ------------------------------------------------------------------ vesper

def vesper_small(base):
    engine = native.PyEngine()
    url = f"{base}/small"

    def run():
        for _ in range(SMALL_N):
            request = engine.request("GET", url)
            request.start()
            request.await_response()
            request.read_body()
    return SMALL_N / timed(run)


def vesper_download(base):
    engine = native.PyEngine()

    def run():
        request = engine.request("GET", f"{base}/large")
        request.start()
        request.await_response()
        size = 0
        while (chunk := request.next_body()) is not None:
            size += len(chunk)
        assert size == LARGE
    return LARGE / MIB / timed(run)


def vesper_upload(base):
    engine = native.PyEngine()
    piece = bytes(range(256)) * 4096

    def run():
        request = engine.request("POST", f"{base}/upload", chunked=True)
        request.start()
        for _ in range(LARGE // len(piece)):
            request.upload_write(piece, False)
        request.upload_finish()
        assert request.await_response().status_code == 200
        request.read_body()
    return LARGE / MIB / timed(run)


def vesper_concurrent(base, total=1000, in_flight=64):
    from asyncio_paths import HubRequest
    engine = native.PyEngine()

    async def main():
        semaphore = asyncio.Semaphore(in_flight)

        async def one():
            async with semaphore:
                request = HubRequest(engine.request("GET", f"{base}/small"))
                await request.response()
                await request.read()

        start = time.perf_counter()
        await asyncio.gather(*(one() for _ in range(total)))
        return total / (time.perf_counter() - start)

    return asyncio.run(main())


# ------------------------------------------------------------------ pycurl

def pycurl_small(base):
    import pycurl
    curl = pycurl.Curl()
    curl.setopt(pycurl.URL, f"{base}/small")

    def run():
        for _ in range(SMALL_N):
            buffer = io.BytesIO()
            curl.setopt(pycurl.WRITEDATA, buffer)
            curl.perform()
    return SMALL_N / timed(run)


def pycurl_download(base):
    import pycurl
    curl = pycurl.Curl()
    curl.setopt(pycurl.URL, f"{base}/large")
    size = [0]
    curl.setopt(pycurl.WRITEFUNCTION, lambda data: size.__setitem__(0, size[0] + len(data)))
    seconds = timed(curl.perform)
    assert size[0] == LARGE
    return LARGE / MIB / seconds


def pycurl_upload(base):
    import pycurl
    piece = bytes(range(256)) * 4096
    remaining = [LARGE // len(piece)]
    pending = [b""]

    def read(n):
        if not pending[0]:
            if remaining[0] == 0:
                return b""
            remaining[0] -= 1
            pending[0] = piece
        out, pending[0] = pending[0][:n], pending[0][n:]
        return out

    curl = pycurl.Curl()
    curl.setopt(pycurl.URL, f"{base}/upload")
    curl.setopt(pycurl.POST, 1)
    curl.setopt(pycurl.READFUNCTION, read)
    curl.setopt(pycurl.HTTPHEADER, ["Transfer-Encoding: chunked", "Expect:"])
    curl.setopt(pycurl.WRITEFUNCTION, lambda data: None)
    return LARGE / MIB / timed(curl.perform)


def pycurl_concurrent(base, total=1000, in_flight=64):
    import pycurl
    multi = pycurl.CurlMulti()
    handles = [pycurl.Curl() for _ in range(in_flight)]
    for handle in handles:
        handle.setopt(pycurl.URL, f"{base}/small")
        handle.setopt(pycurl.WRITEFUNCTION, lambda data: None)
    free = list(handles)
    started = done = 0

    def run():
        nonlocal started, done
        while done < total:
            while free and started < total:
                multi.add_handle(free.pop())
                started += 1
            while multi.perform()[0] == pycurl.E_CALL_MULTI_PERFORM:
                pass
            _, ok, failed = multi.info_read()
            for handle in ok + [f[0] for f in failed]:
                multi.remove_handle(handle)
                free.append(handle)
                done += 1
            if done < total:
                multi.select(1.0)
    return total / timed(run)


# ------------------------------------------------------- requests, httpx, aiohttp

def requests_small(base):
    import requests
    session = requests.Session()
    return SMALL_N / timed(lambda: [session.get(f"{base}/small").content for _ in range(SMALL_N)])


def requests_download(base):
    import requests
    session = requests.Session()

    def run():
        with session.get(f"{base}/large", stream=True) as response:
            assert sum(len(c) for c in response.iter_content(1 << 20)) == LARGE
    return LARGE / MIB / timed(run)


def httpx_small(base):
    import httpx
    with httpx.Client() as client:
        return SMALL_N / timed(lambda: [client.get(f"{base}/small").content for _ in range(SMALL_N)])


def httpx_download(base):
    import httpx
    with httpx.Client() as client:
        def run():
            with client.stream("GET", f"{base}/large") as response:
                assert sum(len(c) for c in response.iter_bytes(1 << 20)) == LARGE
        return LARGE / MIB / timed(run)


def httpx_concurrent(base, total=1000, in_flight=64):
    import httpx

    async def main():
        limits = httpx.Limits(max_connections=in_flight)
        async with httpx.AsyncClient(limits=limits) as client:
            semaphore = asyncio.Semaphore(in_flight)

            async def one():
                async with semaphore:
                    await client.get(f"{base}/small")
            start = time.perf_counter()
            await asyncio.gather(*(one() for _ in range(total)))
            return total / (time.perf_counter() - start)
    return asyncio.run(main())


def aiohttp_concurrent(base, total=1000, in_flight=64):
    import aiohttp

    async def main():
        async with aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=in_flight)) as session:
            async def one():
                async with session.get(f"{base}/small") as response:
                    await response.read()
            start = time.perf_counter()
            await asyncio.gather(*(one() for _ in range(total)))
            return total / (time.perf_counter() - start)
    return asyncio.run(main())


def aiohttp_download(base):
    import aiohttp

    async def main():
        async with aiohttp.ClientSession() as session:
            start = time.perf_counter()
            async with session.get(f"{base}/large") as response:
                size = 0
                async for chunk in response.content.iter_chunked(1 << 20):
                    size += len(chunk)
            assert size == LARGE
            return LARGE / MIB / (time.perf_counter() - start)
    return asyncio.run(main())


CASES = [
    ("sequential 1 KiB GETs (req/s)", {"vesper": vesper_small, "pycurl": pycurl_small,
                                        "requests": requests_small, "httpx": httpx_small}),
    ("256 MiB download (MB/s)", {"vesper": vesper_download, "pycurl": pycurl_download,
                                  "requests": requests_download, "httpx": httpx_download,
                                  "aiohttp": aiohttp_download}),
    ("256 MiB streamed upload (MB/s)", {"vesper": vesper_upload, "pycurl": pycurl_upload}),
    ("1,000 GETs, 64 in flight (req/s)", {"vesper": vesper_concurrent, "pycurl multi": pycurl_concurrent,
                                           "httpx async": httpx_concurrent, "aiohttp": aiohttp_concurrent}),
]


def main():
    server = Nginx()
    try:
        print(f"HTTP against local nginx ({server.base})")
        for title, runners in CASES:
            figures = {}
            for name, fn in runners.items():
                try:
                    figures[name] = max(fn(server.base) for _ in range(2))
                except Exception as exc:  # a peer missing is reported, not fatal
                    figures[name] = None
                    print(f"  {name}: failed: {exc!r}")
            reference = figures.get("pycurl") or figures.get("pycurl multi")
            parts = []
            for name, value in figures.items():
                if value is None:
                    continue
                ratio = f" ({value / reference:.2f}x pycurl)" if reference else ""
                parts.append(f"{name} {value:,.0f}{ratio}")
            print(f"  {title}: " + "; ".join(parts))
    finally:
        server.stop()


if __name__ == "__main__":
    main()
