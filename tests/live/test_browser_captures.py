"""What vesper sends under a profile, recorded by the same loopback recorder
that captured Debian's chromium 156 and firefox-esr 153 (captures/), compared
field by field with the browser's capture.

The captures come from Linux builds and a Chromium (not Google Chrome)
binary: the platform token, the Chrome/Chromium brand and the headless
marker are mapped before comparing; everything else must be equal, except
where OpenSSL 3.0 and libcurl 7.88 cannot produce the browser's bytes (each
such field is named in OPENSSL_CANNOT or marked xfail with its reason).
"""
import json
import pathlib
import re

import pytest

from conftest import OWN_TLS, fetch, native
from servers.browser_recorder import BrowserRecorder, akamai
from servers.fingerprint import ClientHello, is_grease
from websocket_helpers import next_event

CAPTURES = pathlib.Path(__file__).parent / "captures"
# Profile -> the capture it must match.
PROFILES = {"chrome_156": "chrome_156", "edge_156": "chrome_156", "firefox_153": "firefox_153"}
ML_DSA = {0x0904, 0x0905, 0x0906}
# SHA-1 signatures, which OpenSSL withholds at the security levels that refuse SHA-1 certificates.
SHA1_SIGNATURES = {0x0203, 0x0201}
X25519_MLKEM768 = 4588
# Extensions the browser sends that OpenSSL 3.0 cannot: renegotiation_info
# (OpenSSL signals it with the SCSV cipher instead), certificate compression,
# ALPS, delegated credentials; pre_shared_key comes only with resumption.
OPENSSL_CANNOT = {"chrome": {65281, 27, 17613, 41}, "firefox": {65281, 27, 34, 41}}


def capture(name):
    return json.loads((CAPTURES / f"{name}.json").read_text())


def family(profile):
    return "firefox" if profile.startswith("firefox") else "chrome"


@pytest.fixture(scope="module")
def h2_recorder(certs):
    server = BrowserRecorder(*certs["good"], alpn=("h2", "http/1.1"))
    yield server
    server.close()


@pytest.fixture(scope="module")
def h1_recorder(certs):
    server = BrowserRecorder(*certs["good"], alpn=("http/1.1",))
    yield server
    server.close()


def browser_value(profile, name, value):
    """The capture's value as the profile's browser on Windows would send it."""
    lower = name.lower()
    if lower == "user-agent":
        value = value.replace("X11; Linux x86_64", "Windows NT 10.0; Win64; x64").replace("HeadlessChrome/", "Chrome/")
        if profile.startswith("edge"):
            value += f" Edg/{profile.split('_')[1]}.0.0.0"
    elif lower == "sec-ch-ua":
        # Chromium names no vendor; the profile's vendor follows Chromium.
        vendor = "Microsoft Edge" if profile.startswith("edge") else "Google Chrome"
        major = profile.split("_")[1]
        value = value.replace(f'"Chromium";v="{major}"', f'"Chromium";v="{major}", "{vendor}";v="{major}"')
    elif lower == "sec-ch-ua-platform":
        value = '"Windows"'
    elif lower == "accept" and profile.startswith("edge") and "image/jxl" in value:
        value = value.replace("image/jxl,image/avif,", "")   # Edge offers neither in a navigation
    return value


def normalised(profile, fields, port, browser):
    out = []
    for name, value in fields:
        if name.lower() == "sec-websocket-key":
            value = "<key>"
        value = re.sub(r"localhost:\d+", "localhost:<port>", value)
        out.append((name, browser_value(profile, name, value) if browser else value))
    return out


def head_fields(head):
    lines = head.split("\r\n")
    return lines[0], [tuple(p.strip() for p in line.split(":", 1)) for line in lines[1:] if line]


def latest(recorder, predicate, before):
    assert recorder.wait_for(lambda cs: any(predicate(c) for c in cs[before:]), 10), "nothing recorded"
    return [c for c in recorder.connections[before:] if predicate(c)][-1]


def vesper_navigation(profile, ca_pem, recorder, **engine_options):
    engine = native.PyEngine(impersonate=profile, ca_pem=ca_pem, **engine_options)
    before = len(recorder.connections)
    answer = fetch(engine, "GET", f"https://localhost:{recorder.port}/")
    assert answer.status == 200
    return latest(recorder, lambda c: c.frames or (c.head or "").startswith("GET / "), before)


