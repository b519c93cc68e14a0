"""Profile requests over TLS HTTP/2 against local nginx, for two builds side
by side in one run: a 64 MiB download and 1,000 small GETs with 64 in
flight on one connection, with browser profiles and without.  Each figure
is the median of the runs, each run in a fresh process.

    .venv/bin/python bench/bench_profile_h2.py --build today=/work/main/python --build new=python \
        --profile chrome_156 --profile firefox_153
"""
import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from nginx_server import Nginx  # noqa: E402

LARGE = 64 << 20
SMALL_N = 1000
IN_FLIGHT = 64

CHILD = r"""
import collections, json, sys, time
import vesper_native36 as native
workload, url, ca, profile = sys.argv[1:5]
options = {"ca_pem": open(ca, "rb").read(), "http_version": "h2"}
if profile != "-":
    options["impersonate"] = profile
engine = native.PyEngine(**options)
def get(path):
    r = engine.request("GET", url + path)
    r.start()
    return r
get("/small").await_response()            # connection up before timing
start = time.perf_counter()
if workload == "download":
    r = get("/large")
    r.await_response()
    size = 0
    while chunk := r.read_chunk():
        size += len(chunk)
    amount = size / 1e6
else:
    window, done, started = collections.deque(), 0, 0
    while done < %(n)d:
        while started < %(n)d and len(window) < %(inflight)d:
            window.append(get("/small"))
            started += 1
        r = window.popleft()
        r.await_response()
        assert len(bytes(r.read_body())) == 1024
        done += 1
    amount = done
print(json.dumps(amount / (time.perf_counter() - start)))
""" % {"n": SMALL_N, "inflight": IN_FLIGHT}


def run_child(build, workload, url, ca, profile):
    env = dict(os.environ, PYTHONPATH=str(pathlib.Path(build).resolve()))
    out = subprocess.run([sys.executable, "-c", CHILD, workload, url, ca, profile or "-"], env=env,
                         capture_output=True, text=True, timeout=300, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", action="append", required=True, help="name=folder with the built module")
    parser.add_argument("--profile", action="append", help="profile to measure (repeatable; default chrome_156)")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    builds = dict(b.split("=", 1) for b in args.build)
    import trustme
    ca = trustme.CA()
    leaf = ca.issue_cert("127.0.0.1", "localhost")
    with tempfile.TemporaryDirectory() as folder:
        cert, key, ca_file = (pathlib.Path(folder) / n for n in ("cert.pem", "key.pem", "ca.pem"))
        leaf.private_key_pem.write_to_path(str(key))
        with open(cert, "wb") as f:
            for blob in leaf.cert_chain_pems:
                f.write(blob.bytes())
        ca.cert_pem.write_to_path(str(ca_file))
        server = Nginx(large_bytes=LARGE, tls_cert=str(cert), tls_key=str(key))
        try:
            print(f"| workload | profile | {' | '.join(builds)} | ratio {'/'.join(reversed(list(builds)))} |")
            print("|---|---|" + "---|" * (len(builds) + 1))
            for workload, unit in (("download", "MB/s"), ("inflight", "req/s")):
                for profile in [*(args.profile or ["chrome_156"]), None]:
                    figures = {}
                    for _ in range(args.repeat):   # interleaved, so both see the same machine
                        for name, build in builds.items():
                            figures.setdefault(name, []).append(
                                run_child(build, workload, server.tls_base, str(ca_file), profile))
                    medians = [statistics.median(figures[name]) for name in builds]
                    ratio = medians[-1] / medians[0] if medians[0] else float("nan")
                    cells = " | ".join(f"{m:.1f} {unit}" for m in medians)
                    print(f"| {workload} | {profile or 'none'} | {cells} | {ratio:.2f} |", flush=True)
        finally:
            server.stop()


if __name__ == "__main__":
    main()
