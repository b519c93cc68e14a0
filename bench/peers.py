"""vesper beside the Python HTTP and WebSocket clients people use, on loopback.

Every (workload, client) pair runs in a fresh process, five times (once with
--quick); the median is printed with its ratio to pycurl (pycurl multi for
the 64-in-flight row, curl_cffi for WebSocket rows) and to aiohttp, measured
in the same run, and the pair's peak RSS.  vesper's engine cache is off for
every network figure; one row reads a cacheable URL with the cache on.

Servers (all on 127.0.0.1, stopped by process id): nginx for the GETs and
downloads (clear and TLS, HTTP/1.1 and HTTP/2), a native upload sink that
reads the whole body before answering, and the native WebSocket echo server.

Clients are one small function per pair, registered with @pair; a function
raises Unavailable when what it needs does not exist (yet), and the table
says "n/a".  Rows for paths added later are written the same way.

    python bench/peers.py [--quick] [--pin CPU] [--only WORKLOAD[,..]] [--clients NAME[,..]]
                          [--baseline DIR]
"""
import argparse
import asyncio
import io
import json
import os
import pathlib
import resource
import shutil
import signal
import ssl
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
# The module's two asyncio paths (the specified notifier one, the package's hub).
sys.path.insert(0, str(HERE.parent / "tests" / "support"))

MB = 1_000_000
PIECE = 64 * 1024
THREADS = 8
IN_FLIGHT = 64
WS_WINDOW = 16
CHILD_TIMEOUT = 300  # seconds for one pair's process

# name -> (title, unit, sizes {full, quick}, reference clients); a reference
# "workload/client" is that client's figure on another workload of the run
# (a sync peer for an asyncio row, an asyncio peer for a sync row).
WORKLOADS = {
    "get_seq": ("sequential 1 KiB GETs, sync", "req/s", {"n": (2000, 300)}, ("pycurl", "get_seq_async/aiohttp")),
    "get_seq_async": ("sequential 1 KiB GETs, asyncio", "req/s", {"n": (2000, 300)}, ("get_seq/pycurl", "aiohttp")),
    "get_threads": (f"1 KiB GETs from {THREADS} threads", "req/s", {"n": (2000, 400)},
                    ("pycurl", "get_inflight/aiohttp")),
    "get_inflight": (f"1 KiB GETs, {IN_FLIGHT} in flight, asyncio", "req/s", {"n": (2000, 400)},
                     ("pycurl multi", "aiohttp")),
    "dl_h1": ("64 MiB GET, HTTP/1.1", "MB/s", {"bytes": (64 << 20, 16 << 20)}, ("pycurl", "aiohttp")),
    "dl_tls_h1": ("64 MiB GET, TLS HTTP/1.1", "MB/s", {"bytes": (64 << 20, 16 << 20)}, ("pycurl", "aiohttp")),
    "dl_tls_h2": ("64 MiB GET, TLS HTTP/2", "MB/s", {"bytes": (64 << 20, 16 << 20)},
                  ("pycurl", "dl_tls_h1/aiohttp")),
    "upload": ("64 MiB streamed chunked upload", "MB/s", {"bytes": (64 << 20, 16 << 20)}, ("pycurl", "aiohttp")),
    "ws_echo": ("WebSocket echo 32 B, sync", "rt/s", {"n": (5000, 500)}, ("curl_cffi", "ws_echo_async/aiohttp")),
    "ws_echo_async": ("WebSocket echo 32 B, asyncio", "rt/s", {"n": (5000, 500)}, ("ws_echo/curl_cffi", "aiohttp")),
    "ws_stream": ("WebSocket 64 MiB in 64 KiB messages, sync", "MB/s", {"bytes": (64 << 20, 16 << 20)},
                  ("curl_cffi", "ws_stream_async/aiohttp")),
    "ws_stream_async": ("WebSocket 64 MiB in 64 KiB messages, asyncio", "MB/s",
                        {"bytes": (64 << 20, 16 << 20)}, ("ws_stream/curl_cffi", "aiohttp")),
}

REFERENCE_CLIENTS = {ref.rpartition("/")[2] for *_, refs in WORKLOADS.values() for ref in refs}
PAIRS = {}  # workload -> {client: fn(ctx) -> (amount in the workload's unit, seconds)}


class Unavailable(Exception):
    """What this client needs for the workload does not exist."""


def pair(workload, client):
    def register(fn):
        PAIRS.setdefault(workload, {})[client] = fn
        return fn
    return register


def timed(fn):
    start = time.perf_counter()
    amount = fn()
    return amount, time.perf_counter() - start


async def timed_async(coroutine_fn):
    start = time.perf_counter()
    amount = await coroutine_fn()
    return amount, time.perf_counter() - start


def need(obj, *names):
    for name in names:
        if not hasattr(obj, name):
            raise Unavailable(f"no {type(obj).__name__}.{name}")


def tls_url(ctx, path):
    return ctx["tls_base"] + path


def url_of(ctx, workload, path="/large"):
    return ctx["base"] + path if workload == "dl_h1" else tls_url(ctx, path)


# ------------------------------------------------------------ vesper helpers

def native():
    import vesper_native36
    return vesper_native36


