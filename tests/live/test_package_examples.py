"""The newcomer's examples keep working: the demo runs every one of them
against the local servers it starts."""
import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.mark.timeout(240)
def test_every_example_runs():
    env = dict(os.environ, DEMO_DOWNLOAD_MB="4", PYTHONPATH=str(ROOT / "python"))
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "demo.py")], capture_output=True, text=True,
                          timeout=200, env=env)
    assert done.returncode == 0, done.stderr[-2000:]
    out = done.stdout
    assert out.rstrip().endswith("all examples ran")
    for expected in ("200 responses, statuses {200}", "final: 200", "got bytes: b'\\x00binary\\xff'",
                     "timed out: ReadTimeout", "untrusted certificate: -202 CERT_AUTHORITY_INVALID",
                     f"wrote {4 * 2**20} bytes"):
        assert expected in out, expected
