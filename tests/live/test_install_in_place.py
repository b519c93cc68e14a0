"""Installing the module and the Core while a program has them loaded.

Every step that puts the libraries in place (make native, build, the
sanitizer and thread-sanitizer builds) runs scripts/install-so.sh, which
writes a temporary file beside the target and renames it over the old one:
a running program keeps the file it mapped and carries on.  Copying over
the mapped file in place instead truncates and rewrites the pages under it,
and the program dies with SIGBUS at its next instruction there."""
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import time

import pytest

from servers.process import python_server

ROOT = pathlib.Path(__file__).resolve().parents[2]
LIBRARIES = ("vesper_native36.abi3.so", "libhalyard.so")
INSTALL = ROOT / "scripts" / "install-so.sh"

# Requests in a loop until stdin closes, one line per 100 done.
CHILD = r"""
import sys, threading
import vesper_native36 as native
stop = threading.Event()
threading.Thread(target=lambda: (sys.stdin.read(), stop.set()), daemon=True).start()
engine = native.PyEngine()
done = 0
while not stop.is_set() and done < 1_000_000:
    request = engine.request("GET", sys.argv[1])
    request.start()
    assert request.wait_response(10).status_code == 200
    assert len(request.read_all(10)) == 64
    done += 1
    if done % 100 == 0:
        print(done, flush=True)
"""


@pytest.fixture(scope="module")
def keepalive():
    server = python_server("run_keepalive.py")
    yield f"http://127.0.0.1:{server.port}/"
    server.stop()


def _read_count(child, at_least, seconds=20.0):
    """Reads the child's progress lines until it reported `at_least`."""
    deadline = time.monotonic() + seconds
    count = 0
    while count < at_least:
        assert time.monotonic() < deadline, f"the child made only {count} requests"
        line = child.stdout.readline()
        assert line, f"the child ended (exit {child.wait(10)}) after {count} requests"
        count = int(line)
    return count


def test_installing_over_a_loaded_module_leaves_the_program_running(tmp_path, keepalive):
    installed = tmp_path / "site"
    installed.mkdir()
    for name in LIBRARIES:
        shutil.copy2(ROOT / "python" / name, installed / name)
    child = subprocess.Popen([sys.executable, "-c", CHILD, keepalive], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True, env={"PYTHONPATH": str(installed)})
    try:
        count = _read_count(child, 300)
        for _ in range(5):
            subprocess.run(["sh", str(INSTALL), str(installed), *(str(ROOT / "python" / n) for n in LIBRARIES)],
                           check=True, timeout=60)
            count = _read_count(child, count + 100)
        child.stdin.close()
        code = child.wait(20)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait(10)
    assert code != -signal.SIGBUS, "the running program died with SIGBUS during the install"
    assert code == 0
    # Nothing left behind but the libraries.
    assert sorted(p.name for p in installed.iterdir()) == sorted(LIBRARIES)


def test_every_install_step_renames_into_place():
    """No recipe of the Makefile copies a built library over its target in
    place: each goes through the install script."""
    makefile = (ROOT / "Makefile").read_text()
    recipes = [line.strip() for line in makefile.splitlines() if line.startswith("\t")]
    in_place = [line for line in recipes if re.search(r"\b(cp|install)\b[^;|&]*\.so\b", line)]
    assert in_place == []
    installs = [line for line in recipes if "$(INSTALL_SO)" in line]
    assert any(" python " in line for line in installs), "make native does not install through the script"