def vesper_upgrade(profile, ca_pem, recorder):
    engine = native.PyEngine(impersonate=profile, ca_pem=ca_pem)
    before = len(recorder.connections)
    ws = engine.websocket(f"wss://localhost:{recorder.port}/ws")
    ws.connect()
    assert next_event(ws)[0] == "open"
    ws.close(1000, "")
    return latest(recorder, lambda c: "websocket" in (c.head or "").lower(), before)


def first_headers(connection):
    return next(f for f in connection.frames if f["type"] == "HEADERS")


@pytest.mark.parametrize("profile", sorted(PROFILES))
def test_http2_headers_equal_the_browsers(ca_pem, h2_recorder, profile):
    ours = first_headers(vesper_navigation(profile, ca_pem, h2_recorder))
    theirs = first_headers_of_capture(capture(PROFILES[profile])["h2"])
    port = h2_recorder.port
    assert normalised(profile, ours["headers"], port, False) == normalised(profile, theirs["headers"], port, True)


def first_headers_of_capture(connection):
    return next(f for f in connection["frames"] if f["type"] == "HEADERS")


@pytest.mark.parametrize("profile", sorted(PROFILES))
def test_http2_stream_priority_equals_the_browsers(ca_pem, h2_recorder, profile):
    ours = first_headers(vesper_navigation(profile, ca_pem, h2_recorder))
    theirs = first_headers_of_capture(capture(PROFILES[profile])["h2"])
    assert ours["priority"] == theirs["priority"]
    assert ours["flags"] & 0x20 == theirs["flags"] & 0x20


@pytest.mark.parametrize("profile, priority, weight, exclusive", [
    ("chrome_156", None, 256, 1), ("firefox_153", None, 42, 0), ("safari_18_4", None, 256, 1),
    ("chrome_156", "highest", 256, 1), ("chrome_120", "idle", 110, 1), ("firefox_153", "low", 183, 1)])
def test_no_priority_frames_on_new_or_reused_connections(ca_pem, h2_recorder, profile, priority, weight, exclusive):
    """The HEADERS frames carry the priority; no request sends a PRIORITY frame
    (no browser does), neither the first on a connection nor a later one."""
    engine = native.PyEngine(impersonate=profile, ca_pem=ca_pem)
    before = len(h2_recorder.connections)
    options = {"priority": priority} if priority else {}
    for _ in range(3):
        assert fetch(engine, "GET", f"https://localhost:{h2_recorder.port}/", **options).status == 200
    assert h2_recorder.wait_for(lambda cs: sum(len([f for f in c.later if f["type"] == "HEADERS"]) + bool(c.frames)
                                               for c in cs[before:]) >= 3, 10)
    frames = [f for c in h2_recorder.connections[before:] for f in c.frames + c.later]
    assert len([c for c in h2_recorder.connections[before:] if c.frames]) == 1, "one connection, reused"
    assert [f for f in frames if f["type"] == "PRIORITY"] == []
    priorities = [f["priority"] for f in frames if f["type"] == "HEADERS"]
    assert len(priorities) == 3 and all(p == priorities[0] for p in priorities)
    assert priorities[0] == {"exclusive": exclusive, "depends_on": 0, "weight": weight}


@pytest.mark.parametrize("profile", sorted(PROFILES))
def test_akamai_fingerprint_equals_the_browsers(ca_pem, h2_recorder, profile):
    ours = vesper_navigation(profile, ca_pem, h2_recorder)
    theirs = capture(PROFILES[profile])["h2"]
    assert akamai(ours.frames) == theirs["akamai"]
    # The frames themselves, in the browser's order: SETTINGS right after
    # the preface, the connection's WINDOW_UPDATE, then the request.
    kinds = lambda frames: [(f["type"], f.get("ack"), f.get("stream")) for f in frames]  # noqa: E731
    assert kinds(ours.frames) == kinds(theirs["frames"][:-1]) + [("HEADERS", None, 1)]


def assert_head_equals_the_capture(profile, ours, theirs, port):
    """An HTTP/1.1 head vesper sent, line by line, against the browser's."""
    their_line, their_fields = head_fields(theirs)
    our_line, our_fields = head_fields(ours)
    assert our_line == their_line
    assert normalised(profile, our_fields, port, False) == normalised(profile, their_fields, port, True)


