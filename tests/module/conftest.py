"""The module against the Core double.

The double is loaded before the module is imported: the module's dependency
on libhalyard.so then resolves to it (same SONAME), whatever lies beside
the module.
"""
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "double"))

from bound import DOUBLE, ROOT, core, native  # noqa: E402,F401
from control import text_of  # noqa: E402


@pytest.fixture
def engine(core):
    return native.PyEngine()


__all__ = ["DOUBLE", "ROOT", "core", "native", "text_of"]
