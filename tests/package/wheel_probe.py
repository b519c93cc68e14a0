"""Run by the interpreter of a virtual environment that has the wheel
installed: imports the package and the module, makes one request to the
URL given through each, and prints as JSON where everything was loaded from."""
from __future__ import annotations

import json
import sys

import vesper
import vesper_native36


def loaded_libraries() -> list[str]:
    with open("/proc/self/maps") as maps:
        paths = {line.split(None, 5)[5].strip() for line in maps if len(line.split(None, 5)) == 6}
    return sorted(p for p in paths if ".so" in p)


def main() -> None:
    engine = vesper_native36.PyEngine()
    request = engine.request("GET", sys.argv[1], timeout=10.0)
    request.start()
    response = request.await_response()
    body = bytes(request.read_body())
    friendly = vesper.get(sys.argv[1], params={"via": "vesper"}, timeout=10.0, trust_env=False)
    print(json.dumps({
        "vesper": vesper.__file__,
        "module": vesper_native36.__file__,
        "core_version": vesper_native36.PyEngine.core_version(),
        "status": response.status_code,
        "body": json.loads(body),
        "friendly": [friendly.status_code, friendly.json()],
        "libraries": loaded_libraries(),
        "sys_path": sys.path,
    }))


if __name__ == "__main__":
    main()
