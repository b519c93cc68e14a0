"""The ``vesper`` command line (``python -m vesper``).

``main()`` reads the arguments, runs one HTTP exchange or one WebSocket
session through ``vesper.Client`` and returns the exit status listed in
``_exit``.
"""

from __future__ import annotations

import os
import sys
from typing import Optional, Sequence

import vesper

from . import _exit
from ._args import HttpCommand, parse_command
from ._http import UsageError, run_http
from ._output import Output
from ._version import version_lines
from ._ws import run_ws

__all__ = ["main"]


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command line; returns the exit status."""
    command = parse_command(sys.argv[1:] if argv is None else argv)
    if command is None:
        print("\n".join(version_lines()))
        return _exit.OK
    output = Output(command.options.pretty)
    factory = vesper.Client
    try:
        if isinstance(command, HttpCommand):
            return run_http(command, output, factory)
        return run_ws(command, output, factory)
    except UsageError as exc:
        output.error(str(exc))
        return _exit.USAGE
    except KeyboardInterrupt:
        output.error("interrupted")
        return _exit.INTERRUPTED
    except vesper.Error as exc:
        output.error(_exit.describe_error(exc))
        return _exit.exit_for_error(exc)
    except BrokenPipeError:
        # The reader of stdout went away (``| head``): not an error.  stdout
        # is pointed at devnull so the interpreter's final flush stays quiet.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return _exit.OK
    except OSError as exc:
        output.error(str(exc))
        return _exit.ERROR
