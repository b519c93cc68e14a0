"""The user guide: built in strict mode (a broken link or a missing API
reference fails), then its first page is rendered by headless Chromium and
the screenshot is checked for the theme's header and the page's text, so a
build whose pages or styles are broken is seen."""
import os
import pathlib
import shutil
import struct
import subprocess
import sys
import zlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
# The Material theme's default (indigo) header colour.
HEADER_RGB = (0x3F, 0x51, 0xB5)
WIDTH, HEIGHT = 1280, 900


def build_site(target: pathlib.Path) -> subprocess.CompletedProcess:
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"), NO_MKDOCS_2_WARNING="1")
    return subprocess.run([sys.executable, "-m", "mkdocs", "build", "--strict", "-f", str(ROOT / "mkdocs.yml"),
                           "-d", str(target)], capture_output=True, text=True, timeout=300, env=env, cwd=ROOT)


def chromium(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                           f"--window-size={WIDTH},{HEIGHT}", *args], capture_output=True, timeout=120)


def png_rows(data: bytes, count: int):
    """The first ``count`` rows of an 8-bit RGB or RGBA PNG, as (r, g, b) lists."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    offset, idat, header = 8, b"", None
    while offset < len(data):
        length, kind = struct.unpack(">I4s", data[offset:offset + 8])
        chunk = data[offset + 8:offset + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", chunk)
        elif kind == b"IDAT":
            idat += chunk
        offset += 12 + length
    width, height, depth, colour, _, _, interlace = header
    assert (depth, interlace) == (8, 0) and colour in (2, 6), header
    channels = 3 if colour == 2 else 4
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for index in range(min(count, height)):
        start = index * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up = previous[i]
            corner = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 0xFF
        rows.append([tuple(line[x:x + 3]) for x in range(0, stride, channels)])
        previous = line
    return (width, height), rows


@pytest.mark.timeout(600)
def test_the_guide_builds_and_its_first_page_renders(tmp_path):
    built = build_site(tmp_path / "site")
    assert built.returncode == 0, built.stdout + built.stderr
    index = tmp_path / "site" / "index.html"
    for page in ("clients", "streaming", "websockets", "redirects", "impersonation", "proxies-tls", "cache",
                 "errors", "cli", "api"):
        assert (tmp_path / "site" / page / "index.html").is_file(), page
    api = (tmp_path / "site" / "api" / "index.html").read_text()
    for name in ("vesper.Client.request", "vesper.AsyncClient.websocket", "vesper.URL.copy_with",
                 "vesper.InvalidHeader"):
        assert f'id="{name}"' in api, name
    if CHROMIUM is None:
        if os.environ.get("CI") == "true":
            pytest.fail("Debian's chromium is not installed (the Makefile's APT_PACKAGES has it)")
        pytest.skip("Debian's chromium is not installed (make installs it)")
    dom = chromium("--dump-dom", index.as_uri())
    assert dom.returncode == 0, dom.stderr[-2000:]
    for text in (b"Quickstart", b"API reference", b"pip install vesper-http"):
        assert text in dom.stdout, text
    shot = tmp_path / "first-page.png"
    done = chromium(f"--screenshot={shot}", index.as_uri())
    assert done.returncode == 0 and shot.is_file(), done.stderr[-2000:]
    size, rows = png_rows(shot.read_bytes(), 300)
    assert size == (WIDTH, HEIGHT)
    # The header band carries the theme's colour: the styles loaded.
    header = rows[20]
    assert sum(1 for pixel in header if max(abs(a - b) for a, b in zip(pixel, HEADER_RGB)) < 8) > WIDTH // 2
    # Below it, text was drawn (anti-aliased glyphs give many shades).
    assert len({pixel for row in rows[100:300] for pixel in row}) > 20
