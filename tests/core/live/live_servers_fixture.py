"""The Core's live servers as a CTest fixture: one set for the whole run
instead of one per test process.

  live_servers_fixture.py start STATE   starts live_server.py in a session of
      its own, waits (bounded) for its line and writes it to STATE with the
      server's process id; the live tests read STATE (HALYARD_LIVE_SERVERS).
  live_servers_fixture.py stop STATE    stops that process group by its id
      (SIGTERM, then SIGKILL), removes the certificates and STATE.

The set also ends by itself when the ctest process that ran `start` ends (a
run interrupted before its cleanup test): live_server.py watches it
(HALYARD_LIVE_OWNER).  Its output goes to STATE.log, never to the pipes that
ctest waits on.
"""
from __future__ import annotations

import json
import os
import pathlib
import select
import shutil
import signal
import subprocess
import sys
import time

SERVER = pathlib.Path(__file__).resolve().with_name("live_server.py")
START_SECONDS = 60.0


def group_alive(group: int) -> bool:
    """Whether a process of `group` still runs (zombies, which nobody here
    can reap once the group's leader is orphaned, do not count)."""
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            stat = (entry / "stat").read_text()
        except OSError:
            continue
        # pid (comm) state ppid pgrp ...: comm may hold spaces and parentheses.
        fields = stat[stat.rindex(")") + 2:].split()
        if fields[0] != "Z" and int(fields[2]) == group:
            return True
    return False


def stop_group(group: int) -> bool:
    """SIGTERM to the group, SIGKILL after a grace period; True once gone."""
    for signum, grace in ((signal.SIGTERM, 10.0), (signal.SIGKILL, 5.0)):
        try:
            os.killpg(group, signum)
        except ProcessLookupError:
            return True
        deadline = time.monotonic() + grace
        while time.monotonic() < deadline:
            if not group_alive(group):
                return True
            time.sleep(0.05)
    return not group_alive(group)


def start(state: pathlib.Path) -> int:
    log_path = state.with_name(state.name + ".log")
    env = dict(os.environ, HALYARD_LIVE_OWNER=str(os.getppid()))
    with open(log_path, "wb") as log:
        proc = subprocess.Popen([sys.executable, str(SERVER)], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=log, env=env, start_new_session=True)
    assert proc.stdout is not None
    line = b""
    deadline = time.monotonic() + START_SECONDS
    while not line.endswith(b"\n") and time.monotonic() < deadline:
        ready, _, _ = select.select([proc.stdout], [], [], 0.2)
        if ready:
            piece = os.read(proc.stdout.fileno(), 4096)
            if not piece:
                break
            line += piece
    proc.stdout.close()
    if not line.endswith(b"\n"):
        stop_group(proc.pid)
        sys.stderr.write(f"live_server.py did not come up within {START_SECONDS:.0f} s:\n")
        sys.stderr.write(log_path.read_text(errors="replace")[-4000:])
        return 1
    info = json.loads(line)
    info["pid"] = proc.pid
    partial = state.with_name(state.name + ".partial")
    partial.write_text(json.dumps(info) + "\n")
    partial.replace(state)
    print(f"live servers up (process group {proc.pid}): {json.dumps(info)}")
    return 0


def stop(state: pathlib.Path) -> int:
    try:
        info = json.loads(state.read_text())
    except (OSError, ValueError):
        print(f"no live servers recorded in {state}")
        return 0
    gone = stop_group(int(info["pid"]))
    folder = pathlib.Path(info.get("ca", "")).parent
    if folder.name.startswith("halyard-live-"):
        shutil.rmtree(folder, ignore_errors=True)
    state.unlink(missing_ok=True)
    if not gone:
        sys.stderr.write(f"live servers (process group {info['pid']}) did not stop\n")
        return 1
    print(f"live servers stopped (process group {info['pid']})")
    return 0


def main() -> int:
    if len(sys.argv) != 3 or sys.argv[1] not in ("start", "stop"):
        sys.stderr.write(__doc__ or "")
        return 2
    state = pathlib.Path(sys.argv[2])
    return start(state) if sys.argv[1] == "start" else stop(state)


if __name__ == "__main__":
    sys.exit(main())
