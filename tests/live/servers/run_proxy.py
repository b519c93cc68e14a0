"""Runs pproxy on a free port: run_proxy.py <scheme> [user:password]

scheme is http (forwarding and CONNECT) or socks5.  With credentials every
request must carry them (no remembered addresses).
"""
import os
import socket
import sys


def main():
    scheme = sys.argv[1]
    auth = sys.argv[2] if len(sys.argv) > 2 else ""
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    sock.close()
    uri = f"{scheme}://127.0.0.1:{port}" + (f"#{auth}" if auth else "")
    print(f"READY {port}", flush=True)
    pproxy = os.path.join(os.path.dirname(sys.executable), "pproxy")
    os.execv(pproxy, [pproxy, "-l", uri, "--auth", "0"])


if __name__ == "__main__":
    main()
