"""The module against the Core double.

The double is loaded before the module is imported: the module's dependency
on libhalyard.so then resolves to it (same SONAME), whatever lies beside
the module.
"""
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "double"))
# The asyncio paths the tests drive (tests/support/asyncio_paths.py).
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))

from bound import DOUBLE, ROOT, core, native  # noqa: E402,F401
from control import text_of  # noqa: E402


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "core_extension(*names): needs these Core functions beyond the seventeen every Core offers")


def pytest_runtest_setup(item):
    """A test of a feature built on a Core extension skips, naming it, where
    the Core (the seventeen-function double) lacks it."""
    for mark in item.iter_markers("core_extension"):
        missing = [name for name in mark.args if name not in native.core_extensions]
        if missing:
            pytest.skip(f"the Core offers no {', '.join(missing)}")


@pytest.fixture
def engine(core):
    return native.PyEngine()


__all__ = ["DOUBLE", "ROOT", "core", "native", "text_of"]