def vesper_engine(ctx, workload="dl_h1", cache=False):
    kwargs = {"cache": cache}
    if workload != "dl_h1":
        kwargs["ca_pem"] = ctx["ca_pem"].encode()
    if workload == "dl_tls_h1":
        kwargs["http_version"] = "h1"
    elif workload == "dl_tls_h2":
        kwargs["http_version"] = "h2"
    return native().PyEngine(**kwargs)


def friendly(async_client=False):
    try:
        import vesper
    except ImportError as exc:
        raise Unavailable("no vesper package") from exc
    name = "AsyncClient" if async_client else "Client"
    if not hasattr(vesper, name):
        raise Unavailable(f"no vesper.{name}")
    return getattr(vesper, name)


def check_small(body):
    assert len(body) == 1024, len(body)


async def hub_fetch(engine, url):
    """A GET through the package's hub path (vesper._hub)."""
    from asyncio_paths import HubRequest
    request = HubRequest(engine.request("GET", url))
    await request.response()
    return await request.read()


# -------------------------------------------------------- sequential, sync

@pair("get_seq", "pycurl")
def _(ctx):
    import pycurl
    curl = pycurl.Curl()
    curl.setopt(pycurl.URL, ctx["base"] + "/small")

    def run():
        for _ in range(ctx["n"]):
            buffer = io.BytesIO()
            curl.setopt(pycurl.WRITEDATA, buffer)
            curl.perform()
            check_small(buffer.getvalue())
        return ctx["n"]
    return timed(run)


@pair("get_seq", "curl_cffi")
def _(ctx):
    from curl_cffi import requests as cr
    session = cr.Session()
    url = ctx["base"] + "/small"
    return timed(lambda: [check_small(session.get(url).content) for _ in range(ctx["n"])] and ctx["n"])


@pair("get_seq", "requests")
def _(ctx):
    import requests
    session = requests.Session()
    url = ctx["base"] + "/small"
    return timed(lambda: [check_small(session.get(url).content) for _ in range(ctx["n"])] and ctx["n"])


@pair("get_seq", "httpx")
def _(ctx):
    import httpx
    client = httpx.Client()
    url = ctx["base"] + "/small"
    return timed(lambda: [check_small(client.get(url).content) for _ in range(ctx["n"])] and ctx["n"])


def vesper_sequential(ctx, engine, url, read):
    def run():
        for _ in range(ctx["n"]):
            request = engine.request("GET", url)
            request.start()
            request.await_response()
            check_small(read(request))
        return ctx["n"]
    return timed(run)


@pair("get_seq", "vesper read_body")
def _(ctx):
    return vesper_sequential(ctx, vesper_engine(ctx), ctx["base"] + "/small", lambda r: r.read_body())


@pair("get_seq", "vesper read_all")
def _(ctx):
    need(native().PyRequest, "read_all")
    return vesper_sequential(ctx, vesper_engine(ctx), ctx["base"] + "/small", lambda r: r.read_all())


@pair("get_seq", "vesper read_body, cache on")
def _(ctx):
    return vesper_sequential(ctx, vesper_engine(ctx, cache=True), ctx["base"] + "/cached", lambda r: r.read_body())


@pair("get_seq", "vesper Client")
def _(ctx):
    client = friendly()(cache=False)
    url = ctx["base"] + "/small"
    return timed(lambda: [check_small(client.get(url).content) for _ in range(ctx["n"])] and ctx["n"])


# ----------------------------------------------------- sequential, asyncio

async def sequential_async(ctx, fetch):
    for _ in range(ctx["n"]):
        check_small(await fetch())
    return ctx["n"]


@pair("get_seq_async", "aiohttp")
def _(ctx):
    import aiohttp

    async def main():
        async with aiohttp.ClientSession() as session:
            async def fetch():
                async with session.get(ctx["base"] + "/small") as response:
                    return await response.read()
            return await timed_async(lambda: sequential_async(ctx, fetch))
    return asyncio.run(main())


@pair("get_seq_async", "httpx async")
def _(ctx):
    import httpx

    async def main():
        async with httpx.AsyncClient() as client:
            async def fetch():
                return (await client.get(ctx["base"] + "/small")).content
            return await timed_async(lambda: sequential_async(ctx, fetch))
    return asyncio.run(main())


@pair("get_seq_async", "curl_cffi async")
def _(ctx):
    from curl_cffi.requests import AsyncSession

    async def main():
        async with AsyncSession() as session:
            async def fetch():
                return (await session.get(ctx["base"] + "/small")).content
            return await timed_async(lambda: sequential_async(ctx, fetch))
    return asyncio.run(main())


@pair("get_seq_async", "vesper poll_events")
def _(ctx):
    from asyncio_paths import AsyncRequest
    engine = vesper_engine(ctx)

    async def main():
        async def fetch():
            request = AsyncRequest(engine.request("GET", ctx["base"] + "/small"))
            await request.response()
            return await request.read()
        return await timed_async(lambda: sequential_async(ctx, fetch))
    return asyncio.run(main())


@pair("get_seq_async", "vesper hub")
def _(ctx):
    need(native(), "PyEventHub")
    engine = vesper_engine(ctx)

    async def main():
        return await timed_async(lambda: sequential_async(ctx, lambda: hub_fetch(engine, ctx["base"] + "/small")))
    return asyncio.run(main())


