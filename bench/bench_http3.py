"""HTTP/3 beside HTTP/2 through vesper_native36 and the Core, on one
hypercorn + aioquic server on loopback (TLS over TCP and QUIC on the same
port number): a 64 MiB download and 200 sequential small GETs, each
measured in a fresh process, in one run, with libcurl 8.14 alone (the
QUIC library the Core loads, through ctypes) as the peer; then the cost of the fallback to
TCP when the UDP port is refused.  Prints each figure and the ratio of
HTTP/3 to HTTP/2 (above 1: HTTP/3 is faster).

The server is Python (hypercorn, aioquic): on loopback it, not the client,
sets the pace, so the ratio compares the two stacks end to end.
"""
import pathlib
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
LIVE = HERE.parent / "tests" / "live"
sys.path.insert(0, str(LIVE))

from servers.certs import make_certs  # noqa: E402
from servers.process import python_server  # noqa: E402

MIB = 1024 * 1024
LARGE = 64 * MIB
SMALL_N = 200
ROUNDS = 3

# Runs in a child: one engine, one warm-up request, then the timed part.
CHILD = r"""
import pathlib, sys, time
import vesper_native36 as native
version, case, base, ca = sys.argv[1:5]
engine = native.PyEngine(ca_pem=pathlib.Path(ca).read_bytes(), http_version=version)

def get(url):
    request = engine.request("GET", url)
    request.start()
    head = bytes(request.await_response().headers)
    size = 0
    while (chunk := request.next_body()) is not None:
        size += len(chunk)
    return head, size

head, _ = get(f"{base}/bytes?n=10")
protocol = head.split(b" ", 1)[0].decode()
start = time.perf_counter()
if case == "download":
    _, size = get(f"{base}/bytes?n={LARGE}&chunk=262144")
    assert size == LARGE, size
    value = LARGE / 1048576 / (time.perf_counter() - start)
elif case == "small":
    for _ in range(SMALL_N):
        get(f"{base}/bytes?n=100")
    value = SMALL_N / (time.perf_counter() - start)
else:  # fallback: a fresh engine's first request to an origin without QUIC
    engine = native.PyEngine(ca_pem=pathlib.Path(ca).read_bytes(), http_version=version)
    head, _ = get(f"{base}/bytes?n=10")
    protocol = head.split(b" ", 1)[0].decode()
    value = (time.perf_counter() - start) * 1000
print(protocol, value)
""".replace("LARGE", str(LARGE)).replace("SMALL_N", str(SMALL_N))


# The peer: the same libcurl the Core uses for QUIC, driven alone with
# curl_easy_perform through ctypes (one easy handle, so its connection is
# reused), to show what the Core adds on top of it.
PEER = r"""
import ctypes, sys, time
version, case, base, ca = sys.argv[1:5]
lib = ctypes.CDLL("libcurl-gnutls.so.4")
lib.curl_easy_init.restype = ctypes.c_void_p
lib.curl_easy_setopt.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p]
lib.curl_easy_perform.argtypes = [ctypes.c_void_p]
lib.curl_easy_getinfo.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p]
WRITE = ctypes.CFUNCTYPE(ctypes.c_size_t, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t, ctypes.c_void_p)
received = [0]
def write(data, size, count, user):
    received[0] += size * count
    return size * count
callback = WRITE(write)
easy = lib.curl_easy_init()
keep = []
def setopt(option, value):
    if isinstance(value, str):
        value = ctypes.c_char_p(value.encode()); keep.append(value)
    elif isinstance(value, int):
        value = ctypes.c_void_p(value)
    assert lib.curl_easy_setopt(easy, option, value) == 0, option
setopt(10065, ca)                                   # CAINFO
setopt(84, 31 if version == "h3" else 4)            # HTTP_VERSION: 3ONLY or 2TLS
setopt(20011, ctypes.cast(callback, ctypes.c_void_p).value)  # WRITEFUNCTION
def get(url):
    received[0] = 0
    setopt(10002, url)
    assert lib.curl_easy_perform(easy) == 0
    return received[0]
get(f"{base}/bytes?n=10")
answered = ctypes.c_long(0)
lib.curl_easy_getinfo(easy, 0x200000 + 46, ctypes.byref(answered))  # CURLINFO_HTTP_VERSION
protocol = {30: "HTTP/3", 3: "HTTP/2"}.get(answered.value, str(answered.value))
start = time.perf_counter()
if case == "download":
    assert get(f"{base}/bytes?n=LARGE&chunk=262144") == LARGE
    value = LARGE / 1048576 / (time.perf_counter() - start)
else:
    for _ in range(SMALL_N):
        get(f"{base}/bytes?n=100")
    value = SMALL_N / (time.perf_counter() - start)
print(protocol, value)
""".replace("LARGE", str(LARGE)).replace("SMALL_N", str(SMALL_N))


def child(version, case, base, ca, script=CHILD):
    out = subprocess.run([sys.executable, "-c", script, version, case, base, ca], capture_output=True, text=True,
                         timeout=300, check=True).stdout.split()
    return out[0], float(out[1])


def main():
    with tempfile.TemporaryDirectory() as folder:
        certs = make_certs(folder)
        quic = python_server("run_http3.py", "--cert", certs["good"][0], "--key", certs["good"][1], "--udp", "same")
        tcp_only = python_server("run_http3.py", "--cert", certs["good"][0], "--key", certs["good"][1],
                                 "--udp", "none")
        try:
            base = f"https://127.0.0.1:{quic.port}"
            print(f"HTTP/3 beside HTTP/2, vesper, hypercorn + aioquic on loopback, best of {ROUNDS} fresh processes")
            for case, unit in (("download", "MiB/s (64 MiB)"), ("small", f"GETs/s ({SMALL_N} sequential)")):
                best = {}
                for _ in range(ROUNDS):
                    # Interleaved, so a busy moment of the machine hits all.
                    for client, script in (("vesper", CHILD), ("libcurl", PEER)):
                        for version in ("h2", "h3"):
                            protocol, value = child(version, case, base, certs["ca"], script)
                            expected = {"h2": "HTTP/2", "h3": "HTTP/3"}[version]
                            assert protocol == expected, f"{client} {version} went over {protocol}"
                            key = (client, version)
                            best[key] = max(best.get(key, 0.0), value)
                for client in ("vesper", "libcurl"):
                    h2, h3 = best[(client, "h2")], best[(client, "h3")]
                    print(f"  {case:9s} {client:8s} h2 {h2:9.1f}  h3 {h3:9.1f} {unit:28s} h3/h2 {h3 / h2:.2f}")
                print(f"  {case:9s} vesper/libcurl: h2 {best[('vesper', 'h2')] / best[('libcurl', 'h2')]:.2f}, "
                      f"h3 {best[('vesper', 'h3')] / best[('libcurl', 'h3')]:.2f}")
            times = []
            for _ in range(ROUNDS):
                protocol, value = child("h3", "fallback", f"https://127.0.0.1:{tcp_only.port}", certs["ca"])
                assert protocol == "HTTP/2", protocol
                times.append(value)
            print(f"  fallback (UDP refused, first request over TCP): {min(times):.0f} ms best, "
                  f"{max(times):.0f} ms worst of {ROUNDS}")
        finally:
            quic.stop()
            tcp_only.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
