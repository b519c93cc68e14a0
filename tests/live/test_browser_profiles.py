"""Impersonation profiles: what a server receives (headers and their order,
the TLS ClientHello) compared with what the real browsers send."""
import struct

import pytest

from conftest import OWN_TLS, fetch, native
from servers.browser_recorder import BrowserRecorder
from servers.fingerprint import ClientHello, is_grease

CHROME_CIPHERS = [4865, 4866, 4867, 49195, 49199, 49196, 49200, 52393, 52392, 49171, 49172, 156, 157, 47, 53]
CHROME_SIGALGS = [0x0403, 0x0804, 0x0401, 0x0503, 0x0805, 0x0501, 0x0806, 0x0601]
CHROME_ORDER = ["sec-ch-ua", "sec-ch-ua-mobile", "sec-ch-ua-platform", "upgrade-insecure-requests", "user-agent",
                "accept", "sec-fetch-site", "sec-fetch-mode", "sec-fetch-user", "sec-fetch-dest", "accept-encoding",
                "accept-language"]
FIREFOX_ORDER = ["user-agent", "accept", "accept-language", "accept-encoding", "upgrade-insecure-requests",
                 "sec-fetch-dest", "sec-fetch-mode", "sec-fetch-site", "sec-fetch-user", "priority", "te"]
SAFARI_ORDER = ["sec-fetch-dest", "user-agent", "accept", "sec-fetch-site", "sec-fetch-mode", "accept-language",
                "priority", "accept-encoding"]


@pytest.fixture(scope="module")
def recorder(certs):
    server = BrowserRecorder(*certs["good"], alpn=("http/1.1",))
    yield server
    server.close()


def received(engine, url, **kwargs):
    """The request headers as the echo route received them, in order."""
    return [(k, v) for k, v in fetch(engine, "GET", url, **kwargs).json()["headers"]
            if k not in ("host", ":authority")]


# The browsers' values (browser-facts.md): sec-ch-ua, User-Agent, header order on HTTP/2.
PROFILES = {
    "chrome_99": ('" Not A;Brand";v="99", "Chromium";v="99", "Google Chrome";v="99"',
                  "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
                  "Chrome/99.0.4844.51 Safari/537.36", CHROME_ORDER),
    "chrome_120": ('"Not_A Brand";v="8", "Chromium";v="120", "Google Chrome";v="120"',
                   "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
                   "Chrome/120.0.0.0 Safari/537.36", CHROME_ORDER),
    "chrome_131": ('"Google Chrome";v="131", "Chromium";v="131", "Not_A Brand";v="24"',
                   "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
                   "Chrome/131.0.0.0 Safari/537.36", CHROME_ORDER + ["priority"]),
    "edge_120": ('"Not_A Brand";v="8", "Chromium";v="120", "Microsoft Edge";v="120"',
                 "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
                 "Chrome/120.0.0.0 Safari/537.36 Edg/120.0.0.0", CHROME_ORDER),
    "firefox_144": (None, "Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:144.0) Gecko/20100101 Firefox/144.0",
                    FIREFOX_ORDER),
    "safari_18_4": (None, "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) "
                    "Version/18.4 Safari/605.1.15", SAFARI_ORDER),
}


@pytest.mark.parametrize("profile", sorted(PROFILES))
def test_headers_and_order_over_http2(ca_pem, https, profile):
    brands, agent, order = PROFILES[profile]
    engine = native.PyEngine(impersonate=profile, ca_pem=ca_pem)
    headers = received(engine, f"{https}/echo")
    assert [k for k, _ in headers] == order
    values = dict(headers)
    assert values.get("sec-ch-ua") == brands
    assert values["user-agent"] == agent


def test_chrome_over_http1_starts_with_host_and_connection(http):
    engine = native.PyEngine(impersonate="chrome120", http_version="h1")
    names = [k for k, _ in fetch(engine, "GET", f"{http}/echo").json()["headers"]]
    assert names == ["host", "connection"] + CHROME_ORDER