@pair("get_seq_async", "vesper AsyncClient")
def _(ctx):
    client_type = friendly(async_client=True)

    async def main():
        async with client_type(cache=False) as client:
            async def fetch():
                return (await client.get(ctx["base"] + "/small")).content
            return await timed_async(lambda: sequential_async(ctx, fetch))
    return asyncio.run(main())


# ----------------------------------------------------------------- threads

def threaded(ctx, make_worker):
    """make_worker() -> fn(count) run on each thread; all start together."""
    per_thread = ctx["n"] // THREADS
    workers = [make_worker() for _ in range(THREADS)]
    barrier = threading.Barrier(THREADS + 1, timeout=60)
    failures = []

    def body(work):
        barrier.wait()
        try:
            work(per_thread)
        except Exception as exc:  # reported after the join
            failures.append(exc)

    threads = [threading.Thread(target=body, args=(w,), daemon=True) for w in workers]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in threads:
        t.join(CHILD_TIMEOUT)
    seconds = time.perf_counter() - start
    if failures:
        raise failures[0]
    return per_thread * THREADS, seconds


@pair("get_threads", "pycurl")
def _(ctx):
    import pycurl

    def make():
        curl = pycurl.Curl()
        curl.setopt(pycurl.URL, ctx["base"] + "/small")

        def work(count):
            for _ in range(count):
                buffer = io.BytesIO()
                curl.setopt(pycurl.WRITEDATA, buffer)
                curl.perform()
                check_small(buffer.getvalue())
        return work
    return threaded(ctx, make)


def session_worker(session_factory, url):
    def make():
        session = session_factory()

        def work(count):
            for _ in range(count):
                check_small(session.get(url).content)
        return work
    return make


@pair("get_threads", "curl_cffi")
def _(ctx):
    from curl_cffi import requests as cr
    return threaded(ctx, session_worker(cr.Session, ctx["base"] + "/small"))


@pair("get_threads", "requests")
def _(ctx):
    import requests
    return threaded(ctx, session_worker(requests.Session, ctx["base"] + "/small"))


@pair("get_threads", "httpx")
def _(ctx):
    import httpx
    return threaded(ctx, session_worker(httpx.Client, ctx["base"] + "/small"))


def vesper_threads(ctx, read):
    engine = vesper_engine(ctx)
    url = ctx["base"] + "/small"

    def make():
        def work(count):
            for _ in range(count):
                request = engine.request("GET", url)
                request.start()
                request.await_response()
                check_small(read(request))
        return work
    return threaded(ctx, make)


@pair("get_threads", "vesper read_body")
def _(ctx):
    return vesper_threads(ctx, lambda r: r.read_body())


@pair("get_threads", "vesper read_all")
def _(ctx):
    need(native().PyRequest, "read_all")
    return vesper_threads(ctx, lambda r: r.read_all())


@pair("get_threads", "vesper Client")
def _(ctx):
    client = friendly()(cache=False)
    return threaded(ctx, session_worker(lambda: client, ctx["base"] + "/small"))


# ------------------------------------------------------- 64 in flight, asyncio

async def gathered(ctx, fetch):
    semaphore = asyncio.Semaphore(IN_FLIGHT)

    async def one(index):
        async with semaphore:
            check_small(await fetch(index))
    await asyncio.gather(*(one(i) for i in range(ctx["n"])))
    return ctx["n"]


@pair("get_inflight", "pycurl multi")
def _(ctx):
    import pycurl
    multi = pycurl.CurlMulti()
    buffers = {}
    free = []
    for _ in range(IN_FLIGHT):
        handle = pycurl.Curl()
        handle.setopt(pycurl.URL, ctx["base"] + "/small")
        free.append(handle)
    total = ctx["n"]

    def run():
        started = done = 0
        while done < total:
            while free and started < total:
                handle = free.pop()
                buffers[handle] = io.BytesIO()
                handle.setopt(pycurl.WRITEDATA, buffers[handle])
                multi.add_handle(handle)
                started += 1
            while multi.perform()[0] == pycurl.E_CALL_MULTI_PERFORM:
                pass
            _, ok, failed = multi.info_read()
            if failed:
                raise RuntimeError(failed[0][2])
            for handle in ok:
                check_small(buffers[handle].getvalue())
                multi.remove_handle(handle)
                free.append(handle)
                done += 1
            if done < total:
                multi.select(1.0)
        return total
    return timed(run)


@pair("get_inflight", "aiohttp")
def _(ctx):
    import aiohttp

    async def main():
        async with aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=IN_FLIGHT)) as session:
            async def fetch(_):
                async with session.get(ctx["base"] + "/small") as response:
                    return await response.read()
            return await timed_async(lambda: gathered(ctx, fetch))
    return asyncio.run(main())


@pair("get_inflight", "httpx async")
def _(ctx):
    import httpx

    async def main():
        async with httpx.AsyncClient(limits=httpx.Limits(max_connections=IN_FLIGHT)) as client:
            async def fetch(_):
                return (await client.get(ctx["base"] + "/small")).content
            return await timed_async(lambda: gathered(ctx, fetch))
    return asyncio.run(main())


@pair("get_inflight", "curl_cffi async")
def _(ctx):
    from curl_cffi.requests import AsyncSession

    async def main():
        async with AsyncSession(max_clients=IN_FLIGHT) as session:
            async def fetch(_):
                return (await session.get(ctx["base"] + "/small")).content
            return await timed_async(lambda: gathered(ctx, fetch))
    return asyncio.run(main())


