"""The transfer progress bar on stderr.

Shown only when stderr is a terminal and the body does not go to that
terminal, and only once a transfer has lasted longer than a moment; it
is transient, so nothing of it stays on the screen when it ends.
"""

from __future__ import annotations

import time
from typing import Iterable, Iterator, Optional, Tuple

from rich.console import Console
from rich.progress import (BarColumn, DownloadColumn, Progress, ProgressColumn, SpinnerColumn, TaskID, TextColumn,
                           TimeRemainingColumn, TransferSpeedColumn)

__all__ = ["Transfer", "DELAY"]

# How long a transfer runs before the bar appears, in seconds.
DELAY = 0.3


class Transfer:
    """Counts the bytes of one upload or download and draws them once it
    has run for DELAY seconds; a no-op when disabled."""

    def __init__(self, console: Console, label: str, total: Optional[int], enabled: bool) -> None:
        self._console = console
        self._label = label
        self._total = total
        self._enabled = enabled
        self._start = time.monotonic()
        self._done = 0
        self._progress: Optional[Progress] = None
        self._task: Optional[TaskID] = None

    def _show(self) -> None:
        columns: Tuple[ProgressColumn, ...]
        if self._total is not None:
            columns = (TextColumn("{task.description}"), BarColumn(), DownloadColumn(),
                       TransferSpeedColumn(), TimeRemainingColumn())
        else:
            columns = (SpinnerColumn(), TextColumn("{task.description}"), DownloadColumn(),
                       TransferSpeedColumn())
        self._progress = Progress(*columns, console=self._console, transient=True,
                                  refresh_per_second=10)
        self._task = self._progress.add_task(self._label, total=self._total, completed=self._done)
        self._progress.start()

    def advance(self, count: int) -> None:
        self._done += count
        if not self._enabled:
            return
        if self._progress is None:
            if time.monotonic() - self._start < DELAY:
                return
            self._show()
        assert self._progress is not None and self._task is not None
        self._progress.update(self._task, completed=self._done)

    def wrap(self, chunks: Iterable[bytes]) -> Iterator[bytes]:
        """The chunks, counted as they pass."""
        for chunk in chunks:
            yield chunk
            self.advance(len(chunk))

    @property
    def done(self) -> int:
        return self._done

    def close(self) -> None:
        if self._progress is not None:
            self._progress.stop()
            self._progress = None

    def __enter__(self) -> "Transfer":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
