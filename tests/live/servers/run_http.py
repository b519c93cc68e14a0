"""Runs the test application under hypercorn: HTTP/1.1 in clear, or TLS with
ALPN h2 and http/1.1.  Usage: run_http.py [--cert C --key K] [--port P]
"""
import argparse
import asyncio
import socket
import sys

from hypercorn.asyncio import serve
from hypercorn.config import Config

sys.path.insert(0, __file__.rsplit("/", 2)[0])
from servers.app import app  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", args.port))
    port = sock.getsockname()[1]
    sock.close()
    config = Config()
    config.bind = [f"127.0.0.1:{port}"]
    config.accesslog = None
    config.errorlog = "-"
    config.loglevel = "WARNING"
    config.keep_alive_timeout = 30
    config.h11_max_incomplete_size = 1024 * 1024
    if args.cert:
        config.certfile = args.cert
        config.keyfile = args.key
        config.alpn_protocols = ["h2", "http/1.1"]
    print(f"READY {port}", flush=True)
    asyncio.run(serve(app, config))


if __name__ == "__main__":
    main()
