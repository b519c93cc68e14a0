"""How each profile opens an HTTP/2 connection (SETTINGS, connection window,
pseudo-header order, no PRIORITY frames), compared with the browsers'
published Akamai fingerprints, and that the browsers' smaller windows still
carry whole bodies, paused or multiplexed."""
import concurrent.futures
import hashlib
import time

import pytest

from conftest import native
from servers.app import pattern
from servers.browser_recorder import BrowserRecorder, akamai

CHROME_117 = "1:65536;2:0;4:6291456;6:262144|15663105|0|m,a,s,p"
FIREFOX = "1:65536;2:0;4:131072;5:16384|12517377|0|m,p,a,s"
SAFARI_18_4 = "2:0;3:100;4:2097152;9:1|10420225|0|m,s,a,p"
# libcurl's own, for an engine without a profile.
CURL = "3:100;4:33554432;2:0|33488897|0|m,p,s,a"

# Published per browser release (browser-facts.md): Chrome changed its
# SETTINGS at 106 and 117; Edge is Chrome's of the same major.
PUBLISHED = {
    "chrome_99": "1:65536;3:1000;4:6291456;6:262144|15663105|0|m,a,s,p",
    "chrome_105": "1:65536;3:1000;4:6291456;6:262144|15663105|0|m,a,s,p",
    "chrome_106": "1:65536;2:0;3:1000;4:6291456;6:262144|15663105|0|m,a,s,p",
    "chrome_116": "1:65536;2:0;3:1000;4:6291456;6:262144|15663105|0|m,a,s,p",
    "chrome_117": CHROME_117, "chrome_131": CHROME_117, "chrome_156": CHROME_117,
    "edge_101": "1:65536;3:1000;4:6291456;6:262144|15663105|0|m,a,s,p",
    "edge_120": CHROME_117, "edge_156": CHROME_117,
    "firefox_133": FIREFOX, "firefox_135": FIREFOX, "firefox_144": FIREFOX, "firefox_153": FIREFOX,
    "safari_18_0": "2:0;3:100;4:2097152;8:1;9:1|10420225|0|m,s,a,p",
    "safari_18_4": SAFARI_18_4,
    None: CURL,
}
MIB = 1024 * 1024


@pytest.fixture(scope="module")
def recorder(certs):
    server = BrowserRecorder(*certs["good"], alpn=("h2", "http/1.1"))
    yield server
    server.close()


def engine_for(profile, ca_pem, **options):
    if profile is not None:
        options["impersonate"] = profile
    return native.PyEngine(ca_pem=ca_pem, **options)


def first_connection(engine, recorder):
    before = len(recorder.connections)
    request = engine.request("GET", f"https://localhost:{recorder.port}/")
    request.start()
    assert request.await_response(timeout=10).status_code == 200
    assert recorder.wait_for(lambda cs: any(c.frames for c in cs[before:]), 10)
    return next(c for c in recorder.connections[before:] if c.frames)


@pytest.mark.parametrize("profile", list(PUBLISHED), ids=str)
def test_connection_opens_as_the_browser_does(ca_pem, recorder, profile):
    connection = first_connection(engine_for(profile, ca_pem), recorder)
    assert akamai(connection.frames) == PUBLISHED[profile]
    assert connection.frames[0]["type"] == "SETTINGS"


def test_engines_of_different_profiles_side_by_side(ca_pem, recorder):
    """Each hub's thread frames its own connections: engines of three
    profiles and one without, requesting at the same time, each get theirs."""
    profiles = ["chrome_156", "firefox_153", "safari_18_4", None]
    engines = {p: engine_for(p, ca_pem) for p in profiles}
    before = len(recorder.connections)
    requests = []
    for _ in range(3):
        for p in profiles:
            request = engines[p].request("GET", f"https://localhost:{recorder.port}/",
                                         headers=[("x-profile", str(p))])
            request.start()
            requests.append(request)
    for request in requests:
        assert request.await_response(timeout=10).status_code == 200
    assert recorder.wait_for(lambda cs: len([c for c in cs[before:] if c.frames]) >= len(profiles), 10)
    seen = {}
    for c in recorder.connections[before:]:
        if not c.frames:
            continue
        headers = dict(next(f for f in c.frames if f["type"] == "HEADERS")["headers"])
        seen.setdefault(headers["x-profile"], set()).add(akamai(c.frames))
    assert seen == {str(p): {PUBLISHED[p]} for p in profiles}


def digest_of(request, pause):
    request.start()
    response = request.await_response(timeout=20)
    assert response.status_code == 200 and response.headers.startswith(b"HTTP/2 ")
    digest, size = hashlib.sha256(), 0
    if pause:
        time.sleep(pause)  # the Core fills its buffer and pauses the stream meanwhile
    while chunk := request.read_chunk(timeout=20):
        digest.update(chunk)
        size += len(chunk)
    return size, digest.hexdigest()


@pytest.mark.timeout(120)
@pytest.mark.parametrize("profile", ["firefox_153", "chrome_156", "safari_18_4"])
def test_bodies_whole_under_the_browsers_windows(ca_pem, https_server, profile):
    """Firefox's 128 KiB stream window, Chrome's 6 MiB and Safari's 2 MiB:
    a paused stream resumes within its window, and streams multiplexed on one
    connection share the connection window, without losing a byte."""
    engine = engine_for(profile, ca_pem)
    url = f"https://localhost:{https_server.port}/bytes"
    size = 12 * MIB + 5
    expected = hashlib.sha256(pattern(size)).hexdigest()
    request = engine.request("GET", f"{url}?n={size}")
    assert digest_of(request, pause=0.5) == (size, expected)

    small = 3 * MIB + 1
    small_expected = hashlib.sha256(pattern(small)).hexdigest()
    requests = [engine.request("GET", f"{url}?n={small}") for _ in range(8)]
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        results = list(pool.map(lambda r: digest_of(r, pause=0.1), requests))
    assert results == [(small, small_expected)] * 8
