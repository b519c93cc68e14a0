"""Starting and stopping the local server processes."""
import pathlib
import subprocess
import sys
import time

from . import reaper

# A child's argv prefix (after sys.executable) that runs the rest of argv
# with SIGINT, SIGQUIT and SIGHUP as a terminal's job has them: the suite
# may itself run as a background job (make from a script), which ignores the
# first two, or under nohup, which ignores SIGHUP, and an ignored signal
# stays ignored in every child started from it.
WITH_DEFAULT_SIGNALS = ["-c", "import os, signal, sys; "
                        "[signal.signal(s, signal.SIG_DFL) for s in (signal.SIGINT, signal.SIGQUIT, signal.SIGHUP)]; "
                        "os.execv(sys.argv[1], sys.argv[1:])"]

HERE = pathlib.Path(__file__).resolve().parent


class ServerProcess:
    """A server child process that reports "READY <port>" on its first line."""

    def __init__(self, argv, timeout=20.0, env=None):
        self.proc = reaper.spawn(argv, stdout=subprocess.PIPE, text=True, env=env)
        deadline = time.monotonic() + timeout
        line = ""
        while time.monotonic() < deadline:
            line = self.proc.stdout.readline()
            if line.startswith("READY") or not line:
                break
        if not line.startswith("READY"):
            self.stop()
            raise RuntimeError(f"server {argv} did not start: {line!r}")
        self.port = int(line.split()[1])
        # Settle: the port was announced just before serving starts (a slow
        # start on a busy machine still gets its few seconds for that).
        wait_for_port(self.port, max(deadline, time.monotonic() + 5.0))

    def stop(self):
        reaper.stop(self.proc)
        if self.proc.stdout:
            self.proc.stdout.close()


def wait_for_port(port, deadline):
    import socket
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.02)
    raise RuntimeError(f"port {port} never accepted")


def python_server(script, *args, env=None):
    return ServerProcess([sys.executable, str(HERE / script), *map(str, args)], env=env)
