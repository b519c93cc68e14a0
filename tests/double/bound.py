"""The Core double loaded ahead of the module, for the test folders that run
against it: importing this first makes vesper_native36's dependency on
libhalyard.so (same SONAME) resolve to the double, whatever lies beside
the module."""
import gc
import os
import pathlib

import pytest

from control import CoreDouble

ROOT = pathlib.Path(__file__).resolve().parents[2]
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