@pytest.mark.parametrize("profile", sorted(PROFILES))
def test_http1_head_equals_the_browsers(ca_pem, h1_recorder, profile):
    ours = vesper_navigation(profile, ca_pem, h1_recorder)
    assert_head_equals_the_capture(profile, ours.head, capture(PROFILES[profile])["h1"]["head"], h1_recorder.port)


@pytest.mark.parametrize("profile", sorted(PROFILES))
def test_websocket_upgrade_equals_the_browsers(ca_pem, h1_recorder, profile):
    ours = vesper_upgrade(profile, ca_pem, h1_recorder)
    assert_head_equals_the_capture(profile, ours.head, capture(PROFILES[profile])["websocket"]["head"],
                                   h1_recorder.port)
    # Chrome's WebSocket connection offers http/1.1 alone; Firefox offers h2
    # too, for WebSockets over HTTP/2 (RFC 8441), which the Core does not speak.
    ours_hello = ClientHello(ours.hello)
    theirs_hello = ClientHello(bytes.fromhex(capture(PROFILES[profile])["websocket"]["client_hello"]))
    assert ours_hello.alpn == [a for a in theirs_hello.alpn if a != "h2"] == ["http/1.1"]
    assert (theirs_hello.alpn == ["h2", "http/1.1"]) == (family(profile) == "firefox")


def without_grease(values):
    return [v for v in values if not is_grease(v)]


@pytest.mark.skipif(OWN_TLS, reason="the system's OpenSSL hello (TLS_STACK=system)")
@pytest.mark.parametrize("profile", sorted(PROFILES))
def test_client_hello_equals_the_browsers_where_openssl_can(ca_pem, h2_recorder, profile):
    ours = ClientHello(vesper_navigation(profile, ca_pem, h2_recorder).hello)
    theirs = ClientHello(bytes.fromhex(capture(PROFILES[profile])["h2"]["client_hello"]))
    # OpenSSL appends the renegotiation SCSV to the browser's suites.
    assert without_grease(ours.ciphers) == without_grease(theirs.ciphers) + [0x00FF]
    assert without_grease(ours.versions) == without_grease(theirs.versions)
    assert ours.alpn == theirs.alpn and ours.server_name == theirs.server_name
    # OpenSSL 3.0 always offers the two compressed point formats beside
    # uncompressed, and has no call to change that; browsers offer only it.
    assert ours.point_formats == [0, 1, 2] and theirs.point_formats == [0]
    # No post-quantum group or ML-DSA signature in OpenSSL 3.0; the rest in the browser's order.
    assert without_grease(ours.groups) == [g for g in without_grease(theirs.groups) if g != X25519_MLKEM768]
    assert without_grease(ours.sigalgs) == [s for s in without_grease(theirs.sigalgs)
                                            if s not in ML_DSA | SHA1_SIGNATURES]
    our_exts, their_exts = set(without_grease(ours.extensions)), set(without_grease(theirs.extensions))
    assert our_exts == their_exts - OPENSSL_CANNOT[family(profile)]
    assert any(is_grease(e) for e in ours.extensions) == any(is_grease(e) for e in theirs.extensions)
    for kind in (5, 28, 45, 51764):    # OCSP request, record limit, PSK modes, trust anchors
        assert ours.bodies.get(kind) == theirs.bodies.get(kind), kind


# pre_shared_key comes only with resumption.  Firefox's record_size_limit,
# delegated credentials, finite-field groups, TLS 1.3 suite order and fixed
# extension order come from patches of ours to BoringSSL.
BORINGSSL_CANNOT = {"chrome": {41}, "firefox": {41}}


