"""No server outlives the test process that started it, however that process
ends.  Each case runs a test process of its own, starting servers the way
the suite does (the live fixtures; the C++ live tests' server set), ends it,
and looks for what is left.  A process belongs to a case when its
environment carries the case's token: every server inherits it."""
from __future__ import annotations

import json
import os
import pathlib
import re
import signal
import subprocess
import sys
import time
import uuid

import pytest

from servers.process import WITH_DEFAULT_SIGNALS

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent.parent
CORE_TESTS = ROOT / "build" / "tests" / "core" / "core_tests"
TOKEN_NAME = "VESPER_CLEANUP_TOKEN"


def marked(token: str) -> dict[int, str]:
    """pid -> command line of the live processes carrying `token`."""
    found = {}
    entry = f"{TOKEN_NAME}={token}".encode()
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            environ = pathlib.Path(f"/proc/{name}/environ").read_bytes()
            if entry not in environ.split(b"\0"):
                continue
            cmdline = pathlib.Path(f"/proc/{name}/cmdline").read_bytes()
        except OSError:
            continue  # gone, or not ours
        found[int(name)] = cmdline.replace(b"\0", b" ").decode(errors="replace").strip()
    return found


def wait_for(predicate, seconds: float, step: float = 0.05) -> bool:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


class Case:
    """A test process started with a token, stopped by pid whatever happens."""

    def __init__(self, argv: list[str], extra_env: dict[str, str] | None = None):
        self.token = uuid.uuid4().hex
        env = dict(os.environ, **(extra_env or {}), **{TOKEN_NAME: self.token})
        self.proc = subprocess.Popen([sys.executable, *WITH_DEFAULT_SIGNALS, *argv], env=env, cwd=ROOT, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

    def servers(self) -> dict[int, str]:
        return {pid: cmd for pid, cmd in marked(self.token).items() if pid != self.proc.pid}

    def end_and_collect(self, signum: int | None) -> tuple[int, str]:
        if signum is not None:
            self.proc.send_signal(signum)
        try:
            out, _ = self.proc.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            out, _ = self.proc.communicate(timeout=10)
        return self.proc.returncode, out.decode(errors="replace")

    def left_over(self) -> dict[int, str]:
        wait_for(lambda: not self.servers(), 10)
        return self.servers()

    def cleanup(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)
        for pid in self.servers():
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass


# Each ending with every line of defence, and, where the test process gets to
# run its handlers, without the parent-death signal (the C++ set also ends
# when its stdin closes, which the handlers do not replace).
NO_DEATH_SIGNAL = {"HALYARD_TEST_NO_DEATH_SIGNAL": "1"}
WITHOUT_HANDLERS = {"SIGKILL", "os._exit", "timeout-thread"}


def defences(endings) -> list:
    both = [pytest.param(ending, {}, id=f"{ending}") for ending in endings]
    alone = [pytest.param(ending, NO_DEATH_SIGNAL, id=f"{ending}-without-death-signal")
             for ending in endings if ending not in WITHOUT_HANDLERS]
    return both + alone


@pytest.fixture
def cases():
    started: list[Case] = []
    yield started
    for case in started:
        case.cleanup()


SERVER_SCRIPTS = sorted(["run_http.py", "pproxy", "run_websocket.py"])


def server_kinds(servers: dict[int, str]) -> list[str]:
    """The servers by script, once each has replaced its die_with_parent.py."""
    kinds = []
    for cmd in servers.values():
        if "die_with_parent.py" in cmd:
            continue
        kinds += [k for k in ("run_http.py", "pproxy", "run_websocket.py", "run_http3.py", "live_server.py")
                  if k in cmd][:1]
    return sorted(kinds)


# ending -> (signal sent to the test process, pytest options, expected exit status)
PYTEST_ENDINGS = {
    "SIGINT": (signal.SIGINT, [], 2),  # pytest's "interrupted"
    "SIGTERM": (signal.SIGTERM, [], -signal.SIGTERM),
    "SIGHUP": (signal.SIGHUP, [], -signal.SIGHUP),
    "SIGKILL": (signal.SIGKILL, [], -signal.SIGKILL),
    "failure": (None, [], 1),
    "timeout": (None, ["--timeout=1", "-o", "timeout_func_only=true"], 1),
    "timeout-thread": (None, ["--timeout=1", "-o", "timeout_func_only=true", "--timeout-method=thread"], 1),
    "os._exit": (None, [], 3),
}


@pytest.mark.parametrize("ending, env", defences(PYTEST_ENDINGS))
def test_live_fixture_servers_end_with_the_test_process(ending, env, cases, tmp_path):
    signum, options, status = PYTEST_ENDINGS[ending]
    ready = tmp_path / "ready"
    case = Case([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *options,
                 str(HERE / "server_cleanup_probe.py")],
                {"PROBE_READY": str(ready), "PROBE_ENDING": ending, **env})
    cases.append(case)
    if signum is not None:
        assert wait_for(ready.exists, 60), case.end_and_collect(signal.SIGKILL)[1]
        # Every server the fixtures started is there before the end.
        assert server_kinds(case.servers()) == SERVER_SCRIPTS
    returncode, output = case.end_and_collect(signum)
    assert ready.exists(), output
    assert returncode == status, output
    assert case.left_over() == {}


# ending -> (signal, exit status); None: the tests run to their end.
CORE_ENDINGS = {
    "SIGINT": (signal.SIGINT, -signal.SIGINT),
    "SIGTERM": (signal.SIGTERM, -signal.SIGTERM),
    "SIGHUP": (signal.SIGHUP, -signal.SIGHUP),
    "SIGQUIT": (signal.SIGQUIT, -signal.SIGQUIT),
    "SIGABRT": (signal.SIGABRT, -signal.SIGABRT),
    "SIGKILL": (signal.SIGKILL, -signal.SIGKILL),
    "exit": (None, 0),
}
CORE_SERVERS = sorted(["live_server.py", "pproxy", "run_websocket.py", "run_websocket.py", "run_http3.py"])


@pytest.mark.skipif(not CORE_TESTS.exists(), reason="the Core's C++ tests are not built (make build)")
@pytest.mark.parametrize("ending, env", defences(CORE_ENDINGS))
def test_core_live_servers_end_with_the_test_process(ending, env, cases):
    signum, status = CORE_ENDINGS[ending]
    # A quick live test, repeated: until the signal, or a few times.
    repeat = "-1" if signum is not None else "3"
    case = Case([str(CORE_TESTS), "--gtest_filter=Live.InformationalHeadsAreSkipped",
                 f"--gtest_repeat={repeat}"], env)
    cases.append(case)
    seen: list[str] = []

    def servers_up() -> bool:
        seen[:] = server_kinds(case.servers())
        return seen == CORE_SERVERS or case.proc.poll() is not None

    assert wait_for(servers_up, 60, step=0.01)
    assert seen == CORE_SERVERS
    returncode, output = case.end_and_collect(signum)
    assert returncode == status, output[-2000:]
    assert case.left_over() == {}


LEFTOVERS = ROOT / ".ci" / "leftover_processes"


@pytest.mark.parametrize("through_parent", [False, True], ids=["direct", "from-a-parent-in-the-root"])
def test_ci_check_names_processes_left_in_the_clone(through_parent, tmp_path):
    root = tmp_path / "clone"
    root.mkdir()
    argv = ["bash", str(LEFTOVERS), str(root)]
    if through_parent:
        # The CI run calling the check has the clone on its command line.
        argv = ["bash", "-c", 'bash "$1" "$2"; exit $?', str(root / "run"), str(LEFTOVERS), str(root)]
    env = dict(os.environ, LEFTOVER_WAIT="0")

    clean = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=30)
    assert clean.returncode == 0, clean.stderr

    sleeper = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)", str(root / "server.py")])
    try:
        found = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=30)
    finally:
        sleeper.kill()
        sleeper.wait(10)
    assert found.returncode == 1
    lines = found.stderr.splitlines()[1:]
    assert [line.split()[0] for line in lines] == [str(sleeper.pid)]

    gone = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=30)
    assert gone.returncode == 0, gone.stderr


