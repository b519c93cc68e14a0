"""Runs the test application under hypercorn with HTTP/3 (aioquic) beside
TLS over TCP (h2, http/1.1).  Prints "READY <tcp port> <udp port>".

Usage: run_http3.py --cert C --key K [--udp same|other|none]
  same:  QUIC on the TCP port's number (what a client tries first)
  other: QUIC on another port, found only through Alt-Svc
  none:  no QUIC at all (the UDP port is closed)
"""
import argparse
import asyncio
import socket
import sys

from hypercorn.asyncio import serve
from hypercorn.config import Config

sys.path.insert(0, __file__.rsplit("/", 2)[0])
from servers.app import app  # noqa: E402


def free_port(kind, port=0):
    sock = socket.socket(socket.AF_INET, kind)
    sock.bind(("127.0.0.1", port))
    port = sock.getsockname()[1]
    sock.close()
    return port


def pick_ports(mode):
    """A TCP port whose UDP twin is free too, and the UDP port for QUIC."""
    for _ in range(50):
        tcp = free_port(socket.SOCK_STREAM)
        try:
            free_port(socket.SOCK_DGRAM, tcp)
        except OSError:
            continue
        if mode == "same":
            return tcp, tcp
        if mode == "other":
            return tcp, free_port(socket.SOCK_DGRAM)
        return tcp, None
    raise RuntimeError("no free port pair")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--udp", choices=("same", "other", "none"), default="same")
    args = parser.parse_args()
    tcp, udp = pick_ports(args.udp)
    config = Config()
    config.bind = [f"127.0.0.1:{tcp}"]
    if udp is not None:
        config.quic_bind = [f"127.0.0.1:{udp}"]
    config.accesslog = None
    config.errorlog = "-"
    config.loglevel = "WARNING"
    config.keep_alive_timeout = 30
    config.certfile = args.cert
    config.keyfile = args.key
    config.alpn_protocols = ["h2", "http/1.1"]
    print(f"READY {tcp} {udp or 0}", flush=True)
    asyncio.run(serve(app, config))


if __name__ == "__main__":
    main()