@pytest.mark.skipif(not OWN_TLS, reason="the Core's own BoringSSL (TLS_STACK=own)")
@pytest.mark.parametrize("profile", sorted(PROFILES))
def test_client_hello_equals_the_browsers_on_boringssl(ca_pem, h2_recorder, profile):
    ours = ClientHello(vesper_navigation(profile, ca_pem, h2_recorder).hello)
    theirs = ClientHello(bytes.fromhex(capture(PROFILES[profile])["h2"]["client_hello"]))
    chrome = family(profile) == "chrome"
    if chrome:
        assert ours.ja4() == theirs.ja4()
        assert ours.ja3(sort_extensions=True) == theirs.ja3(sort_extensions=True)
        assert ours.ciphers[1:] == theirs.ciphers[1:] and ours.sigalgs[1:] == theirs.sigalgs[1:]
        assert ours.groups[1:] == theirs.groups[1:]
        assert ours.key_share_groups[1:] == theirs.key_share_groups[1:]
    else:
        # Firefox's hello has no GREASE and a fixed order: the whole JA3 (suites,
        # extensions in order, groups, point formats) is the browser's.
        assert ours.ja4() == theirs.ja4() == "t13d1617h2_86a278354501_3cbfd9057e0d"
        assert ours.ja3_string() == theirs.ja3_string()
        assert ours.ciphers == theirs.ciphers and ours.sigalgs == theirs.sigalgs
        assert ours.groups == theirs.groups and ours.key_share_groups == theirs.key_share_groups
    # GREASE in the same places: the first suite, group, key share, version,
    # signature algorithm, and the first and last extension.
    for ours_list, theirs_list in [(ours.ciphers, theirs.ciphers), (ours.groups, theirs.groups),
                                   (ours.key_share_groups, theirs.key_share_groups),
                                   (ours.versions, theirs.versions), (ours.sigalgs, theirs.sigalgs)]:
        assert [i for i, v in enumerate(ours_list) if is_grease(v)] == \
            [i for i, v in enumerate(theirs_list) if is_grease(v)]
    assert [is_grease(e) for e in (ours.extensions[0], ours.extensions[-1])] == \
        [is_grease(e) for e in (theirs.extensions[0], theirs.extensions[-1])]
    assert without_grease(ours.versions) == without_grease(theirs.versions)
    assert ours.alpn == theirs.alpn and ours.server_name == theirs.server_name
    assert ours.point_formats == theirs.point_formats == [0]
    our_exts, their_exts = set(without_grease(ours.extensions)), set(without_grease(theirs.extensions))
    assert our_exts == their_exts - BORINGSSL_CANNOT[family(profile)]
    # The bodies too (record_size_limit 16385, the delegated credentials'
    # four signature algorithms); ECH GREASE's random payload aside.
    for kind in (5, 10, 13, 45, 11, 27, 28, 34, 17613, 51764, 65281):
        if kind in our_exts:
            ours_body, theirs_body = ours.bodies[kind], theirs.bodies[kind]
            if chrome and kind in (10, 13):      # GREASE values differ per connection
                ours_body, theirs_body = ours_body[4:], theirs_body[4:]
            assert ours_body == theirs_body, kind
    assert {28, 34} <= our_exts or chrome


def ech_payload_length(hello):
    body = hello.bodies[65037]
    enc = int.from_bytes(body[6:8], "big")
    return int.from_bytes(body[8 + enc:10 + enc], "big")


def test_chrome_draws_its_ech_grease_length_per_connection(ca_pem, h1_recorder):
    lengths = {ech_payload_length(ClientHello(vesper_navigation("chrome_156", ca_pem, h1_recorder).hello))
               for _ in range(16)}
    # Chrome's four sizes; all sixteen alike would happen once in 10^9 runs.
    assert lengths <= {144, 176, 208, 240} and len(lengths) >= 2
    captured = ClientHello(bytes.fromhex(capture("chrome_156")["h2"]["client_hello"]))
    assert ech_payload_length(captured) in {144, 176, 208, 240}


def test_firefox_ech_grease_length_is_nss(ca_pem, h1_recorder):
    ours = ClientHello(vesper_navigation("firefox_153", ca_pem, h1_recorder).hello)
    theirs = ClientHello(bytes.fromhex(capture("firefox_153")["h1"]["client_hello"]))
    assert ech_payload_length(ours) == ech_payload_length(theirs) == 239
    assert len(ours.bodies[65037]) == len(theirs.bodies[65037])


@pytest.mark.parametrize("profile, padded", [("chrome_99", None), ("chrome_124", False), ("chrome_146", False),
                                             ("chrome_156", False), ("firefox_153", False)])
def test_padding_only_where_the_browser_pads(ca_pem, h1_recorder, profile, padded):
    hello = ClientHello(vesper_navigation(profile, ca_pem, h1_recorder).hello)
    if padded is None:
        # Chrome before 124 pads exactly the hellos of 256-511 bytes to 512.
        if 21 in hello.extensions:
            assert hello.message_length == 512
        else:
            assert not 256 <= hello.message_length < 512
    else:
        assert 21 not in hello.extensions


