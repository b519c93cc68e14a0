"""The Core's HTTP cache against local nginx, in one run: a 1 KiB GET answered
from the cache, the same GET over loopback (cache off), the same GET
validated with a 304 each time, and requests-cache (memory backend) answering
from its cache.  Prints requests per second and the ratios.
"""
import sys
import time

import vesper_native36 as native

sys.path.insert(0, __file__.rsplit("/", 1)[0])
from nginx_server import Nginx  # noqa: E402

N = 3000


def rate(fn):
    fn()  # warms the connection and the cache
    start = time.perf_counter()
    for _ in range(N):
        fn()
    return N / (time.perf_counter() - start)


def vesper(engine, url, cache="default"):
    def one():
        request = engine.request("GET", url, cache=cache)
        request.start()
        request.await_response()
        assert len(request.read_body()) == 1024
    return one


def requests_cache_hit(url):
    import requests_cache
    session = requests_cache.CachedSession(backend="memory")

    def one():
        assert len(session.get(url).content) == 1024
    return one


def requests_network(url):
    import requests
    session = requests.Session()

    def one():
        assert len(session.get(url).content) == 1024
    return one


def main():
    server = Nginx(large_bytes=1024 * 1024)
    try:
        url = f"{server.base}/cached"
        figures = {
            "vesper cached": max(rate(vesper(native.PyEngine(), url)) for _ in range(2)),
            "vesper loopback (cache off)": max(rate(vesper(native.PyEngine(cache=False), url)) for _ in range(2)),
            "vesper revalidated (304)": max(rate(vesper(native.PyEngine(), url, "validate")) for _ in range(2)),
            "requests-cache cached": max(rate(requests_cache_hit(url)) for _ in range(2)),
            "requests loopback": max(rate(requests_network(url)) for _ in range(2)),
        }
        print(f"1 KiB GET, cache against loopback ({server.base}, {N} requests each)")
        for name, value in figures.items():
            print(f"  {name}: {value:,.0f} req/s")
        cached = figures["vesper cached"]
        print(f"  ratios: vesper cached / vesper loopback {cached / figures['vesper loopback (cache off)']:.2f}x; "
              f"vesper cached / requests-cache cached {cached / figures['requests-cache cached']:.2f}x; "
              f"vesper revalidated / vesper loopback "
              f"{figures['vesper revalidated (304)'] / figures['vesper loopback (cache off)']:.2f}x")
    finally:
        server.stop()


if __name__ == "__main__":
    main()
