"""Records what Debian's chromium and firefox-esr send and stores it here as
<browser>_<major>.json, the data the live profile tests compare vesper with.

Needs `apt-get install chromium firefox-esr libnss3-tools`; the tests do not.
Each browser runs headless with a throw-away profile whose NSS database
trusts a throw-away CA, and loads https://localhost:<port>/ from a
recorder on 127.0.0.1 twice: once from a server that prefers h2, once from
one that only speaks http/1.1.  The page opens a WebSocket to its origin.

    .venv/bin/python tests/live/captures/refresh_captures.py [chromium] [firefox]
"""
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

from servers.browser_recorder import BrowserRecorder  # noqa: E402
from servers.certs import make_certs  # noqa: E402

FIREFOX_PREFS = {
    # Nothing but the page: no update, telemetry, safe browsing or portal probes.
    "app.update.enabled": False, "app.normandy.enabled": False, "browser.shell.checkDefaultBrowser": False,
    "browser.safebrowsing.malware.enabled": False, "browser.safebrowsing.phishing.enabled": False,
    "browser.safebrowsing.downloads.enabled": False, "browser.startup.homepage_override.mstone": "ignore",
    "datareporting.policy.dataSubmissionEnabled": False, "datareporting.healthreport.uploadEnabled": False,
    "toolkit.telemetry.enabled": False, "network.captive-portal-service.enabled": False,
    "network.connectivity-service.enabled": False, "extensions.update.enabled": False,
    "network.trr.mode": 5, "browser.newtabpage.enabled": False, "browser.aboutwelcome.enabled": False,
    "extensions.getAddons.cache.enabled": False, "services.settings.server": "https://127.0.0.1:9/",
    "network.dns.disablePrefetch": True, "network.prefetch-next": False,
}


def browser_version(command):
    text = subprocess.run([command, "--version"], capture_output=True, text=True, timeout=60).stdout
    return re.search(r"(\d+)\.[\d.]+", text).group(0)


def trust_ca(db_dir, ca):
    db_dir.mkdir(parents=True, exist_ok=True)
    subprocess.run(["certutil", "-d", f"sql:{db_dir}", "-N", "--empty-password"], check=True, timeout=60)
    subprocess.run(["certutil", "-d", f"sql:{db_dir}", "-A", "-n", "recorder-ca", "-t", "C,,", "-i", ca],
                   check=True, timeout=60)


def launch(browser, home, url):
    env = dict(os.environ, HOME=str(home))
    if browser == "chromium":
        command = ["chromium", "--headless=new", "--no-sandbox", f"--user-data-dir={home}/chrome",
                   "--no-first-run", "--no-default-browser-check", "--disable-background-networking",
                   "--disable-component-update", "--disable-sync", "--disable-domain-reliability", url]
    else:
        command = ["firefox-esr", "--headless", "--no-remote", "--profile", str(home / "firefox"), url]
    return subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def record(browser, home, certs, alpn):
    """The navigation and WebSocket connections of one page load."""
    recorder = BrowserRecorder(*certs["good"], alpn=alpn)
    process = launch(browser, home, f"https://localhost:{recorder.port}/")
    try:
        def done(connections):
            heads = [c.head or "" for c in connections]
            nav = any(c.frames for c in connections) if alpn[0] == "h2" else any(
                h.startswith("GET / ") for h in heads)
            return nav and any("Upgrade: websocket" in h or "upgrade: websocket" in h for h in heads)
        if not recorder.wait_for(done, 60):
            raise SystemExit(f"{browser}: no navigation and WebSocket within 60 s")
    finally:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(10)
        recorder.close()
    nav = ws = None
    for c in recorder.connections:
        if c.frames and nav is None and alpn[0] == "h2":
            nav = c
        elif c.head and c.head.startswith("GET / ") and nav is None:
            nav = c
        elif c.head and "websocket" in c.head.lower() and ws is None:
            ws = c
    return nav.as_json(), ws.as_json()


def capture(browser, certs):
    version = browser_version("chromium" if browser == "chromium" else "firefox-esr")
    home = pathlib.Path(tempfile.mkdtemp(prefix=f"capture-{browser}-"))
    try:
        if browser == "chromium":
            trust_ca(home / ".pki" / "nssdb", certs["ca"])
        else:
            profile = home / "firefox"
            trust_ca(profile, certs["ca"])
            (profile / "user.js").write_text("".join(
                f"user_pref({json.dumps(k)}, {json.dumps(v)});\n" for k, v in FIREFOX_PREFS.items()))
        h2, ws_after_h2 = record(browser, home, certs, ("h2", "http/1.1"))
        h1, ws = record(browser, home, certs, ("http/1.1",))
    finally:
        shutil.rmtree(home, ignore_errors=True)
    name = "chrome" if browser == "chromium" else "firefox"
    out = {"browser": browser, "version": version, "h2": h2, "h1": h1, "websocket": ws,
           "websocket_after_h2": ws_after_h2}
    path = HERE / f"{name}_{version.split('.')[0]}.json"
    path.write_text(json.dumps(out, indent=1) + "\n")
    print(path.name, h2["ja4"], h2["akamai"])


def main():
    browsers = sys.argv[1:] or ["chromium", "firefox"]
    with tempfile.TemporaryDirectory() as folder:
        certs = make_certs(folder)
        for browser in browsers:
            capture(browser, certs)


if __name__ == "__main__":
    main()
