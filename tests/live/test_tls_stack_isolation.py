"""The Core's own BoringSSL and libcurl live inside libhalyard.so with
their symbols hidden: a process that also loaded OpenSSL (Python's ssl)
and another libcurl (pycurl's) uses all three side by side."""
import pathlib
import shutil
import subprocess
import sys

import pytest

from conftest import OWN_TLS, native

pytestmark = pytest.mark.skipif(not OWN_TLS, reason="the Core's own TLS stack (TLS_STACK=own)")

CORE = pathlib.Path(native.__file__).resolve().parent / "libhalyard.so"

# Run in a child: a symbol clash would crash or misroute, not fail an assert.
CHILD = r"""
import ssl, sys, urllib.request
import pycurl
import vesper_native36 as native

url, ca = sys.argv[1], sys.argv[2]
rounds = []
for _ in range(3):
    # OpenSSL through Python's ssl.
    context = ssl.create_default_context(cafile=ca)
    with urllib.request.urlopen(url + "/echo", context=context, timeout=10) as answer:
        rounds.append(("ssl", answer.status))
    # pycurl's own libcurl and OpenSSL.
    c = pycurl.Curl()
    c.setopt(pycurl.URL, url + "/echo")
    c.setopt(pycurl.CAINFO, ca)
    c.setopt(pycurl.WRITEFUNCTION, lambda data: None)
    c.perform()
    rounds.append(("pycurl", c.getinfo(pycurl.RESPONSE_CODE)))
    c.close()
    # The Core, verifying against the same root given in memory.
    engine = native.PyEngine(ca_pem=open(ca, "rb").read())
    request = engine.request("GET", url + "/echo")
    request.start()
    rounds.append(("core", request.await_response(timeout=10).status_code))
print(rounds)
assert all(status == 200 for _, status in rounds), rounds
"""


def test_core_beside_pythons_openssl_and_pycurl(certs, https):
    pytest.importorskip("pycurl")
    child = subprocess.run([sys.executable, "-c", CHILD, https, certs["ca"]], capture_output=True, text=True,
                           timeout=120)
    assert child.returncode == 0, child.stderr[-3000:]
    assert child.stdout.count("200") == 9


def test_core_exports_only_its_interface():
    nm = shutil.which("nm")
    assert nm is not None
    out = subprocess.run([nm, "-D", "--defined-only", str(CORE)], capture_output=True, text=True,
                         timeout=60, check=True).stdout
    names = {line.split()[-1] for line in out.splitlines() if line.strip()}
    # The hy_* interface and the four nghttp2 functions the HTTP/2 framing
    # takes the place of (libnghttp2 stays a shared library).
    hooks = {"nghttp2_submit_settings", "nghttp2_session_set_local_window_size", "nghttp2_submit_request",
             "nghttp2_submit_priority"}
    assert {n for n in names if not n.startswith("hy_")} == hooks
    undefined = subprocess.run([nm, "-D", "--undefined-only", str(CORE)], capture_output=True, text=True,
                               timeout=60, check=True).stdout
    # Nothing of OpenSSL's or curl's is taken from the process either.
    assert not [line for line in undefined.splitlines() if " SSL_" in line or " curl_" in line]