@pair("get_inflight", "vesper poll_events")
def _(ctx):
    from asyncio_paths import AsyncRequest
    engine = vesper_engine(ctx)

    async def main():
        async def fetch(_):
            request = AsyncRequest(engine.request("GET", ctx["base"] + "/small"))
            await request.response()
            return await request.read()
        return await timed_async(lambda: gathered(ctx, fetch))
    return asyncio.run(main())


@pair("get_inflight", "vesper hub")
def _(ctx):
    need(native(), "PyEventHub")
    engine = vesper_engine(ctx)

    async def main():
        return await timed_async(lambda: gathered(ctx, lambda i: hub_fetch(engine, ctx["base"] + "/small")))
    return asyncio.run(main())


@pair("get_inflight", "vesper AsyncClient")
def _(ctx):
    client_type = friendly(async_client=True)

    async def main():
        async with client_type(cache=False) as client:
            async def fetch(_):
                return (await client.get(ctx["base"] + "/small")).content
            return await timed_async(lambda: gathered(ctx, fetch))
    return asyncio.run(main())


# --------------------------------------------------------------- downloads

DOWNLOADS = ("dl_h1", "dl_tls_h1", "dl_tls_h2")


def megabytes(size, ctx):
    assert size == ctx["bytes"], (size, ctx["bytes"])
    return size / MB


def download_pair(client, workloads=DOWNLOADS):
    def register(fn):
        for workload in workloads:
            pair(workload, client)(lambda ctx, w=workload: fn(ctx, w))
        return fn
    return register


@download_pair("pycurl")
def _(ctx, workload):
    import pycurl
    curl = pycurl.Curl()
    curl.setopt(pycurl.URL, url_of(ctx, workload))
    if workload != "dl_h1":
        curl.setopt(pycurl.CAINFO, ctx["ca_file"])
    curl.setopt(pycurl.HTTP_VERSION, pycurl.CURL_HTTP_VERSION_2_0 if workload == "dl_tls_h2"
                else pycurl.CURL_HTTP_VERSION_1_1)
    size = [0]

    def write(data):
        size[0] += len(data)
    curl.setopt(pycurl.WRITEFUNCTION, write)

    def run():
        curl.perform()
        return megabytes(size[0], ctx)
    return timed(run)


@download_pair("curl_cffi")
def _(ctx, workload):
    from curl_cffi import CurlHttpVersion
    from curl_cffi import requests as cr
    version = CurlHttpVersion.V2_0 if workload == "dl_tls_h2" else CurlHttpVersion.V1_1
    session = cr.Session(verify=ctx["ca_file"] if workload != "dl_h1" else True, http_version=version)

    def run():
        response = session.get(url_of(ctx, workload), stream=True)
        size = sum(len(chunk) for chunk in response.iter_content())
        response.close()
        return megabytes(size, ctx)
    return timed(run)


@download_pair("requests", ("dl_h1", "dl_tls_h1"))
def _(ctx, workload):
    import requests
    session = requests.Session()

    def run():
        with session.get(url_of(ctx, workload), stream=True,
                         verify=ctx["ca_file"] if workload != "dl_h1" else True) as response:
            return megabytes(sum(len(c) for c in response.iter_content(1 << 20)), ctx)
    return timed(run)


@download_pair("httpx")
def _(ctx, workload):
    import httpx
    client = httpx.Client(verify=ssl.create_default_context(cafile=ctx["ca_file"]),
                          http1=workload != "dl_tls_h2", http2=workload == "dl_tls_h2")

    def run():
        with client.stream("GET", url_of(ctx, workload)) as response:
            if workload == "dl_tls_h2" and response.http_version != "HTTP/2":
                raise RuntimeError(f"answered over {response.http_version}")
            return megabytes(sum(len(c) for c in response.iter_bytes(1 << 20)), ctx)
    return timed(run)


@download_pair("aiohttp", ("dl_h1", "dl_tls_h1"))
def _(ctx, workload):
    import aiohttp
    context = ssl.create_default_context(cafile=ctx["ca_file"])

    async def main():
        async with aiohttp.ClientSession() as session:
            async def run():
                async with session.get(url_of(ctx, workload), ssl=context) as response:
                    size = 0
                    async for chunk in response.content.iter_chunked(1 << 20):
                        size += len(chunk)
                return megabytes(size, ctx)
            return await timed_async(run)
    return asyncio.run(main())


def vesper_download(ctx, workload, read_all):
    engine = vesper_engine(ctx, workload)

    def run():
        request = engine.request("GET", url_of(ctx, workload))
        request.start()
        request.await_response()
        return megabytes(read_all(request), ctx)
    return timed(run)


@download_pair("vesper next_body")
def _(ctx, workload):
    def read(request):
        size = 0
        while (chunk := request.next_body()) is not None:
            size += len(chunk)
        return size
    return vesper_download(ctx, workload, read)


@download_pair("vesper read_chunk")
def _(ctx, workload):
    need(native().PyRequest, "read_chunk")

    def read(request):
        size = 0
        while chunk := request.read_chunk():
            size += len(chunk)
        return size
    return vesper_download(ctx, workload, read)