IGNORING_SIGINT = ["-c", "import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_IGN); "
                   "os.execv(sys.argv[1], sys.argv[1:])"]


@pytest.mark.parametrize("suite", ["live-fixtures", "core"])
def test_an_ignored_sigint_stays_ignored_and_the_servers_keep_serving(suite, cases, tmp_path):
    # A background job starts with SIGINT ignored: catching it to stop the
    # servers would leave a running test process without them.
    ready = tmp_path / "ready"
    if suite == "core":
        if not CORE_TESTS.exists():
            pytest.skip("the Core's C++ tests are not built (make build)")
        argv, expected, env = [str(CORE_TESTS), "--gtest_filter=Live.InformationalHeadsAreSkipped",
                               "--gtest_repeat=-1"], CORE_SERVERS, {}
    else:
        argv = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                str(HERE / "server_cleanup_probe.py")]
        expected, env = SERVER_SCRIPTS, {"PROBE_READY": str(ready), "PROBE_ENDING": "SIGTERM"}
    case = Case([sys.executable, *IGNORING_SIGINT, *argv], env)
    cases.append(case)
    assert wait_for(lambda: server_kinds(case.servers()) == expected or case.proc.poll() is not None, 60)
    before = case.servers()
    assert server_kinds(before) == expected
    case.proc.send_signal(signal.SIGINT)
    time.sleep(1.0)
    assert case.proc.poll() is None
    assert case.servers().keys() == before.keys()
    returncode, output = case.end_and_collect(signal.SIGTERM)
    assert returncode == -signal.SIGTERM, output[-2000:]
    assert case.left_over() == {}


FAKE_MAKE = """#!/bin/sh
# Stands in for make in a copy of .ci/run: ends as FAKE_MAKE says.
case "$FAKE_MAKE" in
  leak) "$FAKE_PYTHON" -c "import time; time.sleep(60)" "$PWD/server.py" >/dev/null 2>&1 &
        echo $! >> "$PWD/leaked.pids" ;;
  fail) exit 2 ;;
esac
exit 0
"""


