"""Runs a program that ends when the process that started it ends.

    die_with_parent.py <parent pid> <program> [arguments...]

Asks Linux for SIGTERM when the parent goes (PR_SET_PDEATHSIG), then execs
the program: the request survives exec, so this works for any server, Python
or not.  It is the second line of defence behind the starter's exit and
signal handlers, for the deaths that run no handler (SIGKILL, os._exit).

Linux sends the signal when the *thread* that forked this process ends, so
servers are started from a thread that lives as long as they should (the
main thread).  With HALYARD_TEST_NO_DEATH_SIGNAL=1 in the environment it
only execs: the tests of the other lines of defence use that.
"""
import ctypes
import os
import signal
import sys

PR_SET_PDEATHSIG = 1


def main() -> None:
    parent = int(sys.argv[1])
    argv = sys.argv[2:]
    if os.environ.get("HALYARD_TEST_NO_DEATH_SIGNAL") == "1":
        os.execvp(argv[0], argv)
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_PDEATHSIG, int(signal.SIGTERM), 0, 0, 0) != 0:
        sys.exit(f"prctl(PR_SET_PDEATHSIG) failed: {os.strerror(ctypes.get_errno())}")
    # The parent may have gone before the request was made: nobody would
    # ever send the signal then.
    if os.getppid() != parent:
        sys.exit(1)
    os.execvp(argv[0], argv)


if __name__ == "__main__":
    main()