def test_caller_and_engine_options_take_their_places(ca_pem, https):
    engine = native.PyEngine(impersonate="chrome_120", ca_pem=ca_pem, user_agent="mine/1",
                             accept_language="de-DE")
    headers = received(engine, f"{https}/echo",
                       headers=[("X-First", "1"), ("Accept", "application/json"), ("X-Second", "2")])
    names = [k for k, _ in headers]
    assert names == CHROME_ORDER + ["x-first", "x-second"]
    values = dict(headers)
    assert values["accept"] == "application/json"
    assert values["user-agent"] == "mine/1"
    assert values["accept-language"] == "de-DE"


def test_profile_body_is_decoded_with_zstd(ca_pem, https):
    engine = native.PyEngine(impersonate="chrome_124", ca_pem=ca_pem)
    answer = fetch(engine, "GET", f"{https}/encoded?coding=zstd&n=5000")
    from servers.app import pattern
    assert answer.body == pattern(5000)


def test_without_profile_no_browser_headers(ca_pem, https):
    engine = native.PyEngine(ca_pem=ca_pem)
    names = [k for k, _ in received(engine, f"{https}/echo")]
    assert names == ["user-agent", "accept", "accept-encoding"]


def hello_of(engine, recorder):
    """The ClientHello of one request and, as the body, the head it sent."""
    before = len(recorder.connections)
    answer = fetch(engine, "GET", f"https://localhost:{recorder.port}/echo")
    assert answer.status == 200
    assert len(recorder.connections) == before + 1
    return ClientHello(recorder.connections[-1].hello), answer.body


openssl_only = pytest.mark.skipif(OWN_TLS, reason="the system's OpenSSL hello (TLS_STACK=system)")
own_tls_only = pytest.mark.skipif(not OWN_TLS, reason="the Core's own BoringSSL (TLS_STACK=own)")


@openssl_only
def test_chrome_client_hello_against_the_browser(ca_pem, recorder):
    engine = native.PyEngine(impersonate="chrome_120", ca_pem=ca_pem)
    hello, head = hello_of(engine, recorder)
    print("chrome_120 JA4", hello.ja4(), "JA3", hello.ja3(), hello.ja3_string())
    # Chrome's suites in Chrome's order; OpenSSL 3.0 appends the SCSV 0x00ff.
    assert hello.ciphers == CHROME_CIPHERS + [0x00FF]
    assert hello.ja4(CHROME_CIPHERS).split("_")[1] == "8daaf6152771"
    assert hello.ja4().startswith("t13d16")
    assert hello.sigalgs == CHROME_SIGALGS
    assert hello.groups == [29, 23, 24]
    assert [v for v in hello.versions if not is_grease(v)] == [0x0304, 0x0303]
    assert hello.alpn == ["h2", "http/1.1"]
    assert hello.server_name == "localhost"
    assert is_grease(hello.extensions[0])
    exts = set(hello.extensions)
    assert {5, 18, 35, 65037} <= exts          # OCSP, SCT, ticket, ECH GREASE
    assert not exts & {22, 49}                 # no encrypt-then-MAC, no post-handshake auth
    assert not exts & {65281, 27, 17513}       # beyond OpenSSL 3.0
    # The HTTP/1.1 head exactly as it went out.
    lines = [line.split(b":")[0].decode() for line in head.split(b"\r\n")[1:] if line]
    assert lines == ["Host", "Connection", "sec-ch-ua", "sec-ch-ua-mobile", "sec-ch-ua-platform",
                     "Upgrade-Insecure-Requests", "User-Agent", "Accept", "Sec-Fetch-Site", "Sec-Fetch-Mode",
                     "Sec-Fetch-User", "Sec-Fetch-Dest", "Accept-Encoding", "Accept-Language"]


def test_chrome_99_has_no_ech_grease(ca_pem, recorder):
    hello, _ = hello_of(native.PyEngine(impersonate="chrome_99", ca_pem=ca_pem), recorder)
    assert 65037 not in hello.extensions
    assert [c for c in hello.ciphers if not is_grease(c) and c != 0x00FF] == CHROME_CIPHERS


