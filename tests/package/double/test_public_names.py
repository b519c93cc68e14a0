"""Every public name, and every public method of the public classes, says
what it does in help()."""
import inspect

import pytest

import vesper

NAMES = [n for n in vesper.__all__ if not n.startswith("_") and n.isidentifier() and n != "DEFAULT_TIMEOUT"]


@pytest.mark.parametrize("name", NAMES)
def test_documented(name):
    obj = getattr(vesper, name)
    assert inspect.getdoc(obj), f"vesper.{name} has no docstring"
    if inspect.isclass(obj) and not issubclass(obj, BaseException):
        for attr, member in vars(obj).items():
            if attr.startswith("_") or not (inspect.isfunction(member) or isinstance(member, property)):
                continue
            assert inspect.getdoc(member), f"vesper.{name}.{attr} has no docstring"


def test_all_names_exist():
    missing = [n for n in vesper.__all__ if not hasattr(vesper, n)]
    assert missing == []