@pytest.mark.parametrize("make, status", [("pass", 0), ("fail", 2), ("leak", 1)])
def test_ci_run_ends_with_the_leftover_check(make, status, tmp_path):
    clone = tmp_path / "clone"
    (clone / ".ci").mkdir(parents=True)
    for name in ("run", "leftover_processes"):
        (clone / ".ci" / name).write_text((ROOT / ".ci" / name).read_text())
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "make").write_text(FAKE_MAKE)
    (bin_dir / "make").chmod(0o755)
    env = dict(os.environ, PATH=f"{bin_dir}:{os.environ['PATH']}", FAKE_MAKE=make,
               FAKE_PYTHON=sys.executable, LEFTOVER_WAIT="0")
    leaked = clone / "leaked.pids"
    pids: list[int] = []
    try:
        result = subprocess.run(["bash", str(clone / ".ci" / "run")], env=env, capture_output=True,
                                text=True, timeout=60)
    finally:
        pids = [int(pid) for pid in leaked.read_text().split()] if leaked.exists() else []
        for pid in pids:
            os.kill(pid, signal.SIGKILL)
    assert result.returncode == status, result.stderr
    # every make call of the script left one
    make_calls = sum(line.startswith("make ") for line in (ROOT / ".ci" / "run").read_text().splitlines())
    assert make_calls >= 2
    assert len(pids) == (make_calls if make == "leak" else 0)
    for pid in pids:
        assert f"{pid} {sys.executable} -c" in result.stderr


# The C++ live tests under ctest: one server set for the run, started and
# stopped by a fixture (tests/core/live/live_servers_fixture.py).
CTEST = ROOT / ".venv" / "bin" / "ctest"
LIVE_FIXTURE = ROOT / "tests" / "core" / "live" / "live_servers_fixture.py"
needs_core_tests = pytest.mark.skipif(not CORE_TESTS.exists(), reason="the Core's C++ tests are not built (make build)")


@needs_core_tests
def test_ctest_runs_live_tests_on_one_fixture_set_and_stops_it(cases):
    # Two live tests: ctest adds the fixture's start and stop around them.
    case = Case([str(CTEST), "--test-dir", str(CORE_TESTS.parents[2]), "--output-on-failure",
                 "-R", r"^Live\.(InformationalHeadsAreSkipped|GetDeliversStatusHeadAndBody)$|^core_live_servers_"],
                {"CI": "true"})
    cases.append(case)
    returncode, output = case.end_and_collect(None)
    assert returncode == 0, output[-3000:]
    # The two tests and the fixture's start and stop.
    assert re.search(r"100% tests passed(, 0 tests failed)? out of 4\b", output), output[-3000:]
    assert case.left_over() == {}


@pytest.mark.parametrize("ending", ["stop", "owner-killed"])
def test_fixture_set_ends_by_its_stop_or_with_the_run_that_started_it(ending, cases, tmp_path):
    state = tmp_path / "live_servers.json"
    # Stands in for ctest: runs the fixture's start, then waits to be ended.
    owner = ["-c", "import subprocess, sys, time; "
             "sys.exit(r) if (r := subprocess.run([sys.executable, *sys.argv[1:]]).returncode) else time.sleep(120)",
             str(LIVE_FIXTURE), "start", str(state)]
    case = Case([sys.executable, *owner])
    cases.append(case)
    assert wait_for(lambda: state.exists() or case.proc.poll() is not None, 60)
    assert state.exists(), case.end_and_collect(signal.SIGKILL)[1]
    info = json.loads(state.read_text())
    ca_folder = pathlib.Path(info["ca"]).parent
    assert ca_folder.is_dir()
    assert wait_for(lambda: server_kinds(case.servers()) == CORE_SERVERS, 30), case.servers()
    if ending == "stop":
        stopped = subprocess.run([sys.executable, str(LIVE_FIXTURE), "stop", str(state)], capture_output=True,
                                 text=True, timeout=60)
        assert stopped.returncode == 0, stopped.stderr
        assert not state.exists() and not ca_folder.exists()
        assert case.left_over() == {}
        case.end_and_collect(signal.SIGKILL)
    else:
        case.end_and_collect(signal.SIGKILL)
        assert case.left_over() == {}


@needs_core_tests
@pytest.mark.parametrize("ci, status, outcome", [("true", 1, "[  FAILED  ]"), ("", 0, "[  SKIPPED ]")])
def test_live_tests_read_the_shared_set_and_fail_in_ci_without_it(ci, status, outcome, cases, tmp_path):
    # A state file that names nothing: the test neither starts servers of
    # its own nor passes.
    state = tmp_path / "missing.json"
    case = Case([str(CORE_TESTS), "--gtest_filter=Live.InformationalHeadsAreSkipped:LiveWs.*"],
                {"HALYARD_LIVE_SERVERS": str(state), "CI": ci})
    cases.append(case)
    returncode, output = case.end_and_collect(None)
    assert returncode == status, output[-2000:]
    assert f"{outcome} Live.InformationalHeadsAreSkipped" in output, output[-2000:]
    assert "state file" in output
    assert case.left_over() == {}