@openssl_only
def test_firefox_and_safari_client_hellos(ca_pem, recorder):
    firefox, _ = hello_of(native.PyEngine(impersonate="firefox_144", ca_pem=ca_pem), recorder)
    assert firefox.ciphers[:3] == [4865, 4867, 4866]
    # Firefox's suites, SCSV left out, give Firefox's JA4 cipher hash.
    assert firefox.ja4(firefox.ciphers[:-1]).split("_")[1] == "5b57614c22b0"
    assert firefox.groups == [29, 23, 24, 25, 256, 257]
    assert 28 in firefox.extensions and 65037 in firefox.extensions
    assert not any(is_grease(e) for e in firefox.extensions)
    safari, _ = hello_of(native.PyEngine(impersonate="safari_18_4", ca_pem=ca_pem), recorder)
    assert 35 not in safari.extensions
    assert safari.ciphers[3:6] == [49196, 49195, 52393]


def test_no_profile_sends_the_libraries_defaults(ca_pem, recorder):
    hello, _ = hello_of(native.PyEngine(ca_pem=ca_pem), recorder)
    assert not any(is_grease(e) for e in hello.extensions)
    assert 65037 not in hello.extensions
    # The TLS 1.3 order of the library: OpenSSL's, or BoringSSL's (AES first on
    # a CPU with AES instructions, ChaCha20 first without).
    assert hello.ciphers[:3] in ([4865, 4866, 4867], [4867, 4865, 4866]) if OWN_TLS else \
        hello.ciphers[:3] == [4866, 4867, 4865]


@own_tls_only
def test_firefox_and_safari_client_hellos_on_boringssl(ca_pem, recorder):
    firefox, _ = hello_of(native.PyEngine(impersonate="firefox_153", ca_pem=ca_pem), recorder)
    # The finite-field groups, record_size_limit and delegated credentials
    # come from patches of ours; NSS's TLS 1.3 suite order too.
    assert firefox.groups == [4588, 29, 23, 24, 25, 256, 257]
    assert firefox.ciphers[:3] == [4865, 4867, 4866]
    assert not any(is_grease(v) for v in firefox.ciphers + firefox.extensions + firefox.groups)
    assert {27, 28, 34, 65037, 65281} <= set(firefox.extensions)
    safari, _ = hello_of(native.PyEngine(impersonate="safari_18_4", ca_pem=ca_pem), recorder)
    assert 35 not in safari.extensions
    assert is_grease(safari.extensions[0]) and is_grease(safari.ciphers[0])
    assert [v for v in safari.versions if not is_grease(v)] == [0x0304, 0x0303, 0x0302, 0x0301]


def test_ja4_of_chromes_recorded_contents():
    """The JA4 code against Chrome 120's published value."""
    def ext(kind, body=b""):
        return struct.pack(">HH", kind, len(body)) + body
    u16 = lambda values: struct.pack(f">H{len(values)}H", 2 * len(values), *values)  # noqa: E731
    exts = b"".join([
        ext(0x1A1A), ext(0, b"\x00\x0e\x00\x00\x0bexample.com"), ext(23), ext(65281, b"\x00"),
        ext(10, u16([0x3A3A, 29, 23, 24])), ext(11, b"\x01\x00"), ext(35),
        ext(16, b"\x00\x0c\x02h2\x08http/1.1"), ext(5), ext(13, u16(CHROME_SIGALGS)), ext(18), ext(51),
        ext(45), ext(43, b"\x04\x03\x04\x03\x03"), ext(27), ext(17513), ext(65037), ext(0x2A2A, b"\x00")])
    body = (b"\x03\x03" + b"\x11" * 32 + b"\x20" + b"\x22" * 32 + u16([0x4A4A] + CHROME_CIPHERS) + b"\x01\x00"
            + struct.pack(">H", len(exts)) + exts)
    record = b"\x16\x03\x01" + struct.pack(">H", len(body) + 4) + b"\x01" + len(body).to_bytes(3, "big") + body
    assert ClientHello(record).ja4() == "t13d1516h2_8daaf6152771_02713d6af862"
