"""Prints, as a Markdown table, what vesper sends under each profile beside
what the browser sends: JA4, JA3 of the sorted extensions (JA3N), the
Akamai HTTP/2 string, and whether the h1 / h2 header order and the
WebSocket upgrade equal the browser's capture.

Runs the real Core against the loopback recorder (no browser needed):

    PYTHONPATH=python .venv/bin/python tests/live/captures/profile_table.py [profile ...]

Browser columns come from captures/*.json for the captured releases and
from the published values for the others (marked "pub.").
"""
import json
import pathlib
import re
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

import vesper_native36 as native  # noqa: E402
from servers.browser_recorder import BrowserRecorder, akamai  # noqa: E402
from servers.certs import make_certs  # noqa: E402
from servers.fingerprint import ClientHello  # noqa: E402

CAPTURED = {"chrome_156": "chrome_156", "edge_156": "chrome_156", "firefox_153": "firefox_153"}
CHROME_AKAMAI_117 = "1:65536;2:0;4:6291456;6:262144|15663105|0|m,a,s,p"


def published(profile):
    """(JA4, Akamai) published for releases not captured here."""
    family, _, version = profile.partition("_")
    if family in ("chrome", "edge"):
        m = int(version)
        akamai_text = ("1:65536;3:1000;4:6291456;6:262144|15663105|0|m,a,s,p" if m <= 105 else
                       "1:65536;2:0;3:1000;4:6291456;6:262144|15663105|0|m,a,s,p" if m <= 116 else
                       CHROME_AKAMAI_117)
        ja4 = ("t13d1516h2_8daaf6152771_e5627efa2ab1" if m <= 118 else
               "t13d1516h2_8daaf6152771_02713d6af862" if m <= 131 else "not published" if m == 132 else
               "t13d1516h2_8daaf6152771_d8a2da3f94cd" if m <= 146 else
               "t13d1516h2_8daaf6152771_806a8c22fdea" if m == 150 else "not published")
        return ja4, akamai_text
    if family == "firefox":
        return ({"133": "t13d1716h2_5b57614c22b0_eeeea6562960"}.get(version, "t13d1717h2_5b57614c22b0_3cbfd9057e0d"),
                "1:65536;2:0;4:131072;5:16384|12517377|0|m,p,a,s")
    return ("t13d2014h2_a09f3c656075_e42f34c56612",
            "2:0;3:100;4:2097152;9:1|10420225|0|m,s,a,p" if version == "18_4" else
            "2:0;3:100;4:2097152;8:1;9:1|10420225|0|m,s,a,p")


def fetch(engine, url):
    request = engine.request("GET", url)
    request.start()
    response = request.await_response()
    request.read_body()
    return response.status_code


def names(fields):
    return [re.sub(r"localhost:\d+", "", k).lower() for k, _ in fields if not k.startswith(":")]


def head_names(head):
    return [line.split(":", 1)[0].lower() for line in head.split("\r\n")[1:] if line]


def row(profile, ca_pem, h2, h1):
    engine = native.PyEngine(impersonate=profile, ca_pem=ca_pem)
    before = len(h2.connections)
    fetch(engine, f"https://localhost:{h2.port}/")
    h2.wait_for(lambda cs: any(c.frames for c in cs[before:]), 10)
    ours_h2 = [c for c in h2.connections[before:] if c.frames][-1]
    before = len(h1.connections)
    fetch(native.PyEngine(impersonate=profile, ca_pem=ca_pem), f"https://localhost:{h1.port}/")
    h1.wait_for(lambda cs: any(c.head for c in cs[before:]), 10)
    ours_h1 = [c for c in h1.connections[before:] if c.head][-1]
    ws = native.PyEngine(impersonate=profile, ca_pem=ca_pem).websocket(f"wss://localhost:{h1.port}/ws")
    before = len(h1.connections)
    ws.connect()
    h1.wait_for(lambda cs: any("websocket" in (c.head or "").lower() for c in cs[before:]), 10)
    ours_ws = [c for c in h1.connections[before:] if "websocket" in (c.head or "").lower()][-1]
    ws.close(1000, "")

    hello = ClientHello(ours_h2.hello)
    ours = {"ja4": hello.ja4(), "ja3n": hello.ja3(sort_extensions=True), "akamai": akamai(ours_h2.frames)}
    headers_frame = next(f for f in ours_h2.frames if f["type"] == "HEADERS")
    family = profile.split("_")[0]
    reference = CAPTURED.get(profile) or {"chrome": "chrome_156", "edge": "chrome_156",
                                          "firefox": "firefox_153"}.get(family)
    if reference:
        cap = json.loads((HERE / f"{reference}.json").read_text())
        theirs_frame = next(f for f in cap["h2"]["frames"] if f["type"] == "HEADERS")
        # Older Chrome has no priority header (before 124); compare the layout.
        drop = {"priority"} if family in ("chrome", "edge") and int(profile.split("_")[1]) < 124 else set()
        h2_equal = names(headers_frame["headers"]) == [n for n in names(theirs_frame["headers"]) if n not in drop]
        h1_equal = head_names(ours_h1.head) == head_names(cap["h1"]["head"])
        ws_equal = head_names(ours_ws.head) == head_names(cap["websocket"]["head"])
        suffix = "" if profile in CAPTURED else f" ({reference} layout)"
        marks = [yes(h1_equal) + suffix, yes(h2_equal) + suffix, yes(ws_equal) + suffix]
    else:
        marks = ["not captured"] * 3
    if profile in CAPTURED:
        theirs_hello = ClientHello(bytes.fromhex(cap["h2"]["client_hello"]))
        ja4, ja3n, ak = theirs_hello.ja4(), theirs_hello.ja3(sort_extensions=True), cap["h2"]["akamai"]
    else:
        ja4, ak = published(profile)
        ja3n = "—"
    def cell(text):   # Akamai strings hold "|", which would split a Markdown cell
        return text.replace("|", "\\|")
    return (f"| {profile} | `{ours['ja4']}` | `{ja4}` | `{ours['ja3n']}` | `{ja3n}` | `{cell(ours['akamai'])}` "
            f"| `{cell(ak)}` "
            f"| {' | '.join(marks)} |")


def yes(flag):
    return "equal" if flag else "differs"


def main():
    profiles = sys.argv[1:] or ["chrome_99", "chrome_110", "chrome_120", "chrome_124", "chrome_131", "chrome_146",
                                "chrome_150", "chrome_156", "edge_120", "edge_156", "firefox_133", "firefox_144",
                                "firefox_153", "safari_18_0", "safari_18_4"]
    with tempfile.TemporaryDirectory() as folder:
        certs = make_certs(folder)
        ca_pem = pathlib.Path(certs["ca"]).read_bytes()
        h2 = BrowserRecorder(*certs["good"], alpn=("h2", "http/1.1"))
        h1 = BrowserRecorder(*certs["good"], alpn=("http/1.1",))
        try:
            print("| profile | vesper JA4 | browser JA4 | vesper JA3N | browser JA3N | vesper Akamai | browser Akamai "
                  "| h1 order | h2 order | WebSocket upgrade |")
            print("|---|---|---|---|---|---|---|---|---|---|")
            for profile in profiles:
                print(row(profile, ca_pem, h2, h1), flush=True)
        finally:
            h2.close()
            h1.close()


if __name__ == "__main__":
    main()