@download_pair("vesper readinto")
def _(ctx, workload):
    need(native().PyRequest, "readinto")
    buffer = bytearray(1 << 20)

    def read(request):
        size = 0
        while count := request.readinto(buffer):
            size += count
        return size
    return vesper_download(ctx, workload, read)


@download_pair("vesper Client")
def _(ctx, workload):
    client = friendly()(cache=False, verify=ctx["ca_file"] if workload != "dl_h1" else True,
                        http_version={"dl_tls_h2": "h2"}.get(workload, "h1"))

    def run():
        with client.stream("GET", url_of(ctx, workload)) as response:
            return megabytes(sum(len(c) for c in response.iter_bytes()), ctx)
    return timed(run)


@download_pair("vesper AsyncClient")
def _(ctx, workload):
    client_type = friendly(async_client=True)

    async def main():
        async with client_type(cache=False, verify=ctx["ca_file"] if workload != "dl_h1" else True,
                               http_version={"dl_tls_h2": "h2"}.get(workload, "h1")) as client:
            async def run():
                async with client.stream("GET", url_of(ctx, workload)) as response:
                    size = 0
                    async for chunk in response.aiter_bytes():
                        size += len(chunk)
                return megabytes(size, ctx)
            return await timed_async(run)
    return asyncio.run(main())


@download_pair("vesper download_to")
def _(ctx, workload):
    client = friendly()(cache=False, verify=ctx["ca_file"] if workload != "dl_h1" else True,
                        http_version={"dl_tls_h2": "h2"}.get(workload, "h1"))

    def run():
        with open(os.devnull, "wb") as sink, client.stream("GET", url_of(ctx, workload)) as response:
            return megabytes(response.download_to(sink), ctx)
    return timed(run)


# ------------------------------------------------------------------ upload

