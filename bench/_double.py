"""Loads the Core double before vesper_native36, for benchmarks of the module."""
import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "double"))

from control import CoreDouble  # noqa: E402

DOUBLE = CoreDouble(os.environ.get("VESPER_DOUBLE", ROOT / "build" / "double" / "libhalyard.so"))

import vesper_native36 as native  # noqa: E402

__all__ = ["DOUBLE", "native", "best_of"]


def best_of(fn, repeat=5):
    """The fastest of `repeat` runs of fn() (seconds): the least disturbed."""
    import time
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best
