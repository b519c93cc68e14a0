"""The ClientHello of every profile family on the Core's own BoringSSL,
recorded by the loopback recorder, against the table in halyard/README.md
("ClientHello per profile family"): vesper's JA4 and JA3N as measured, and
for Chrome, Edge and Firefox equal to the browser's; GREASE where Chrome
puts it."""
import pathlib
import re

import pytest

from conftest import OWN_TLS, fetch, native
from servers.browser_recorder import BrowserRecorder
from servers.fingerprint import ClientHello, is_grease

pytestmark = pytest.mark.skipif(not OWN_TLS, reason="the Core's own BoringSSL (TLS_STACK=own)")

README = pathlib.Path(__file__).resolve().parents[2] / "halyard" / "README.md"
TABLE_TITLE = "#### ClientHello per profile family"


def table_rows():
    """(profiles, vesper JA4s, vesper JA3Ns, browser JA4s, browser JA3Ns) per row.
    A range `a` … `b` contributes both ends; a cell may give two values
    ("x or y": without and with padding)."""
    text = README.read_text()
    start = text.index(TABLE_TITLE)
    lines = [line for line in text[start:].splitlines()[1:] if line.startswith("|")]
    rows = []
    for line in lines[2:]:
        cells = [c.strip() for c in line.strip("|").split("|")]
        if len(cells) != 5:
            break
        profiles = re.findall(r"`([a-z0-9_]+)`", cells[0])
        values = [re.findall(r"`([^`]+)`", c) for c in cells[1:]]
        rows.append((profiles, *values))
    return rows


ROWS = table_rows()
CASES = [(profile, row) for row in ROWS for profile in row[0]]


@pytest.fixture(scope="module")
def recorder(certs):
    server = BrowserRecorder(*certs["good"], alpn=("h2", "http/1.1"))
    yield server
    server.close()


def hello_of(profile, ca_pem, recorder):
    engine = native.PyEngine(impersonate=profile, ca_pem=ca_pem)
    before = len(recorder.connections)
    assert fetch(engine, "GET", f"https://localhost:{recorder.port}/").status == 200
    assert recorder.wait_for(lambda cs: len(cs) > before, 10)
    return ClientHello(recorder.connections[before].hello)


def test_table_covers_every_family():
    names = {p.rsplit("_", 1)[0] if p.startswith(("chrome", "edge", "firefox")) else "safari"
             for row in ROWS for p in row[0]}
    assert names == {"chrome", "edge", "firefox", "safari"}
    assert len(CASES) >= 20


@pytest.mark.parametrize("profile, row", CASES, ids=[c[0] for c in CASES])
def test_hello_matches_the_table(ca_pem, recorder, profile, row):
    _, our_ja4, our_ja3n, their_ja4, their_ja3n = row
    hello = hello_of(profile, ca_pem, recorder)
    assert hello.ja4() in our_ja4, (profile, hello.ja4())
    assert hello.ja3(sort_extensions=True) in our_ja3n, (profile, hello.ja3_string(sort_extensions=True))
    if profile.startswith(("chrome", "edge", "firefox")):
        assert our_ja4 == their_ja4 and our_ja3n == their_ja3n, profile


CHROMIUM = [c for c in CASES if c[0].startswith(("chrome", "edge"))]


@pytest.mark.parametrize("profile", sorted({c[0] for c in CHROMIUM}))
def test_chrome_grease_in_all_six_places(ca_pem, recorder, profile):
    hello = hello_of(profile, ca_pem, recorder)
    assert is_grease(hello.ciphers[0])
    assert is_grease(hello.groups[0])
    assert is_grease(hello.versions[0])
    assert is_grease(hello.key_share_groups[0])
    exts = [e for e in hello.extensions if e != 21]       # padding comes after the last GREASE
    assert is_grease(exts[0]) and is_grease(exts[-1]) and exts[0] != exts[-1]
    assert sum(map(is_grease, exts)) == 2
    # Chrome 156 also puts one first in its signature algorithms.
    assert is_grease(hello.sigalgs[0]) == (int(profile.split("_")[1]) >= 156)
    assert not any(map(is_grease, hello.sigalgs[1:]))
