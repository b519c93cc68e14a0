"""Server processes that cannot outlive the process that started them.

`spawn` starts a server through die_with_parent.py (it gets SIGTERM when this
process dies, however it dies), as the leader of its own process group, and
records it.  Every recorded server is stopped, by process group, from an exit
handler and from SIGINT, SIGTERM and SIGHUP handlers (which then let the
signal do what it did before), so a failing, timed-out or interrupted test
run leaves nothing behind.

A server started with own_group=False joins the caller's group: a server
that starts helpers of its own (tests/core/live/live_server.py) puts them there,
so that one signal to its group stops the whole set.
"""
from __future__ import annotations

import atexit
import os
import pathlib
import signal
import subprocess
import sys
import threading
import time
from typing import Any

GUARD = pathlib.Path(__file__).resolve().with_name("die_with_parent.py")
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

_lock = threading.RLock()  # a signal handler may run while the main thread holds it
_servers: dict[int, tuple[subprocess.Popen, bool]] = {}  # pid -> (process, own group)
_previous: dict[int, Any] = {}
_installed = False


def spawn(argv: list[str], *, own_group: bool = True, **popen_kwargs: Any) -> subprocess.Popen:
    """Starts `argv` as a server that is stopped when this process ends."""
    _install()
    guarded = [sys.executable, "-S", str(GUARD), str(os.getpid()), *map(str, argv)]
    with _lock:
        proc = subprocess.Popen(guarded, process_group=0 if own_group else None, **popen_kwargs)
        _servers[proc.pid] = (proc, own_group)
    return proc


def stop(proc: subprocess.Popen, grace: float = 5.0) -> None:
    """Stops one server started by `spawn` (and its group): SIGTERM, then
    SIGKILL after `grace` seconds."""
    _stop([proc], grace)


def stop_all(grace: float = 5.0) -> None:
    """Stops every server this process started and has not stopped yet."""
    with _lock:
        procs = [proc for proc, _ in _servers.values()]
    _stop(procs, grace)


def running() -> list[int]:
    """Process ids of the servers started here and not stopped yet."""
    with _lock:
        return list(_servers)


def _signal(proc: subprocess.Popen, signum: int) -> None:
    with _lock:
        own_group = _servers.get(proc.pid, (proc, False))[1]
    try:
        if own_group:
            os.killpg(proc.pid, signum)
        elif proc.returncode is None:
            os.kill(proc.pid, signum)
    except (ProcessLookupError, PermissionError):
        pass


def _exited(proc: subprocess.Popen) -> bool:
    """Whether the server ended, without reaping it: while it is an unreaped
    zombie its process and group ids cannot be reused, so the group can still
    be signalled safely."""
    if proc.returncode is not None:
        return True
    try:
        return os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None
    except ChildProcessError:
        return True


def _stop(procs: list[subprocess.Popen], grace: float) -> None:
    for proc in procs:
        _signal(proc, signal.SIGTERM)
    deadline = time.monotonic() + grace
    waiting = list(procs)
    while waiting and time.monotonic() < deadline:
        waiting = [proc for proc in waiting if not _exited(proc)]
        if waiting:
            time.sleep(0.02)
    for proc in procs:
        # Also what is left of the group once its leader went.
        _signal(proc, signal.SIGKILL)
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            pass
        with _lock:
            _servers.pop(proc.pid, None)


def _on_signal(signum: int, frame: Any) -> None:
    stop_all(grace=2.0)
    previous = _previous.get(signum, signal.SIG_DFL)
    if callable(previous):
        previous(signum, frame)  # SIGINT: KeyboardInterrupt, as before
    else:
        signal.signal(signum, signal.SIG_DFL)
        os.kill(os.getpid(), signum)


def _install() -> None:
    global _installed
    with _lock:
        if _installed:
            return
        _installed = True
        atexit.register(stop_all)
        # Handlers can only be set from the main thread; elsewhere the exit
        # handler and die_with_parent.py remain.
        if threading.current_thread() is threading.main_thread():
            for signum in STOP_SIGNALS:
                previous = signal.getsignal(signum)
                # An ignored signal (SIGINT in a background job) stays so: it
                # will not end this process.
                if previous == signal.SIG_IGN:
                    continue
                _previous[signum] = previous
                signal.signal(signum, _on_signal)
