"""Runs every benchmark and prints ratios measured side by side in one run.

The module benchmarks run against the Core double (VESPER_DOUBLE), each in
its own process so that one cannot disturb another's memory figures.
"""
import os
import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
MODULE_BENCHES = ["bench_request_body.py", "bench_async_bridge.py", "bench_websocket_events.py"]
# These use the real Core: the double must not be loaded.
LIVE_BENCHES = ["bench_http.py", "bench_http3.py", "bench_websocket_live.py", "bench_cache.py", "bench_sent_heads.py"]


def main():
    failed = False
    for name in MODULE_BENCHES + LIVE_BENCHES:
        result = subprocess.run([sys.executable, str(HERE / name)], cwd=HERE.parent, env=os.environ)
        failed |= result.returncode != 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