def upload_pieces(ctx):
    piece = bytes(range(256)) * (PIECE // 256)
    for _ in range(ctx["bytes"] // PIECE):
        yield piece


def check_ok(status, body):
    assert status == 200 and body == b"ok", (status, body)


def timed_upload(ctx, post):
    """Times one upload through ``post(url, pieces) -> (status, body)``."""
    def run():
        check_ok(*post(ctx["upload_url"], upload_pieces(ctx)))
        return ctx["bytes"] / MB
    return timed(run)


@pair("upload", "pycurl")
def _(ctx):
    import pycurl
    curl = pycurl.Curl()

    def post(url, pieces):
        pending = [b""]

        def read(n):
            if not pending[0]:
                pending[0] = next(pieces, b"")
            out, pending[0] = pending[0][:n], pending[0][n:]
            return out

        answer = io.BytesIO()
        curl.setopt(pycurl.URL, url)
        curl.setopt(pycurl.POST, 1)
        curl.setopt(pycurl.READFUNCTION, read)
        curl.setopt(pycurl.HTTPHEADER, ["Transfer-Encoding: chunked", "Expect:"])
        curl.setopt(pycurl.WRITEDATA, answer)
        curl.perform()
        return curl.getinfo(pycurl.RESPONSE_CODE), answer.getvalue()
    return timed_upload(ctx, post)


@pair("upload", "requests")
def _(ctx):
    import requests
    session = requests.Session()

    def post(url, pieces):
        response = session.post(url, data=pieces)
        return response.status_code, response.content
    return timed_upload(ctx, post)


@pair("upload", "httpx")
def _(ctx):
    import httpx
    client = httpx.Client()

    def post(url, pieces):
        response = client.post(url, content=pieces)
        return response.status_code, response.content
    return timed_upload(ctx, post)


@pair("upload", "aiohttp")
def _(ctx):
    import aiohttp

    async def pieces():
        for piece in upload_pieces(ctx):
            yield piece

    async def main():
        async with aiohttp.ClientSession() as session:
            async def run():
                async with session.post(ctx["upload_url"], data=pieces()) as response:
                    check_ok(response.status, await response.read())
                return ctx["bytes"] / MB
            return await timed_async(run)
    return asyncio.run(main())


@pair("upload", "vesper upload_write")
def _(ctx):
    engine = vesper_engine(ctx)

    def post(url, pieces):
        request = engine.request("POST", url, chunked=True)
        request.start()
        for piece in pieces:
            request.upload_write(piece, False)
        request.upload_finish()
        response = request.await_response()
        return response.status_code, bytes(request.read_body())
    return timed_upload(ctx, post)


@pair("upload", "vesper AsyncClient")
def _(ctx):
    client_type = friendly(async_client=True)

    async def pieces():
        for piece in upload_pieces(ctx):
            yield piece

    async def main():
        async with client_type(cache=False) as client:
            async def run():
                response = await client.post(ctx["upload_url"], content=pieces())
                check_ok(response.status_code, response.content)
                return ctx["bytes"] / MB
            return await timed_async(run)
    return asyncio.run(main())


# --------------------------------------------------------------- WebSocket

TEXT = "x" * 32


def echo_sync(ctx, send, receive):
    for _ in range(ctx["n"]):
        send(TEXT)
        assert len(receive()) == len(TEXT)
    return ctx["n"]


async def echo_async(ctx, send, receive):
    for _ in range(ctx["n"]):
        result = send(TEXT)
        if asyncio.iscoroutine(result):
            await result
        assert len(await receive()) == len(TEXT)
    return ctx["n"]


def stream_sync(ctx, send, receive_length):
    """At most WS_WINDOW messages in flight; returns MB echoed."""
    piece = bytes(PIECE)
    total = ctx["bytes"] // PIECE
    sent = received = 0
    while received < total:
        while sent < total and sent - received < WS_WINDOW:
            send(piece)
            sent += 1
        assert receive_length() == PIECE
        received += 1
    return ctx["bytes"] / MB


async def stream_async(ctx, send, receive_length):
    piece = bytes(PIECE)
    total = ctx["bytes"] // PIECE
    sent = received = 0
    while received < total:
        while sent < total and sent - received < WS_WINDOW:
            result = send(piece)
            if asyncio.iscoroutine(result):
                await result
            sent += 1
        assert await receive_length() == PIECE
        received += 1
    return ctx["bytes"] / MB


def ws_pair(client, sync):
    """Registers fn(ctx, stream) for the echo and stream workloads."""
    names = ("ws_echo", "ws_stream") if sync else ("ws_echo_async", "ws_stream_async")

    def register(fn):
        pair(names[0], client)(lambda ctx: fn(ctx, False))
        pair(names[1], client)(lambda ctx: fn(ctx, True))
        return fn
    return register


@ws_pair("websockets", sync=True)
def _(ctx, stream):
    from websockets.sync.client import connect
    with connect(ctx["ws_url"], compression=None, max_size=None) as ws:
        if stream:
            return timed(lambda: stream_sync(ctx, ws.send, lambda: len(ws.recv(timeout=30))))
        return timed(lambda: echo_sync(ctx, ws.send, lambda: ws.recv(timeout=30)))


@ws_pair("curl_cffi", sync=True)
def _(ctx, stream):
    from curl_cffi import requests as cr
    ws = cr.Session().ws_connect(ctx["ws_url"])
    try:
        if stream:
            return timed(lambda: stream_sync(ctx, ws.send_binary, lambda: len(ws.recv()[0])))
        return timed(lambda: echo_sync(ctx, ws.send_str, lambda: ws.recv()[0]))
    finally:
        ws.close()


def vesper_ws(ctx):
    ws = native().PyEngine().websocket(ctx["ws_url"])
    ws.connect()
    assert ws.recv()[0] == "open"
    return ws


def payload(event, kind):
    """The payload of a ("text"|"binary", payload, ...) tuple or of a
    WebSocketEvent record of that kind (a large message from the hub comes
    as a PendingMessage, made into bytes or str by take())."""
    if hasattr(event, "kind"):
        assert event.kind == getattr(type(event), kind.upper()), event
        value = event.payload
        pending = getattr(native(), "PendingMessage", None)
        return value.take() if pending is not None and isinstance(value, pending) else value
    assert event[0] == kind, event
    return event[1]


@ws_pair("vesper recv", sync=True)
def _(ctx, stream):
    ws = vesper_ws(ctx)
    try:
        if stream:
            return timed(lambda: stream_sync(ctx, ws.send_bytes, lambda: len(payload(ws.recv(), "binary"))))
        return timed(lambda: echo_sync(ctx, ws.send_text, lambda: payload(ws.recv(), "text")))
    finally:
        ws.close(1000, "")


@ws_pair("vesper recv_message", sync=True)
def _(ctx, stream):
    need(native().PyWebSocket, "recv_message")
    ws = vesper_ws(ctx)
    try:
        if stream:
            return timed(lambda: stream_sync(ctx, ws.send_bytes,
                                             lambda: len(payload(ws.recv_message(30.0), "binary"))))
        return timed(lambda: echo_sync(ctx, ws.send_text, lambda: payload(ws.recv_message(30.0), "text")))
    finally:
        ws.close(1000, "")


@ws_pair("vesper Client", sync=True)
def _(ctx, stream):
    client = friendly()()
    with client.websocket(ctx["ws_url"]) as ws:
        if stream:
            return timed(lambda: stream_sync(ctx, ws.send, lambda: len(ws.recv())))
        return timed(lambda: echo_sync(ctx, ws.send, ws.recv))


@ws_pair("aiohttp", sync=False)
def _(ctx, stream):
    import aiohttp

    async def main():
        async with aiohttp.ClientSession() as session:
            async with session.ws_connect(ctx["ws_url"], compress=0, max_msg_size=0) as ws:
                async def data():
                    return (await ws.receive(timeout=30)).data
                if stream:
                    async def length():
                        return len(await data())
                    return await timed_async(lambda: stream_async(ctx, ws.send_bytes, length))
                return await timed_async(lambda: echo_async(ctx, ws.send_str, data))
    return asyncio.run(main())


@ws_pair("websockets", sync=False)
def _(ctx, stream):
    from websockets.asyncio.client import connect

    async def main():
        async with connect(ctx["ws_url"], compression=None, max_size=None) as ws:
            if stream:
                async def length():
                    return len(await ws.recv())
                return await timed_async(lambda: stream_async(ctx, ws.send, length))
            return await timed_async(lambda: echo_async(ctx, ws.send, ws.recv))
    return asyncio.run(main())


@ws_pair("curl_cffi async", sync=False)
def _(ctx, stream):
    from curl_cffi.requests import AsyncSession

    async def main():
        async with AsyncSession() as session:
            ws = await session.ws_connect(ctx["ws_url"])
            try:
                async def data():
                    return (await ws.recv())[0]
                if stream:
                    async def length():
                        return len(await data())
                    return await timed_async(lambda: stream_async(ctx, ws.send_binary, length))
                return await timed_async(lambda: echo_async(ctx, ws.send_str, data))
            finally:
                await ws.close()
    return asyncio.run(main())


@ws_pair("vesper poll_events", sync=False)
def _(ctx, stream):
    from asyncio_paths import AsyncWebSocket

    async def main():
        ws = AsyncWebSocket(native().PyEngine().websocket(ctx["ws_url"]))
        assert (await ws.recv())[0] == "open"
        try:
            if stream:
                async def length():
                    return len(payload(await ws.recv(), "binary"))
                return await timed_async(lambda: stream_async(ctx, ws.send_bytes, length))

            async def text():
                return payload(await ws.recv(), "text")
            return await timed_async(lambda: echo_async(ctx, ws.send_text, text))
        finally:
            ws.close()
    return asyncio.run(main())


@ws_pair("vesper hub", sync=False)
def _(ctx, stream):
    need(native(), "PyEventHub")

    async def main():
        from asyncio_paths import HubWebSocket
        ws = HubWebSocket(native().PyEngine().websocket(ctx["ws_url"]))
        assert (await ws.recv()).kind == native().WebSocketEvent.OPEN
        try:
            if stream:
                async def length():
                    return len(payload(await ws.recv(), "binary"))
                return await timed_async(lambda: stream_async(ctx, ws.send_bytes, length))

            async def text():
                return payload(await ws.recv(), "text")
            return await timed_async(lambda: echo_async(ctx, ws.send_text, text))
        finally:
            ws.close(1000, "")
    return asyncio.run(main())


@ws_pair("vesper AsyncClient", sync=False)
def _(ctx, stream):
    client_type = friendly(async_client=True)

    async def main():
        async with client_type() as client:
            async with await client.websocket(ctx["ws_url"]) as ws:
                if stream:
                    async def length():
                        return len(await ws.recv())
                    return await timed_async(lambda: stream_async(ctx, ws.send, length))
                return await timed_async(lambda: echo_async(ctx, ws.send, ws.recv))
    return asyncio.run(main())


# ------------------------------------------------------------------ runner

def peak_rss_mib():
    """This process's peak RSS.  Not ru_maxrss: Linux carries that over an
    exec from the parent, so every child would report the runner's peak."""
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def child(workload, client, ctx):
    """Runs one pair in this process and prints one JSON line."""
    try:
        amount, seconds = PAIRS[workload][client](ctx)
        result = {"value": amount / seconds}
    except Unavailable as exc:
        result = {"na": str(exc)}
    except Exception as exc:  # a failing pair is reported in the table
        result = {"error": f"{type(exc).__name__}: {exc}"[:200]}
    result["rss_mib"] = peak_rss_mib()
    print("RESULT " + json.dumps(result), flush=True)


BASELINE = " (baseline)"


def run_pair(workload, client, ctx, pin, baseline=None):
    """One run of a pair in a fresh process; a client named "<vesper client>
    (baseline)" runs with `baseline` (a directory holding another build's
    module, Core and package) first on the import path."""
    env = None
    if client.endswith(BASELINE):
        client = client[:-len(BASELINE)]
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [baseline, os.environ.get("PYTHONPATH")])))
    command = [sys.executable, str(pathlib.Path(__file__).resolve()), "--child", workload, client,
               "--context", json.dumps(ctx)]
    if pin is not None:
        command = ["taskset", "-c", str(pin)] + command
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True, env=env)
    try:
        out, err = proc.communicate(timeout=CHILD_TIMEOUT)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        return {"error": f"no result in {CHILD_TIMEOUT} s"}
    for line in out.splitlines():
        if line.startswith("RESULT "):
            return json.loads(line[7:])
    return {"error": f"exit {proc.returncode}: {err.strip().splitlines()[-1:] or ''}"}


