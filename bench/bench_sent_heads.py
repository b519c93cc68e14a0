"""What keeping the sent request heads costs: sequential small GETs against
local nginx through the module and the Core, with and without
record_sent_heads, beside pycurl with and without its verbose debug
callback (the same libcurl mechanism).  Each variant runs in a fresh
process, all in one run, the variants taking turns for ROUNDS rounds;
prints the median requests per second and the ratio of each recorded
variant to its unrecorded twin.
"""
import io
import json
import statistics
import subprocess
import sys
import time

N = 2000
ROUNDS = 5


def vesper(base, record):
    import vesper_native36 as native
    engine = native.PyEngine()
    url = f"{base}/small"
    kept = 0
    start = time.perf_counter()
    for _ in range(N):
        request = engine.request("GET", url)
        if record:
            request.record_sent_heads()
        request.start()
        request.await_response()
        request.read_body()
        if record:
            kept += len(request.sent_heads_bytes())
    seconds = time.perf_counter() - start
    assert not record or kept > 0
    return N / seconds


def pycurl(base, record):
    import pycurl as curl_module
    curl = curl_module.Curl()
    curl.setopt(curl_module.URL, f"{base}/small")
    heads = []
    if record:
        curl.setopt(curl_module.VERBOSE, 1)
        curl.setopt(curl_module.DEBUGFUNCTION,
                    lambda kind, data: heads.append(data) if kind == curl_module.INFOTYPE_HEADER_OUT else None)
    start = time.perf_counter()
    for _ in range(N):
        curl.setopt(curl_module.WRITEDATA, io.BytesIO())
        curl.perform()
    seconds = time.perf_counter() - start
    assert not record or len(heads) == N
    return N / seconds


def child(name, record, base):
    print(json.dumps({"rate": {"vesper": vesper, "pycurl": pycurl}[name](base, record == "1")}))


def main():
    sys.path.insert(0, __file__.rsplit("/", 1)[0])
    from nginx_server import Nginx
    server = Nginx(large_bytes=1024 * 1024)
    base = f"http://127.0.0.1:{server.port}"
    try:
        runs = {}
        # Taking turns spreads a busy machine's slow moments over every variant.
        for _ in range(ROUNDS):
            for name in ("vesper", "pycurl"):
                for record in ("0", "1"):
                    out = subprocess.run([sys.executable, __file__, "child", name, record, base],
                                         capture_output=True, text=True, timeout=300, check=True).stdout
                    runs.setdefault((name, record), []).append(json.loads(out.splitlines()[-1])["rate"])
        rates = {key: statistics.median(values) for key, values in runs.items()}
    finally:
        server.stop()
    print(f"sent heads, {N} sequential GETs of 1 KiB (median requests/s of {ROUNDS} runs):")
    for name in ("vesper", "pycurl"):
        off, on = rates[(name, "0")], rates[(name, "1")]
        print(f"  {name:7} not kept {off:8.0f}   kept {on:8.0f}   kept/not kept {on / off:.2f}")
    return 0


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "child":
        child(*sys.argv[2:5])
    else:
        sys.exit(main())