@pytest.mark.parametrize("profile, versions", [
    ("safari_18_4", [0x0304, 0x0303, 0x0302, 0x0301]), ("safari_18_0", [0x0304, 0x0303, 0x0302, 0x0301]),
    ("chrome_156", [0x0304, 0x0303]), ("firefox_153", [0x0304, 0x0303])])
def test_supported_versions(ca_pem, h1_recorder, profile, versions):
    hello = ClientHello(vesper_navigation(profile, ca_pem, h1_recorder).hello)
    assert without_grease(hello.versions) == versions


@pytest.mark.parametrize("profile", ["chrome_146", "chrome_150", "chrome_156", "edge_156"])
def test_chrome_http1_never_carries_priority(ca_pem, h1_recorder, profile):
    ours = vesper_navigation(profile, ca_pem, h1_recorder)
    names = [k.lower() for k, _ in head_fields(ours.head)[1]]
    assert "priority" not in names and names[:2] == ["host", "connection"]


def test_post_over_http1_keeps_the_swapped_list_whole(ca_pem, h1_recorder):
    """The HTTP/1.1 list swapped in after the connect still carries curl's suppressions."""
    engine = native.PyEngine(impersonate="chrome_156", ca_pem=ca_pem)
    before = len(h1_recorder.connections)
    fetch(engine, "POST", f"https://localhost:{h1_recorder.port}/echo", body=b"x" * 10)
    head = latest(h1_recorder, lambda c: (c.head or "").startswith("POST "), before).head
    names = [k.lower() for k, _ in head_fields(head)[1]]
    assert "priority" not in names and "expect" not in names and "content-type" not in names
    assert "content-length" in names


@pytest.mark.parametrize("major", range(99, 157))
def test_every_chrome_major_keeps_the_captured_order(ca_pem, h2_recorder, major):
    """The header order of the 156 capture holds for every Chrome profile (priority from 124)."""
    ours = [k for k, _ in first_headers(vesper_navigation(f"chrome_{major}", ca_pem, h2_recorder))["headers"]
            if not k.startswith(":")]
    theirs = [k for k, _ in first_headers_of_capture(capture("chrome_156")["h2"])["headers"]
              if not k.startswith(":")]
    assert ours == (theirs if major >= 124 else [k for k in theirs if k != "priority"])


def test_websocket_origin_is_the_callers_when_given(ca_pem, h1_recorder):
    engine = native.PyEngine(impersonate="firefox_153", ca_pem=ca_pem)
    before = len(h1_recorder.connections)
    ws = engine.websocket(f"wss://localhost:{h1_recorder.port}/ws", origin="https://example.test")
    ws.connect()
    assert next_event(ws)[0] == "open"
    ws.close(1000, "")
    head = latest(h1_recorder, lambda c: "websocket" in (c.head or "").lower(), before).head
    fields = dict(head_fields(head)[1])
    assert fields["Origin"] == "https://example.test"
    assert fields["Sec-Fetch-Site"] == "cross-site"


@pytest.mark.parametrize("profile, offer", [("firefox_153", "permessage-deflate"),
                                            ("chrome_156", "permessage-deflate; client_max_window_bits")])
def test_profile_upgrade_against_a_real_server(ws_server, profile, offer):
    """Each layout's deflate offer is negotiated and used by the websockets
    server, and its Origin is the target's own in clear (ws://)."""
    from websocket_helpers import close_cleanly, opened
    engine = native.PyEngine(impersonate=profile)
    ws, _ = opened(engine, f"ws://127.0.0.1:{ws_server.port}/headers")
    headers = {k.lower(): v for k, v in json.loads(bytes(next_event(ws)[1]).decode())}
    assert headers["sec-websocket-extensions"] == offer
    assert headers["origin"] == f"http://127.0.0.1:{ws_server.port}"
    # 127.0.0.1 is a secure context even in clear: Firefox's fetch metadata is there.
    assert ("sec-fetch-mode" in headers) == profile.startswith("firefox")
    message = "xyz" * 200000
    ws.send_text(message)
    assert bytes(next_event(ws)[1]).decode() == message
    close_cleanly(ws)