class Servers:
    """nginx (clear and TLS), the upload sink and the WebSocket echo server."""

    def __init__(self, large_bytes):
        import trustme
        from bench_websocket_live import EchoServer
        from nginx_server import Nginx
        self.dir = pathlib.Path(tempfile.mkdtemp(prefix="vesper-peers-"))
        authority = trustme.CA()
        cert = authority.issue_cert("127.0.0.1", "localhost")
        cert.private_key_and_cert_chain_pem.write_to_path(str(self.dir / "server.pem"))
        authority.cert_pem.write_to_path(str(self.dir / "ca.pem"))
        self.ca_file = str(self.dir / "ca.pem")
        self.started = []
        try:
            self.nginx = Nginx(large_bytes, tls_cert=str(self.dir / "server.pem"), tls_key=str(self.dir / "server.pem"))
            self.started.append(self.nginx)
            self.echo = EchoServer()
            self.started.append(self.echo)
            binary = self.dir / "upload_sink"
            subprocess.run(["g++", "-O2", "-std=c++20", str(HERE / "upload_sink.cpp"), "-o", str(binary),
                            "-lpthread"], check=True, timeout=120)
            self.sink = subprocess.Popen([str(binary)], stdout=subprocess.PIPE, text=True)
            line = self.sink.stdout.readline()
            assert line.startswith("READY"), line
            self.upload_url = f"http://127.0.0.1:{int(line.split()[1])}/upload"
        except BaseException:
            self.stop()
            raise

    def context(self):
        return {"base": self.nginx.base, "tls_base": self.nginx.tls_base, "ca_file": self.ca_file,
                "ca_pem": pathlib.Path(self.ca_file).read_text(), "upload_url": self.upload_url,
                "ws_url": self.echo.url}

    def stop(self):
        sink = getattr(self, "sink", None)
        if sink is not None and sink.poll() is None:
            sink.send_signal(signal.SIGTERM)
            sink.wait(5)
        for server in reversed(self.started):
            server.stop()
        self.started.clear()


