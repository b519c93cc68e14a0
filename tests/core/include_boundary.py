"""Fails when a Core source includes a module header or Python.h.

The Core is a C++ library of its own; only its public header is shared
with the module. The include path already keeps module headers out of
reach; this check also catches a relative path or a system-style include.
"""
import pathlib
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.M)
FORBIDDEN = re.compile(r'(^|/)(Python\.h|module/|request/py_|websocket/py_|engine/py_|async/)|\.\./')


def offenders(root: pathlib.Path) -> list[str]:
    found = []
    for path in sorted(root.rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        for name in INCLUDE.findall(path.read_text(errors="replace")):
            if FORBIDDEN.search(name):
                found.append(f"{path.relative_to(root)}: #include {name}")
    return found


if __name__ == "__main__":
    bad = offenders(pathlib.Path(sys.argv[1]))
    print("\n".join(bad) if bad else "the Core includes no module header")
    sys.exit(1 if bad else 0)
