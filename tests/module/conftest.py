"""The module against the Core double.

The double is loaded before the module is imported: the module's dependency
on libhalyard.so then resolves to it (same SONAME), whatever lies beside
the module.
"""
import gc
import os
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "double"))

from control import CoreDouble, text_of  # noqa: E402

DOUBLE = CoreDouble(os.environ.get("VESPER_DOUBLE", ROOT / "build" / "double" / "libhalyard.so"))

import vesper_native36 as native  # noqa: E402

assert native.PyEngine.core_version() == "halyard-double/1.0", "the module did not bind to the Core double"


@pytest.fixture
def core():
    """The double, reset before and after the test."""
    gc.collect()
    DOUBLE.reset()
    yield DOUBLE
    gc.collect()
    DOUBLE.reset()


@pytest.fixture
def engine(core):
    return native.PyEngine()


__all__ = ["native", "text_of"]