def cell(result):
    if result is None:
        return "-"
    return f"{result:,.0f}" if result >= 100 else f"{result:,.1f}"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="one run per pair, smaller sizes")
    parser.add_argument("--pin", type=int, default=None, help="run every client pinned to this CPU")
    parser.add_argument("--only", default="", help="comma-separated workloads")
    parser.add_argument("--clients", default="", help="comma-separated clients (others skipped)")
    parser.add_argument("--repeat", type=int, default=None, help="runs per pair (default 5, 1 with --quick)")
    parser.add_argument("--markdown", default=None, help="also write the table as Markdown to this file")
    parser.add_argument("--baseline", default=None,
                        help="a directory with another build's vesper_native36, libhalyard.so and vesper: each "
                             "vesper client also runs from it, in the same rounds, as '<client> (baseline)'")
    parser.add_argument("--child", nargs=2, metavar=("WORKLOAD", "CLIENT"), help=argparse.SUPPRESS)
    parser.add_argument("--context", default="{}", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        child(args.child[0], args.child[1], json.loads(args.context))
        return 0

    repeat = args.repeat or (1 if args.quick else 5)
    size_index = 1 if args.quick else 0
    workloads = [w for w in WORKLOADS if not args.only or w in args.only.split(",")]
    wanted = set(filter(None, args.clients.split(",")))
    large = max(WORKLOADS[w][2].get("bytes", (0, 0))[size_index] for w in WORKLOADS)
    servers = Servers(large)
    measured = {}  # workload -> {client: (median or None, peak RSS MiB, note)}
    try:
        base_ctx = servers.context()
        for workload in workloads:
            title, unit, sizes, refs = WORKLOADS[workload]
            ctx = dict(base_ctx, **{k: v[size_index] for k, v in sizes.items()})
            figures = measured[workload] = {}
            clients = []
            for client in PAIRS.get(workload, {}):
                if wanted and client not in wanted and client not in REFERENCE_CLIENTS:
                    continue
                clients.append(client)
                if args.baseline and client.startswith("vesper"):
                    clients.append(client + BASELINE)
            # Round-robin: each round runs every client once, so that a
            # change in the machine's load meets every client alike.
            runs = {client: [] for client in clients}
            for _ in range(repeat):
                for client in clients:
                    runs[client].append(run_pair(workload, client, ctx, args.pin, args.baseline))
            for client in clients:
                results = runs[client]
                values = [r["value"] for r in results if "value" in r]
                note = next((r.get("na") or r.get("error") for r in results if "value" not in r), "")
                figures[client] = (statistics.median(values) if values and len(values) == len(results) else None,
                                   max(r.get("rss_mib", 0.0) for r in results),
                                   "n/a" if any("na" in r for r in results) else note)
                print(f"  measured {workload} / {client}: {cell(figures[client][0])}", file=sys.stderr, flush=True)
    finally:
        servers.stop()
        shutil.rmtree(servers.dir, ignore_errors=True)
    pinned = f"clients pinned to CPU {args.pin}" if args.pin is not None else "clients unpinned"
    header = f"vesper and peers on loopback: median of {repeat}, each run a fresh process, {pinned}"
    print(header)
    lines = [f"_{header}_", ""]
    for workload, figures in measured.items():
        title, unit, _sizes, refs = WORKLOADS[workload]
        print(f"\n{title} ({unit})")
        lines += [f"**{title}** ({unit})", "",
                  f"| client | {unit} | vs {refs[0]} | vs {refs[1]} | peak RSS MiB | note |",
                  "|---|---|---|---|---|---|"]
        for client, (value, rss, note) in figures.items():
            ratios = []
            for ref in refs:
                ref_workload, _, ref_client = ref.rpartition("/")
                ref_value = measured.get(ref_workload or workload, {}).get(ref_client, (None,))[0]
                ratios.append(f"{value / ref_value:.2f}x" if value and ref_value else "-")
            shown = "n/a" if note == "n/a" else cell(value)
            note = "" if note == "n/a" else note
            # A pair that did not run has no memory figure worth showing.
            memory = f"{rss:.0f}" if value else "-"
            print(f"  {client:28s} {shown:>10s}  {ratios[0]:>6s} {refs[0]:<22s} {ratios[1]:>6s} {refs[1]:<22s}"
                  f" RSS {memory:>5s} MiB  {note}")
            lines.append(f"| {client} | {shown} | {ratios[0]} | {ratios[1]} | {memory} | {note} |")
        lines.append("")
    if args.markdown:
        pathlib.Path(args.markdown).write_text("\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
